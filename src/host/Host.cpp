#include "host/Host.h"

#include "host/posix/PosixHost.h"

namespace orvo {
namespace {
Host* installed = nullptr;
}

Host& Host::Default() {
  if (installed != nullptr) return *installed;
  static PosixHost platform(PosixHost::RootFromEnvironment());
  return platform;
}

void Host::SetDefault(Host* host) { installed = host; }

}  // namespace orvo
