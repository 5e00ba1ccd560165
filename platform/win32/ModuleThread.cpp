// A thread holding a reference to its own module, for Win32: taken with
// GetModuleHandleExA before the thread is created and given back by the
// thread itself as it exits (FreeLibraryAndExitThread), so that the code it
// returns into is still mapped however the module's other users let it go.
#include <windows.h>

#include "platform/ModuleThread.h"

namespace Platform {

namespace {

// Owned by the thread: what it runs, the module it holds and its own handle
// of the owner's "body returned" event.
struct TStart {
  TModuleThread::TBody Body = nullptr;
  TModuleThread::TBody Epilogue = nullptr;
  void* Context = nullptr;
  HMODULE Module = nullptr;
  HANDLE Returned = nullptr;
};

DWORD WINAPI Entry(LPVOID Parameter) {
  const TStart Start = *static_cast<TStart*>(Parameter);
  delete static_cast<TStart*>(Parameter);
  Start.Body(Start.Context);
  SetEvent(Start.Returned);
  CloseHandle(Start.Returned);
  if (Start.Epilogue != nullptr) Start.Epilogue(Start.Context);
  // The module's last reference may be this one: its unload-time work runs
  // here, and the thread ends without returning into its code.
  FreeLibraryAndExitThread(Start.Module, 0);
  return 0;  // not reached
}

}  // namespace

struct TModuleThread::TImpl {
  HANDLE Thread = nullptr;    // owner's
  HANDLE Returned = nullptr;  // manual-reset event, set by the thread after its body
};

TModuleThread::TModuleThread() : Impl(std::make_unique<TImpl>()) {}

TModuleThread::~TModuleThread() {
  // Closing the handle of a running thread leaves it running.
  if (Impl->Thread != nullptr) CloseHandle(Impl->Thread);
  if (Impl->Returned != nullptr) CloseHandle(Impl->Returned);
}

bool TModuleThread::Start(TBody Body, void* Context, TBody Epilogue) {
  if (Impl->Thread != nullptr || Body == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  Impl->Returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (Impl->Returned == nullptr) return false;
  auto* Start = new TStart{Body, Epilogue, Context, nullptr, nullptr};
  const HANDLE Process = GetCurrentProcess();
  bool Made = DuplicateHandle(Process, Impl->Returned, Process, &Start->Returned, 0, FALSE,
                              DUPLICATE_SAME_ACCESS) != FALSE;
  Made = Made && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                    reinterpret_cast<LPCSTR>(Body), &Start->Module) != FALSE;
  if (Made) Impl->Thread = CreateThread(nullptr, 0, &Entry, Start, 0, nullptr);
  if (Impl->Thread != nullptr) return true;
  const DWORD Error = GetLastError();
  if (Start->Module != nullptr) FreeLibrary(Start->Module);
  if (Start->Returned != nullptr) CloseHandle(Start->Returned);
  delete Start;
  CloseHandle(Impl->Returned);
  Impl->Returned = nullptr;
  ::SetLastError(Error);
  return false;
}

bool TModuleThread::WaitForBody(uint32_t TimeoutMs) {
  if (Impl->Thread == nullptr) return true;
  // The thread's own handle too: at process exit it is ended without
  // reaching the event.
  HANDLE Either[2] = {Impl->Returned, Impl->Thread};
  const DWORD Result = WaitForMultipleObjects(2, Either, FALSE, TimeoutMs);
  return Result == WAIT_OBJECT_0 || Result == WAIT_OBJECT_0 + 1;
}

}  // namespace Platform
