#include <memory>

#include "DriveRootHost.h"
#include "host/posix/PosixHost.h"

namespace orvo {

std::unique_ptr<Host> NewDriveRootHost(const std::string& root) {
  return std::make_unique<PosixHost>(root);
}

}  // namespace orvo
