// The process log's load-time and unload-time hooks. Compiled into the
// plug-in library only (never into a program that merely uses the log): the
// static object's construction runs while the library is being loaded,
// before the host can call any entry point, and its destruction while the
// library is being unloaded, after the host's last call.
#include "log/ProcessLog.h"

namespace {

struct TProcessLogHooks {
  TProcessLogHooks() { InitProcessLog(); }
  ~TProcessLogHooks() { DoneProcessLog(); }
  TProcessLogHooks(const TProcessLogHooks&) = delete;
  TProcessLogHooks& operator=(const TProcessLogHooks&) = delete;
};

// Static construction of a library runs on the loading thread under the
// loader lock: InitProcessLog may load "LogClient.dll" there, and the client
// library's own initialisation must not wait for other threads.
TProcessLogHooks ProcessLogHooks;

}  // namespace
