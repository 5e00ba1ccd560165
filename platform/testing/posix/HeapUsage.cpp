// Heap in use for the posix backend: the C library's own statistics.
#include "platform/testing/HeapUsage.h"

#include <malloc.h>

namespace Platform {

size_t HeapBytesInUse() {
  // uordblks: blocks in use in every arena; hblkhd: the large blocks the
  // allocator maps on their own, which the arenas do not count.
  const struct mallinfo2 Info = mallinfo2();
  return Info.uordblks + Info.hblkhd;
}

}  // namespace Platform
