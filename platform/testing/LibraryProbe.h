// Whether a library is loaded in this process, without loading it: lets tests
// check that a refused library has really been freed again.
#pragma once

#include <string>

namespace Platform {

// True when the library that LoadLibraryByName(Name) would load is mapped in
// this process now (GetModuleHandleA). Name is a bare library name.
bool IsLibraryLoaded(const std::string& Name);

}  // namespace Platform
