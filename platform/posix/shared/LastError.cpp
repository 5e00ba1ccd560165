// The calling thread's last error for the posix backend: one slot per thread
// for the whole process, as Windows keeps it in the thread's own block. It
// lives in this one small shared library, which every module that links the
// platform layer imports (as every Windows module imports kernel32), because
// a slot in the static platform library would be copied into each module
// that links it, each library of a process then reading its own stale code.
#include "platform/Errors.h"

namespace Platform {

namespace {
// No destructor: a library holding it stays unloadable.
thread_local uint32_t LastErrorCode = 0;
}  // namespace

uint32_t LastError() { return LastErrorCode; }

void SetLastError(uint32_t Code) { LastErrorCode = Code; }

}  // namespace Platform
