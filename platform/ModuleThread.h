// A thread that keeps the module holding its code loaded until it has ended
// (win32/ModuleThread.cpp, posix/ModuleThread.cpp), for a library that starts
// a thread of its own inside its host's load-time notification and must let
// it go inside the unload-time one, where no thread can finish ending (the
// loader lock is held) and none may be waited for without limit.
#pragma once

#include <cstdint>
#include <memory>

namespace Platform {

class TModuleThread {
public:
  using TBody = void (*)(void* Context);
  TModuleThread();
  // Lets the thread go without waiting for it. Windows: the thread holds its
  // own reference to the module of Body, taken at Start and given back as it
  // exits (FreeLibraryAndExitThread), so the module cannot be unmapped under
  // it. posix: a thread whose body has returned is joined (it is leaving);
  // one still running is detached and its module kept loaded for the rest of
  // the process, for the same reason.
  ~TModuleThread();
  TModuleThread(const TModuleThread&) = delete;
  TModuleThread& operator=(const TModuleThread&) = delete;

  // Runs Body(Context) on a new thread at once, without waiting for it, so it
  // may be called inside a load-time notification (the thread then runs once
  // the notification is over). Epilogue(Context), when given, runs on the
  // thread after the body has been reported returned: for work that may wait
  // for the loader (stopping the sockets) while the owner waits inside an
  // unload-time notification. Neither runs when Start fails. False:
  // LastError() tells why. One thread per object.
  bool Start(TBody Body, void* Context, TBody Epilogue = nullptr);
  // True once Body has returned (or the thread was ended with the process),
  // waiting at most TimeoutMs; false on time-out.
  bool WaitForBody(uint32_t TimeoutMs);

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

}  // namespace Platform
