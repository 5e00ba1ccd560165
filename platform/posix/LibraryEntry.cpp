// Natively a library keeps the system's own entry: the C and C++ runtimes are
// shared libraries whose thread-local data dlclose accounts for, so there is
// nothing to give back at unload (see platform/LibraryEntry.h), nor for a
// thread that leaves a library.
#include "platform/LibraryEntry.h"

void Platform::LeaveLibraryAsExitingThread() {}
