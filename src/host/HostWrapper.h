// A host that passes every call to another one. A test derives from it and overrides only the
// calls it wants to observe or fail; everything else reaches the wrapped host unchanged.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "host/Host.h"

namespace orvo {

class HostWrapper : public Host {
 public:
  // Forwards to `target`, which must outlive the wrapper.
  explicit HostWrapper(Host* target) : target_(target) {}
  // Forwards to a host the wrapper owns.
  explicit HostWrapper(std::unique_ptr<Host> owned)
      : owned_(std::move(owned)), target_(owned_.get()) {}

  Host* target() const { return target_; }

  WinError GetAttributes(const std::string& path, uint32_t* attributes) override {
    return target_->GetAttributes(path, attributes);
  }
  WinError FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                     FindData* first) override {
    return target_->FindFirst(pattern, search, first);
  }
  WinError FindFirstFolder(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                           FindData* first) override {
    return target_->FindFirstFolder(pattern, search, first);
  }
  WinError CreateFolder(const std::string& path) override { return target_->CreateFolder(path); }
  WinError CreateHiddenFolder(const std::string& path) override {
    return target_->CreateHiddenFolder(path);
  }
  WinError RemoveFolder(const std::string& path) override { return target_->RemoveFolder(path); }
  WinError RemoveFile(const std::string& path) override { return target_->RemoveFile(path); }
  WinError MovePath(const std::string& from, const std::string& to, bool replace) override {
    return target_->MovePath(from, to, replace);
  }
  WinError OpenFile(const std::string& path, FileAccess access, FileShare share,
                    FileDisposition disposition, std::unique_ptr<FileHandle>* file) override {
    return target_->OpenFile(path, access, share, disposition, file);
  }
  WinError CheckPath(const std::string& path, PathUse use) override {
    return target_->CheckPath(path, use);
  }
  WinError FullPathName(const std::string& path, std::string* full) override {
    return target_->FullPathName(path, full);
  }
  std::string GetCurrentFolder() override { return target_->GetCurrentFolder(); }
  WinError SetCurrentFolder(const std::string& path) override {
    return target_->SetCurrentFolder(path);
  }
  std::string ErrorText(WinError code) override { return target_->ErrorText(code); }
  std::shared_ptr<const AllowedFolders> Confine(
      std::shared_ptr<const AllowedFolders> allowed) override {
    return target_->Confine(std::move(allowed));
  }
  std::unique_ptr<FolderHold> HoldFolders() override { return target_->HoldFolders(); }

  LocalTime LocalNow() override { return target_->LocalNow(); }
  FileTime UtcToLocalFileTime(FileTime utc) override { return target_->UtcToLocalFileTime(utc); }
  std::optional<std::string> GetLocaleValue(LocaleItem item) override {
    return target_->GetLocaleValue(item);
  }

  std::optional<std::string> GetEnvironment(const std::string& name) override {
    return target_->GetEnvironment(name);
  }
  int64_t ReadStdin(void* buffer, size_t count) override {
    return target_->ReadStdin(buffer, count);
  }
  bool TakeStdin(std::string* bytes) override { return target_->TakeStdin(bytes); }
  void WriteStdout(const void* buffer, size_t count) override {
    target_->WriteStdout(buffer, count);
  }
  void WriteStderr(const void* buffer, size_t count) override {
    target_->WriteStderr(buffer, count);
  }
  void WriteOperatorLog(const std::string& line) override { target_->WriteOperatorLog(line); }
  WinError RemoveFileOnTermination(const std::string& path) override {
    return target_->RemoveFileOnTermination(path);
  }
  void EndProcess(int status) override { target_->EndProcess(status); }
  std::unique_ptr<Deadline> StartDeadline(int seconds, std::function<bool()> expired,
                                          int status) override {
    return target_->StartDeadline(seconds, std::move(expired), status);
  }

  WinError OpenLibrary(const std::string& name, std::unique_ptr<DynamicLibrary>* library) override {
    return target_->OpenLibrary(name, library);
  }

  WinError OpenUserKey(const std::string& key, bool create) override {
    return target_->OpenUserKey(key, create);
  }
  WinError ReadUserValue(const std::string& key, const std::string& name,
                         RegistryValue* value) override {
    return target_->ReadUserValue(key, name, value);
  }
  WinError WriteUserValue(const std::string& key, const std::string& name,
                          const RegistryValue& value) override {
    return target_->WriteUserValue(key, name, value);
  }

 private:
  std::unique_ptr<Host> owned_;
  Host* target_;
};

}  // namespace orvo
