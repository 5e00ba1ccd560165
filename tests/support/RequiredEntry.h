// An entry point the test, benchmark or fuzz target cannot do without: the
// platform's typed lookup, and an exception naming the entry when it is
// missing.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/Libraries.h"

namespace TestSupport {

// Platform::LibraryEntryPoint<TEntry>(Library, Name), or std::runtime_error
// "<What> lacks <Name>" when Library is null or lacks the entry.
template <typename TEntry>
TEntry RequiredEntry(Platform::TLibrary Library, const char* Name, const char* What = "library") {
  const TEntry Entry = Platform::LibraryEntryPoint<TEntry>(Library, Name);
  if (Entry == nullptr) throw std::runtime_error(std::string(What) + " lacks " + Name);
  return Entry;
}

}  // namespace TestSupport
