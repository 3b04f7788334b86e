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
    if (access_ == FileAccess::kWrite) return kErrorAccessDenied;
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
    if (access_ == FileAccess::kRead) return kErrorAccessDenied;
    auto* bytes = static_cast<const char*>(buffer);
    while (*done < count) {
      ssize_t n = write(fd_, bytes + *done, count - *done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return posix::FromErrno(errno);
      if (n == 0) return kErrorDiskFull;
      *done += static_cast<size_t>(n);
    }
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
    if (access_ == FileAccess::kRead) return kErrorSuccess;
    return fsync(fd_) == 0 ? kErrorSuccess : posix::FromErrno(errno);
  }

  WinError SetEndOfFile() override {
    if (access_ == FileAccess::kRead) return kErrorAccessDenied;
    off_t position = lseek(fd_, 0, SEEK_CUR);
    if (position < 0 || ftruncate(fd_, position) != 0) return posix::FromErrno(errno);
    return kErrorSuccess;
  }

 private:
  int fd_;
  FileAccess access_;
};

// Closes a descriptor unless released to its owner.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace

WinError PosixHost::OpenFile(const std::string& path, FileAccess access, FileShare share,
                             FileDisposition disposition, std::unique_ptr<FileHandle>* file) {
  posix::WindowsPath full;
  if (WinError error = Resolve(path, &full)) return error;
  if (full.IsRoot()) return kErrorAccessDenied;
  posix::DiskEntry entry;
  if (WinError error = posix::Drives(root_).Find(full, &entry)) return error;
  if (posix::IsInvalidName(full.components.back())) return kErrorInvalidName;

  if (entry.exists) {
    if (disposition == FileDisposition::kCreateNew) return kErrorFileExists;
    if (!S_ISREG(entry.info.st_mode)) return kErrorAccessDenied;
    bool readOnly = (entry.info.st_mode & S_IWUSR) == 0;
    if (readOnly &&
        (access != FileAccess::kRead || disposition == FileDisposition::kCreateAlways)) {
      return kErrorAccessDenied;
    }
  } else if (disposition == FileDisposition::kOpenExisting) {
    return kErrorFileNotFound;
  }

  // Byte-range claims need read access, so a write-only open reads too underneath.
  int flags = (access == FileAccess::kRead ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK;
  const std::string* hostPath = &entry.target;
  if (!entry.exists) {
    // O_NOFOLLOW: a name that is a link leading outside stays out of reach.
    flags |= O_CREAT | O_NOFOLLOW | (disposition == FileDisposition::kCreateNew ? O_EXCL : 0);
    hostPath = &entry.path;
  }
  FdGuard fd(open(hostPath->c_str(), flags, 0666));
  if (fd.get() < 0) {
    if (errno == EEXIST) return kErrorFileExists;
    return errno == ELOOP ? kErrorAccessDenied : posix::FromErrno(errno);
  }
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  if (WinError error = posix::ClaimSharing(fd.get(), access, share)) return error;
  // Truncation waits for the claim, so a refused open never harms the holder's file.
  if (entry.exists && disposition == FileDisposition::kCreateAlways &&
      ftruncate(fd.get(), 0) != 0) {
    return posix::FromErrno(errno);
  }
  // The guard lets go only once the handle owns the descriptor (the allocation may fail).
  auto handle = std::make_unique<PosixFile>(fd.get(), access);
  fd.release();
  *file = std::move(handle);
  return kErrorSuccess;
}

}  // namespace orvo
