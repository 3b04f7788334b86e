// The platform's hosts: the process-wide default over ORVO_ROOT, and hosts over any root.
#include <memory>

#include "host/posix/PosixHost.h"

namespace orvo {

Host& Host::Default() {
  if (installed_ != nullptr) return *installed_;
  static PosixHost platform(PosixHost::RootFromEnvironment());
  return platform;
}

std::unique_ptr<Host> NewDriveRootHost(const std::string& root) {
  return std::make_unique<PosixHost>(root);
}

}  // namespace orvo
