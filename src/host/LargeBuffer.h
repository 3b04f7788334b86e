// Memory for the buffers the size of a request body, which the program fills once, in order.
#pragma once

#include <cstddef>

namespace orvo {

// Marks the `size` bytes at `data`, a buffer not yet written, as best backed by large pages
// where the system offers them on request (Linux: transparent huge pages), so that filling it
// costs a page fault per 2 MiB rather than per 4 KiB. A hint: it fails silently, and where
// nothing is offered (Windows) nothing changes. Safe from any thread.
void AdviseLargeBuffer(void* data, size_t size);

}  // namespace orvo
