#include "platform/posix/shared/SystemSearch.h"

#include <dlfcn.h>

namespace Platform {

void* OpenBySystemSearch(const char* Name, int Flags) { return dlopen(Name, Flags); }

}  // namespace Platform
