#include "host/Host.h"

namespace orvo {

Host* Host::installed_ = nullptr;

void Host::SetDefault(Host* host) { installed_ = host; }

}  // namespace orvo
