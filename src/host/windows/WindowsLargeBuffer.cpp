#include "host/LargeBuffer.h"

namespace orvo {

// Large pages on Windows need a privilege that a web server's account lacks (and memory locked
// for good): the ordinary allocation stays.
void AdviseLargeBuffer(void*, size_t) {}

}  // namespace orvo
