// The platform's process-wide host, over ORVO_ROOT.
#include "host/posix/PosixHost.h"

namespace orvo {

Host& Host::Default() {
  if (installed_ != nullptr) return *installed_;
  static PosixHost platform(PosixHost::RootFromEnvironment());
  return platform;
}

}  // namespace orvo
