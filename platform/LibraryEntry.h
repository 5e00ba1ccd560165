// The entry point of every library this project builds for Windows, and what
// it guarantees on unload. Linked by cmake/LibraryEntry.cmake; no code calls it.
// It is product code (Velmora.dll's own entry), so it lives in the platform
// library itself, not among the test probes in platform/testing/.
#pragma once

#include <cstdint>

// The C runtime's own library entry, and then, when the library is being
// unloaded by FreeLibrary (Reserved null), after the runtime's unload-time work
// (static destructors, atexit functions) is done:
// - the unloading thread leaves the library as an exiting thread would (the
//   library's thread-local-storage callbacks run for it with
//   DLL_THREAD_DETACH), so the POSIX threads runtime releases its record of
//   that thread, two handles among it;
// - the thread-local-storage slots that the statically linked runtime took
//   from the process and still holds are given back;
// - the semaphores still open (those of the runtime's static locks, which it
//   never destroys: two after the library's first exception) are closed,
//   each only while it still names a semaphore with the maximum count it was
//   made with.
// Both records see every path by which the library's code can close such a
// handle or free such a slot (see win32/LibraryEntry.cpp; the built file is
// checked for the rest), so nothing released at unload can be the host's.
// Without this every load and unload costs the process one of its 1,088
// slots (the POSIX threads runtime never frees its own) and two handles, and
// the runtime aborts once no slot is left. At process exit (Reserved not
// null) nothing is done: other threads may still be running runtime code.
//
// The host must have ended every thread the library started before unloading
// it (Finalize_Plugin does so for the plug-in); no thread of the library may
// run after unload in any case.
//
// Natively a library keeps the system's entry: the C runtime is shared and its
// thread-local data go with dlclose; the posix backend has nothing to add.
extern "C" int VELMORA_STDCALL VelmoraLibraryEntry(void* Module, uint32_t Reason, void* Reserved);

namespace Platform {
// For a library whose last unload may run on a thread of its own (one that
// holds it, platform/ModuleThread.h) rather than on the thread that unloads
// it: the calling thread lets go of what the library's static runtime keeps
// for it (its POSIX threads record, two handles), as it would when exiting.
// A later call into the runtime on this thread makes a new one. Without it, a
// host thread that entered the library keeps those handles for good once the
// library is gone. Natively nothing is kept, and nothing is done.
void LeaveLibraryAsExitingThread();
}  // namespace Platform
