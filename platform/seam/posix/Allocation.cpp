// The test plug-in's operator new, natively: every plain and no-throw form is
// the seam's Allocation operation (platform/FaultSeam.h), counted and, when
// armed, failed (std::bad_alloc, or null for the no-throw forms). Otherwise it
// hands the request to the process's own operator new, found by name, so
// that every block stays the C++ runtime's (or a sanitizer's) and whichever
// module frees it, with whichever form of delete, frees it correctly; delete
// is therefore not replaced. Linked only into the test build of the plug-in,
// whose link keeps these definitions local: they serve the plug-in's own
// code (allocations made inside the shared C++ runtime on its behalf use the
// runtime's operator new and are not counted).
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/FaultSeam.h"

namespace {

using TNew = void* (*)(std::size_t);
using TNewNoThrow = void* (*)(std::size_t, const std::nothrow_t&) noexcept;

bool AllocationFails() {
  uint32_t Code = 0;
  return Platform::FaultSeam::Fails(Platform::TFaultOperation::Allocation, Code);
}

// The process's definition of Name; never one of this file's (they are
// local to the plug-in and not found by the lookup, which is checked).
template <typename TFunction>
TFunction ProcessDefinition(const char* Name, TFunction Own) {
  void* Found = dlsym(RTLD_DEFAULT, Name);
  if (Found == nullptr || Found == reinterpret_cast<void*>(Own)) std::abort();
  return reinterpret_cast<TFunction>(Found);
}

}  // namespace

void* operator new(std::size_t Size) {
  static const TNew Next = ProcessDefinition<TNew>("_Znwm", &::operator new);
  if (AllocationFails()) throw std::bad_alloc();
  return Next(Size);
}

void* operator new[](std::size_t Size) {
  static const TNew Next = ProcessDefinition<TNew>("_Znam", &::operator new[]);
  if (AllocationFails()) throw std::bad_alloc();
  return Next(Size);
}

void* operator new(std::size_t Size, const std::nothrow_t& Tag) noexcept {
  static const TNewNoThrow Next =
      ProcessDefinition<TNewNoThrow>("_ZnwmRKSt9nothrow_t", &::operator new);
  if (AllocationFails()) return nullptr;
  return Next(Size, Tag);
}

void* operator new[](std::size_t Size, const std::nothrow_t& Tag) noexcept {
  static const TNewNoThrow Next =
      ProcessDefinition<TNewNoThrow>("_ZnamRKSt9nothrow_t", &::operator new[]);
  if (AllocationFails()) return nullptr;
  return Next(Size, Tag);
}
