// Linux tests: runs the Linux host on the walk that stands in for openat2 where the kernel
// lacks it, for as long as the object lives.
#pragma once

#include <cerrno>

#include "host/posix/PosixBeneath.h"

namespace orvo::test {

class WithoutOpenat2 {
 public:
  WithoutOpenat2() {
    posix::Openat2 = [](int, const char*, open_how*, size_t) -> long {
      errno = ENOSYS;
      return -1;
    };
  }
  ~WithoutOpenat2() { posix::Openat2 = saved_; }
  WithoutOpenat2(const WithoutOpenat2&) = delete;
  WithoutOpenat2& operator=(const WithoutOpenat2&) = delete;

 private:
  decltype(posix::Openat2) saved_ = posix::Openat2;
};

}  // namespace orvo::test
