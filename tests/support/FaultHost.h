// A host that fails one chosen call: the Nth open, read, write, flush, move, folder creation or
// directory search step after it is armed, or the Nth allocation (in a test program whose
// operator new asks allocation::ShouldFail). Everything else reaches the wrapped host unchanged, so
// a test can walk a request through every failure point of its path one at a time.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "host/HostWrapper.h"

namespace orvo::test {

enum class FaultCall {
  kOpenFile,
  kRead,
  kWrite,
  kFlush,
  kMovePath,
  kCreateFolder,
  kSearch,  // FindFirst and every DirSearch::Next
  kAllocation,
};
inline constexpr size_t kFaultCallKinds = 8;
const char* FaultCallName(FaultCall call);

class FaultHost : public HostWrapper {
 public:
  // Installs itself as the default host over `target` while it lives.
  explicit FaultHost(Host* target);
  ~FaultHost() override;

  // From now on counts the calls of `call` and fails the `nth` one (1-based) with `error`
  // (for an allocation: std::bad_alloc); nth 0 only counts. Resets every count.
  void Arm(FaultCall call, int nth, WinError error = kErrorIoDevice);
  // Stops failing and counting.
  void Disarm();
  // Calls of each kind seen since Arm.
  int Calls(FaultCall call) const { return calls_[static_cast<size_t>(call)]; }
  // True when the armed failure was delivered.
  bool Fired() const { return fired_; }

  // The counting side, used by the wrapped files and searches: true when this call must fail,
  // with error().
  bool ShouldFail(FaultCall call);
  WinError error() const { return error_; }

  WinError FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                     FindData* first) override;
  WinError CreateFolder(const std::string& path) override;
  WinError CreateHiddenFolder(const std::string& path) override;
  WinError MovePath(const std::string& from, const std::string& to, bool replace) override;
  WinError OpenFile(const std::string& path, FileAccess access, FileShare share,
                    FileDisposition disposition, std::unique_ptr<FileHandle>* file) override;
  // A test's standard output keeps what it receives; that allocation is not the program's.
  void WriteStdout(const void* buffer, size_t count) override;

 private:
  std::array<int, kFaultCallKinds> calls_{};
  bool armed_ = false;
  bool fired_ = false;
  FaultCall call_ = FaultCall::kOpenFile;
  int nth_ = 0;
  WinError error_ = kErrorIoDevice;
};

// The allocation counter behind FaultCall::kAllocation. It counts only in a test program that
// replaces operator new with one that asks it; it must not allocate itself.
namespace allocation {
// True when this allocation must throw std::bad_alloc.
bool ShouldFail();
// Allocations made inside the guard's lifetime are neither counted nor failed.
class Pause {
 public:
  Pause();
  ~Pause();
  Pause(const Pause&) = delete;
  Pause& operator=(const Pause&) = delete;
};
}  // namespace allocation

}  // namespace orvo::test
