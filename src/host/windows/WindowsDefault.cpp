// The platform's process-wide host, over the system's own paths.
#include "host/windows/WindowsHost.h"

namespace orvo {

Host& Host::Default() {
  if (installed_ != nullptr) return *installed_;
  static WindowsHost platform;
  return platform;
}

}  // namespace orvo
