// Placeholder until the per-user settings store lands: no key exists.
#include "host/posix/PosixHost.h"

namespace orvo {

WinError PosixHost::OpenUserKey(const std::string&, bool) { return kErrorFileNotFound; }
WinError PosixHost::ReadUserValue(const std::string&, const std::string&, RegistryValue*) {
  return kErrorFileNotFound;
}
WinError PosixHost::WriteUserValue(const std::string&, const std::string&, const RegistryValue&) {
  return kErrorAccessDenied;
}

}  // namespace orvo
