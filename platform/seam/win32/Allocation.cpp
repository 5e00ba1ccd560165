// The test plug-in's operator new, on Windows: every plain and no-throw form
// is the seam's Allocation operation (platform/FaultSeam.h), counted and,
// when armed, failed (std::bad_alloc, or null for the no-throw forms).
// Otherwise it allocates as the C++ runtime's own does (malloc, the new
// handler while it has one), so the runtime's operator delete, linked into
// the plug-in beside it, frees its blocks. Linked only into the test build of
// the plug-in, which links its C++ runtime statically: these definitions
// serve all of the plug-in's code, the runtime's own inside it included.
#include <cstdlib>
#include <new>

#include "platform/FaultSeam.h"

namespace {

bool AllocationFails() {
  uint32_t Code = 0;
  return Platform::FaultSeam::Fails(Platform::TFaultOperation::Allocation, Code);
}

// The runtime's rule: retry through the new handler while one is set.
void* Allocate(std::size_t Size) {
  if (Size == 0) Size = 1;
  for (;;) {
    if (void* Block = std::malloc(Size)) return Block;
    const std::new_handler Handler = std::get_new_handler();
    if (Handler == nullptr) throw std::bad_alloc();
    Handler();
  }
}

void* AllocateNoThrow(std::size_t Size) noexcept {
  try {
    return Allocate(Size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t Size) {
  if (AllocationFails()) throw std::bad_alloc();
  return Allocate(Size);
}

void* operator new[](std::size_t Size) {
  if (AllocationFails()) throw std::bad_alloc();
  return Allocate(Size);
}

void* operator new(std::size_t Size, const std::nothrow_t&) noexcept {
  if (AllocationFails()) return nullptr;
  return AllocateNoThrow(Size);
}

void* operator new[](std::size_t Size, const std::nothrow_t&) noexcept {
  if (AllocationFails()) return nullptr;
  return AllocateNoThrow(Size);
}
