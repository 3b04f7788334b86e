// The string list's file and stream operations.
#include <algorithm>
#include <random>
#include <string_view>
#include <utility>

#include "common/Classes.h"
#include "common/SysUtils.h"
#include "common/SysUtilsConvert.h"
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

// The bytes from the stream's position to its end; fewer when a read delivers less than the
// stream promised.
std::string ReadRest(TStream& stream) {
  int64_t remaining = stream.Size() - stream.Position();
  std::string bytes(static_cast<size_t>(std::max<int64_t>(remaining, 0)), '\0');
  // A stream that delivers fewer bytes than it promised failed (or lost bytes under it): its
  // lines would pass for the whole text.
  for (size_t read = 0; read < bytes.size(); read += kPiece) {
    size_t count = std::min(kPiece, bytes.size() - read);
    stream.ReadBuffer(bytes.data() + read, static_cast<int32_t>(count));
  }
  return bytes;
}

// Calls `visit` with each line of `text` as assigning it to a list's Text splits it.
template <class Visit>
void ForEachLine(std::string_view text, Visit visit) {
  size_t p = 0;
  while (p < text.size() && text[p] != '\0') {
    size_t start = p;
    while (p < text.size() && text[p] != '\r' && text[p] != '\n' && text[p] != '\0') ++p;
    visit(text.substr(start, p - start));
    if (p < text.size() && text[p] == '\r') ++p;
    if (p < text.size() && text[p] == '\n') ++p;
  }
}

// A save writes its text to a pending file and moves it over the target once whole, so a failed
// save never leaves the target truncated or half written. The pending files live in a hidden
// folder of their own beside the target, so that a sweep of abandoned ones reads that small
// folder and never the batches around it; the folder exists only while saves are in progress.
// Where it cannot be made, the file goes beside the target, as its name alone hides it.
constexpr char kPendingFolder[] = ".~orvo";
constexpr char kPendingPrefix[] = ".~orvo-";
constexpr char kPendingSuffix[] = ".tmp";
// A save in progress writes its pending file and moves it within moments; one older than this
// was left by a process that was killed outright (SIGKILL cannot be caught).
constexpr TDateTime kAbandonedAfter = 1.0 / 24;
// Days from 1601-01-01, where file times count from, to 1899-12-30, where dates count from.
constexpr double kFileTimeEpochDays = 109205;

TDateTime LocalFileTimeToDateTime(FileTime local) {
  return static_cast<double>(local) / 864e9 - kFileTimeEpochDays;
}

// Removes the pending files of the pending folder `folder` (ending in a separator) that have not
// been written for longer than kAbandonedAfter. Only files: a link there is nobody's pending
// file, and what it leads to is never the sweep's (the hosts refuse to remove through one).
void RemoveAbandonedPendingFiles(const std::string& folder) {
  Host& host = Host::Default();
  std::unique_ptr<DirSearch> search;
  FindData entry;
  if (host.FindFirst(folder + "*" + kPendingSuffix, &search, &entry) != kErrorSuccess) return;
  const TDateTime cutoff = Now() - kAbandonedAfter;
  do {
    TDateTime written = LocalFileTimeToDateTime(host.UtcToLocalFileTime(entry.LastWriteTime()));
    if ((entry.FilterBits() & kAttrDirectory) == 0 && written < cutoff &&
        (entry.Attributes() & kAttrReparsePoint) == 0) {
      host.RemoveFile(folder + entry.name);
    }
  } while (search->Next(&entry) == kErrorSuccess);
}

// A pending file for a save of `target`. Removed when destroyed unless it became the target, and
// by a request to end the process while it exists; its folder is removed after it once empty
// (a save still writing in it keeps it).
class PendingFile {
 public:
  explicit PendingFile(const std::string& target) : target_(target) {
    Host& host = Host::Default();
    const std::string folder = ExtractFilePath(target) + kPendingFolder;
    WinError error = kErrorSuccess;
    int foldersGone = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
      WinError made = foldersGone < 2 ? host.CreateHiddenFolder(folder) : kErrorPathNotFound;
      bool inFolder = made == kErrorSuccess || made == kErrorAlreadyExists;
      if (inFolder) folder_.path = folder;
      // Owned before the open: an open that fails after creating the file (out of memory)
      // must not leave it behind. A name that exists already is someone else's.
      removal_.path = (inFolder ? folder + "\\" : ExtractFilePath(target) + kPendingPrefix) +
                      RandomTag() + kPendingSuffix;
      // Armed before the file exists, so no moment is left in which a kill leaves it behind.
      // Where it cannot be armed the file is still removed by a later save's sweep.
      host.RemoveFileOnTermination(removal_.path);
      std::unique_ptr<FileHandle> handle;
      error = host.OpenFile(removal_.path, FileAccess::kWrite, FileShare{},
                            FileDisposition::kCreateNew, &handle);
      if (error == kErrorSuccess) {
        stream_ = std::make_unique<THandleStream>(std::move(handle));
        return;
      }
      removal_.path.clear();
      // The last save that used the folder may have removed it since it was made or found.
      bool folderGone = inFolder && (error == kErrorPathNotFound || error == kErrorFileNotFound);
      // On a volume that other machines share, a folder that one of them removed can still look
      // present here for a moment (the client's cache of names): gone twice, the file goes
      // beside the target.
      if (folderGone) ++foldersGone;
      if (error != kErrorFileExists && error != kErrorAlreadyExists && !folderGone) break;
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
    // Here rather than when destroyed, where a failure could not be thrown.
    if (!folder_.path.empty()) Host::Default().RemoveFolder(std::exchange(folder_.path, ""));
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

  // Withdraws the removal on termination last, once the file is gone or has become the target.
  struct Disarm {
    ~Disarm() { Host::Default().RemoveFileOnTermination(""); }
  } disarm_;
  // Removes the pending folder it names, if any, when destroyed and empty (after a failure).
  struct FolderRemoval {
    std::string path;
    ~FolderRemoval() {
      if (!path.empty()) Host::Default().RemoveFolder(path);
    }
  } folder_;
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
  RemoveAbandonedPendingFiles(ExtractFilePath(fileName) + kPendingFolder + "\\");
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

void TStrings::LoadFromStream(TStream& stream) { SetText(ReadRest(stream)); }

std::string LoadTextFromFile(const std::string& fileName) {
  std::string bytes;
  {
    TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
    bytes = ReadRest(stream);
  }
  size_t total = 0;
  ForEachLine(bytes, [&total](std::string_view line) { total += line.size() + 2; });
  std::string text;
  text.reserve(total);
  ForEachLine(bytes, [&text](std::string_view line) { text.append(line).append("\r\n"); });
  return text;
}

}  // namespace orvo
