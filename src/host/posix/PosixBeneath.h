// Opening below the root folder in one step that cannot leave it, whatever another process does
// to the folders meanwhile.
#pragma once

#include <linux/openat2.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace orvo::posix {

// An owned descriptor, closed when destroyed.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes all of `bytes` to `fd`, again after an interruption; false when a write fails. Safe in a
// signal handler.
bool WriteWhole(int fd, std::string_view bytes);

// The root folder: the descriptor every lookup starts from, and its real path, against which
// absolute links are read.
class DiskRoot {
 public:
  explicit DiskRoot(const std::string& path);
  // The folder open as `folder` (a descriptor of the caller's, which it keeps), for an allowed
  // folder: a link that leads out of it fails with EACCES, as a denied path.
  explicit DiskRoot(int folder);

  bool IsOpen() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  // Its real path when it was opened; empty when that could not be told.
  const std::string& RealPath() const { return real_; }
  // Opens `relative` (disk names below the root, separated by '/') with `flags` (no O_CREAT),
  // following symbolic links only while they stay inside: a link whose target lies outside (or
  // an absolute one naming another place, or nowhere) fails with ENOENT, as a missing name.
  // Returns the descriptor, or -1 with errno set.
  int Open(const std::string& relative, int flags) const;

 private:
  // The walk that stands in where the kernel has no openat2.
  int Walk(const std::string& relative, int flags) const;

  Fd fd_;
  std::string real_;
  int outside_ = ENOENT;  // the errno of a link that leads out
};

// The openat2 system call. Tests replace it to run the walk that stands in for it.
extern long (*Openat2)(int dirfd, const char* path, open_how* how, size_t size);

}  // namespace orvo::posix
