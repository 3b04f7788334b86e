#include "FaultHost.h"

#include <utility>

namespace orvo::test {
namespace {

FaultHost* active = nullptr;  // the host whose arming the allocation counter follows
int pauseDepth = 0;

class FaultFile : public FileHandle {
 public:
  FaultFile(FaultHost& host, std::unique_ptr<FileHandle> file)
      : host_(host), file_(std::move(file)) {}

  WinError Read(void* buffer, size_t count, size_t* done) override {
    if (host_.ShouldFail(FaultCall::kRead)) {
      *done = 0;
      return host_.error();
    }
    return file_->Read(buffer, count, done);
  }
  WinError Write(const void* buffer, size_t count, size_t* done) override {
    if (host_.ShouldFail(FaultCall::kWrite)) {
      // Half of it reaches the file, as when a disk fills up in the middle of a write.
      file_->Write(buffer, count / 2, done);
      return host_.error();
    }
    return file_->Write(buffer, count, done);
  }
  WinError Seek(int64_t offset, SeekOrigin origin, int64_t* position) override {
    return file_->Seek(offset, origin, position);
  }
  WinError Flush() override {
    return host_.ShouldFail(FaultCall::kFlush) ? host_.error() : file_->Flush();
  }
  WinError SetEndOfFile() override { return file_->SetEndOfFile(); }

 private:
  FaultHost& host_;
  std::unique_ptr<FileHandle> file_;
};

class FaultSearch : public DirSearch {
 public:
  FaultSearch(FaultHost& host, std::unique_ptr<DirSearch> search)
      : host_(host), search_(std::move(search)) {}
  WinError Next(FindData* entry) override {
    return host_.ShouldFail(FaultCall::kSearch) ? host_.error() : search_->Next(entry);
  }

 private:
  FaultHost& host_;
  std::unique_ptr<DirSearch> search_;
};

}  // namespace

const char* FaultCallName(FaultCall call) {
  static constexpr const char* kNames[kFaultCallKinds] = {
      "OpenFile", "Read", "Write", "Flush", "MovePath", "CreateFolder", "Search", "Allocation"};
  return kNames[static_cast<size_t>(call)];
}

FaultHost::FaultHost(Host* target) : HostWrapper(target) {
  Host::SetDefault(this);
  active = this;
}

FaultHost::~FaultHost() {
  active = nullptr;
  Host::SetDefault(nullptr);
}

void FaultHost::Arm(FaultCall call, int nth, WinError error) {
  calls_ = {};
  call_ = call;
  nth_ = nth;
  error_ = error;
  fired_ = false;
  armed_ = true;
}

void FaultHost::Disarm() { armed_ = false; }

bool FaultHost::ShouldFail(FaultCall call) {
  if (!armed_) return false;
  int count = ++calls_[static_cast<size_t>(call)];
  if (call != call_ || count != nth_) return false;
  fired_ = true;
  return true;
}

WinError FaultHost::FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                              FindData* first) {
  if (ShouldFail(FaultCall::kSearch)) return error_;
  WinError error = HostWrapper::FindFirst(pattern, search, first);
  if (error == kErrorSuccess) {
    allocation::Pause pause;  // the wrapper is the test's, not the program's
    *search = std::make_unique<FaultSearch>(*this, std::move(*search));
  }
  return error;
}

WinError FaultHost::CreateFolder(const std::string& path) {
  return ShouldFail(FaultCall::kCreateFolder) ? error_ : HostWrapper::CreateFolder(path);
}

WinError FaultHost::CreateHiddenFolder(const std::string& path) {
  return ShouldFail(FaultCall::kCreateFolder) ? error_ : HostWrapper::CreateHiddenFolder(path);
}

WinError FaultHost::MovePath(const std::string& from, const std::string& to, bool replace) {
  return ShouldFail(FaultCall::kMovePath) ? error_ : HostWrapper::MovePath(from, to, replace);
}

WinError FaultHost::OpenFile(const std::string& path, FileAccess access, FileShare share,
                             FileDisposition disposition, std::unique_ptr<FileHandle>* file) {
  if (ShouldFail(FaultCall::kOpenFile)) return error_;
  WinError error = HostWrapper::OpenFile(path, access, share, disposition, file);
  if (error == kErrorSuccess) {
    allocation::Pause pause;
    *file = std::make_unique<FaultFile>(*this, std::move(*file));
  }
  return error;
}

void FaultHost::WriteStdout(const void* buffer, size_t count) {
  allocation::Pause pause;
  HostWrapper::WriteStdout(buffer, count);
}

namespace allocation {

bool ShouldFail() {
  return active != nullptr && pauseDepth == 0 && active->ShouldFail(FaultCall::kAllocation);
}

Pause::Pause() { ++pauseDepth; }
Pause::~Pause() { --pauseDepth; }

}  // namespace allocation

}  // namespace orvo::test
