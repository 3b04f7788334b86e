// The string list's file and stream operations.
#include <algorithm>
#include <random>

#include "common/Classes.h"
#include "common/SysUtils.h"
#include "common/SysUtilsFiles.h"

namespace orvo {
namespace {

// Transfers of more than 2 GiB go in pieces, as the stream counts are 32-bit.
constexpr size_t kPiece = 1 << 30;
// Strings shorter than this are gathered into one write; longer ones are written as they are.
constexpr size_t kGather = 64 * 1024;

void WriteAll(TStream& stream, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size(); done += kPiece) {
    size_t count = std::min(kPiece, bytes.size() - done);
    stream.WriteBuffer(bytes.data() + done, static_cast<int32_t>(count));
  }
}

// A hidden file beside the target that receives the text before it replaces the target, so a
// failed save never leaves the target truncated or half written. Its name starts with '.'
// (hidden, so listings pass over it) and ends in ".tmp" (no batch mask matches it). Removed
// when destroyed unless it became the target.
class PendingFile {
 public:
  explicit PendingFile(const std::string& target) : target_(target) {
    WinError error = kErrorSuccess;
    for (int attempt = 0; attempt < 16; ++attempt) {
      // Owned before the open: an open that fails after creating the file (out of memory)
      // must not leave it behind. A name that exists already is someone else's.
      removal_.path = ExtractFilePath(target) + ".~orvo-" + RandomTag() + ".tmp";
      std::unique_ptr<FileHandle> handle;
      error = Host::Default().OpenFile(removal_.path, FileAccess::kWrite, FileShare{},
                                       FileDisposition::kCreateNew, &handle);
      if (error == kErrorSuccess) {
        stream_ = std::make_unique<THandleStream>(std::move(handle));
        return;
      }
      removal_.path.clear();
      if (error != kErrorFileExists && error != kErrorAlreadyExists) break;
    }
    throw EFCreateError(FileStreamMessage("create", target_, error));
  }

  ~PendingFile() { stream_.reset(); }  // closed before the removal
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  THandleStream& Stream() { return *stream_; }

  // Flushes the text to the device, closes the file and moves it over the target.
  void Commit() {
    if (stream_->Handle().Flush() != kErrorSuccess) throw EWriteError("Stream write error");
    stream_.reset();
    WinError error = Host::Default().MovePath(removal_.path, target_, true);
    if (error != kErrorSuccess) throw EFCreateError(FileStreamMessage("create", target_, error));
    removal_.path.clear();
  }

 private:
  static std::string RandomTag() {
    static std::mt19937_64 generator{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdef";
    uint64_t value = generator();
    std::string tag;
    for (int i = 0; i < 16; ++i, value >>= 4) tag += kDigits[value & 15];
    return tag;
  }

  // Removes the file it names, if any, when destroyed.
  struct Removal {
    std::string path;
    ~Removal() {
      if (!path.empty()) Host::Default().RemoveFile(path);
    }
  };

  std::string target_;
  Removal removal_;
  std::unique_ptr<THandleStream> stream_;
};

}  // namespace

void TStrings::SaveToFile(const std::string& fileName) const {
  PendingFile file(fileName);
  SaveToStream(file.Stream());
  file.Commit();
}

void TStrings::SaveToStream(TStream& stream) const { WriteAll(stream, Text()); }

void TStringList::SaveToStream(TStream& stream) const {
  std::string gathered;
  for (const std::string& s : items_) {
    if (s.size() < kGather) {
      gathered += s;
    } else {
      WriteAll(stream, gathered);
      gathered.clear();
      WriteAll(stream, s);
    }
    gathered += "\r\n";
    if (gathered.size() >= kGather) {
      WriteAll(stream, gathered);
      gathered.clear();
    }
  }
  WriteAll(stream, gathered);
}

void TStrings::LoadFromFile(const std::string& fileName) {
  TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(stream);
}

void TStrings::LoadFromStream(TStream& stream) {
  int64_t remaining = stream.Size() - stream.Position();
  std::string bytes(static_cast<size_t>(std::max<int64_t>(remaining, 0)), '\0');
  // A stream that delivers fewer bytes than it promised failed (or lost bytes under it): its
  // lines would pass for the whole text.
  for (size_t read = 0; read < bytes.size(); read += kPiece) {
    size_t count = std::min(kPiece, bytes.size() - read);
    stream.ReadBuffer(bytes.data() + read, static_cast<int32_t>(count));
  }
  SetText(bytes);
}

}  // namespace orvo
