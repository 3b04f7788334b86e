#include <sys/mman.h>

#include <cstdint>

#include "host/LargeBuffer.h"

namespace orvo {

void AdviseLargeBuffer(void* data, size_t size) {
  // Only the whole huge pages inside the buffer: the advice splits the mapping where it starts
  // and ends, and a part smaller than a huge page cannot have one.
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const auto start = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (start + size) & ~(kHugePage - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

}  // namespace orvo
