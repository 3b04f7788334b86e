// Open files: Windows dispositions and share modes over descriptors.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "host/posix/PosixDisk.h"
#include "host/posix/PosixHost.h"
#include "host/posix/PosixNames.h"

namespace orvo {
namespace {

class PosixFile : public FileHandle {
 public:
  PosixFile(int fd, FileAccess access) : fd_(fd), access_(access) {}
  ~PosixFile() override { close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  WinError Read(void* buffer, size_t count, size_t* done) override {
    *done = 0;
    if (!ReadsFile(access_)) return kErrorAccessDenied;
    auto* bytes = static_cast<char*>(buffer);
    while (*done < count) {
      ssize_t n = read(fd_, bytes + *done, count - *done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return posix::FromErrno(errno);
      if (n == 0) break;
      *done += static_cast<size_t>(n);
    }
    return kErrorSuccess;
  }

  WinError Write(const void* buffer, size_t count, size_t* done) override {
    *done = 0;
    if (!WritesFile(access_)) return kErrorAccessDenied;
    auto* bytes = static_cast<const char*>(buffer);
    while (*done < count) {
      ssize_t n = write(fd_, bytes + *done, count - *done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return posix::FromErrno(errno);
      if (n == 0) return kErrorDiskFull;
      *done += static_cast<size_t>(n);
    }
    StartWriteBack(count);
    return kErrorSuccess;
  }

  WinError Seek(int64_t offset, SeekOrigin origin, int64_t* position) override {
    static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    off_t result = lseek(fd_, offset, kWhence[static_cast<int>(origin)]);
    if (result < 0) return errno == EINVAL ? kErrorNegativeSeek : posix::FromErrno(errno);
    *position = result;
    return kErrorSuccess;
  }

  WinError Flush() override {
    if (!WritesFile(access_)) return kErrorSuccess;
    return posix::Fsync(fd_) == 0 ? kErrorSuccess : posix::FromErrno(errno);
  }

  WinError SetEndOfFile() override {
    if (!WritesFile(access_)) return kErrorAccessDenied;
    off_t position = lseek(fd_, 0, SEEK_CUR);
    if (position < 0 || ftruncate(fd_, position) != 0) return posix::FromErrno(errno);
    return kErrorSuccess;
  }

 private:
  // A large file starts on its way to the device while it is still being written, a stretch at a
  // time, so that the flush that ends a save waits for its last stretch only, not for all of it.
  // Only a hint: where the file system cannot act on it, the flush does the whole work as before.
  static constexpr off_t kWriteBackStretch = off_t{2} << 20;
  void StartWriteBack(size_t written) {
    unsent_ += static_cast<off_t>(written);
    if (unsent_ < kWriteBackStretch) return;
    off_t end = lseek(fd_, 0, SEEK_CUR);
    if (end >= unsent_) sync_file_range(fd_, end - unsent_, unsent_, SYNC_FILE_RANGE_WRITE);
    unsent_ = 0;
  }

  int fd_;
  FileAccess access_;
  off_t unsent_ = 0;  // bytes written since the last stretch was sent on its way
};

}  // namespace

WinError PosixHost::OpenFile(const std::string& path, FileAccess access, FileShare share,
                             FileDisposition disposition, std::unique_ptr<FileHandle>* file) {
  GatedPath full;
  if (WinError error = gate_.Pass(path, PathUse::kFile, &full)) return error;
  if (full->IsRoot()) return kErrorAccessDenied;
  posix::DiskEntry entry;
  if (WinError error = drives_.Find(full, &entry)) return error;
  if (entry.exists && disposition == FileDisposition::kCreateNew) return kErrorFileExists;
  if (!entry.exists && disposition == FileDisposition::kOpenExisting) return entry.Missing();

  // Byte-range claims need read access, so a write-only open reads too underneath.
  int flags = (WritesFile(access) ? O_RDWR : O_RDONLY) | O_NONBLOCK |
              (access == FileAccess::kAppend ? O_APPEND : 0);
  posix::Fd fd;
  if (entry.exists) {
    // Devices and pipes are never opened: their opens act.
    if (!S_ISREG(entry.info.st_mode)) return kErrorAccessDenied;
    fd = posix::Fd(drives_.Open(entry, flags));
  } else {
    // O_NOFOLLOW: a name that became a link meanwhile stays out of reach.
    flags |= O_CREAT | O_NOFOLLOW | O_CLOEXEC |
             (disposition == FileDisposition::kCreateNew ? O_EXCL : 0);
    drives_.Forget();
    fd = posix::Fd(openat(entry.folder->fd.get(), entry.diskName.c_str(), flags, 0666));
  }
  if (!fd) {
    if (errno == EEXIST) return kErrorFileExists;
    return errno == ELOOP ? kErrorAccessDenied : posix::FromErrno(errno);
  }
  // What was opened decides, whatever the name named when it was looked up.
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) return posix::FromErrno(errno);
  if (!S_ISREG(info.st_mode)) return kErrorAccessDenied;
  bool readOnly = (info.st_mode & S_IWUSR) == 0;
  if (entry.exists && readOnly &&
      (WritesFile(access) || disposition == FileDisposition::kCreateAlways)) {
    return kErrorAccessDenied;
  }
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  if (WinError error = posix::ClaimSharing(fd.get(), access, share)) return error;
  // Truncation waits for the claim, so a refused open never harms the holder's file.
  if (entry.exists && disposition == FileDisposition::kCreateAlways &&
      ftruncate(fd.get(), 0) != 0) {
    return posix::FromErrno(errno);
  }
  // The descriptor is let go only once the handle owns it (the allocation may fail).
  auto handle = std::make_unique<PosixFile>(fd.get(), access);
  fd.Release();
  *file = std::move(handle);
  return kErrorSuccess;
}

}  // namespace orvo
