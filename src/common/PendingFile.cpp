#include "common/PendingFile.h"

#include <random>
#include <utility>

#include "common/SysUtils.h"
#include "common/SysUtilsConvert.h"
#include "common/SysUtilsFiles.h"

namespace orvo {
namespace {

// The pending files live in a hidden
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

}  // namespace

// A pending file for a save of `target`. Removed when destroyed unless it became the target, and
// by a request to end the process while it exists; its folder is removed after it once empty
// (a save still writing in it keeps it).
class TPendingFile::Pending {
 public:
  explicit Pending(const std::string& target) {
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
      error = host.OpenFile(removal_.path, FileAccess::kReadWrite, FileShare{},
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
    throw EFCreateError(FileStreamMessage("create", target, error));
  }

  ~Pending() { stream_.reset(); }  // closed before the removal
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;

  THandleStream& Stream() { return *stream_; }

  // Flushes the text to the device, closes the file and moves it over `target`.
  void Commit(const std::string& target) {
    if (stream_->Handle().Flush() != kErrorSuccess) throw EWriteError("Stream write error");
    stream_.reset();
    WinError error = Host::Default().MovePath(removal_.path, target, true);
    if (error != kErrorSuccess) throw EFCreateError(FileStreamMessage("create", target, error));
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

  Removal removal_;
  std::unique_ptr<THandleStream> stream_;
};

TPendingFile::TPendingFile(const std::string& target) : target_(target) {
  RemoveAbandonedPendingFiles(ExtractFilePath(target) + kPendingFolder + "\\");
  pending_ = std::make_unique<Pending>(target);
}

TPendingFile::~TPendingFile() = default;

TStream& TPendingFile::Stream() { return pending_->Stream(); }

void TPendingFile::Commit() { pending_->Commit(target_); }

void TPendingFile::Commit(const std::string& target) { pending_->Commit(target); }

}  // namespace orvo
