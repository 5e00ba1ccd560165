// How much of the C library's heap the process has in use: a figure for
// measurements (benchmarks, leak checks), not for decisions of the product.
#pragma once

#include <cstddef>

namespace Platform {

// Bytes in blocks handed out by the heap(s) behind malloc and operator new
// and not yet released, as the heap itself counts them (so including its own
// rounding of each block). Walks the heaps on Windows, so it is slow and
// briefly locks them; 0 when the system cannot tell.
size_t HeapBytesInUse();

}  // namespace Platform
