// dlopen as seen from a module without a run path of its own.
#pragma once

namespace Platform {

// dlopen(Name, Flags) called from this shared library, which the build gives
// no run path: a bare name is looked for only along the system's own search
// (LD_LIBRARY_PATH, the loader's cache, the default folders), never along the
// build folder a calling module's run path names. Windows finds a library by
// its bare name beside the program or in the system's folders, not beside
// whatever module asks; so does the posix backend, with or without a
// sanitizer's dlopen in between.
void* OpenBySystemSearch(const char* Name, int Flags);

}  // namespace Platform
