// A thread that keeps its module mapped, for the posix backend: there is no
// FreeLibraryAndExitThread, so the owner joins a thread whose body has
// returned and, for one still running when it lets go, pins the module
// (RTLD_NODELETE) so that a later dlclose never unmaps the code under it.
#include <dlfcn.h>
#include <pthread.h>

#include <memory>
#include <stdexcept>

#include "platform/Errors.h"
#include "platform/ModuleThread.h"
#include "platform/Sync.h"

namespace Platform {

namespace {

// Shared by the owner and the thread, so either may go first.
struct TShared {
  TModuleThread::TBody Body = nullptr;
  TModuleThread::TBody Epilogue = nullptr;
  void* Context = nullptr;
  TEvent Returned;
};

void* Entry(void* Argument) {
  const std::shared_ptr<TShared> Shared(std::move(*static_cast<std::shared_ptr<TShared>*>(Argument)));
  delete static_cast<std::shared_ptr<TShared>*>(Argument);
  Shared->Body(Shared->Context);
  Shared->Returned.Set();
  if (Shared->Epilogue != nullptr) Shared->Epilogue(Shared->Context);
  return nullptr;
}

// Keeps the module holding Code loaded until the process ends.
void PinModule(const void* Code) {
  Dl_info Info{};
  if (dladdr(Code, &Info) == 0 || Info.dli_fname == nullptr) return;
  // The reference this takes is never given back; NODELETE makes it so for
  // every later dlclose as well.
  dlopen(Info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace

struct TModuleThread::TImpl {
  std::shared_ptr<TShared> Shared;  // null until Start succeeded
  pthread_t Handle{};
};

TModuleThread::TModuleThread() : Impl(std::make_unique<TImpl>()) {}

TModuleThread::~TModuleThread() {
  if (!Impl->Shared) return;
  if (Impl->Shared->Returned.IsSet()) {
    pthread_join(Impl->Handle, nullptr);  // only the epilogue and the thread's last steps are left
  } else {
    PinModule(reinterpret_cast<const void*>(Impl->Shared->Body));
    pthread_detach(Impl->Handle);
  }
}

bool TModuleThread::Start(TBody Body, void* Context, TBody Epilogue) {
  if (Impl->Shared || Body == nullptr) {
    SetLastError(87);  // ERROR_INVALID_PARAMETER
    return false;
  }
  std::shared_ptr<TShared> Shared;
  try {
    Shared = std::make_shared<TShared>();
  } catch (const std::exception&) {
    SetLastError(8);  // ERROR_NOT_ENOUGH_MEMORY
    return false;
  }
  Shared->Body = Body;
  Shared->Context = Context;
  Shared->Epilogue = Epilogue;
  auto* Argument = new std::shared_ptr<TShared>(Shared);
  if (pthread_create(&Impl->Handle, nullptr, &Entry, Argument) != 0) {
    delete Argument;
    SetLastError(8);
    return false;
  }
  Impl->Shared = std::move(Shared);
  return true;
}

bool TModuleThread::WaitForBody(uint32_t TimeoutMs) {
  if (!Impl->Shared) return true;
  return Impl->Shared->Returned.Wait(TimeoutMs) == TWaitResult::Signaled;
}

}  // namespace Platform
