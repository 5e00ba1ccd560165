// The general thread class on top of the platform thread.
#include "relay/ThreadBase.h"

#include <cstdio>
#include <stdexcept>
#include <string>

#include "platform/Errors.h"

namespace {

[[noreturn]] void ThrowThreadError() {
  const uint32_t Code = Platform::LastError();
  char Text[512];
  std::snprintf(Text, sizeof Text, "Thread Error: %s (%d)", Platform::TrimmedSystemText(Code).c_str(),
                static_cast<int>(Code));
  throw std::runtime_error(Text);
}

}  // namespace

TThreadBase::TThreadBase(bool CreateSuspended) {
  if (!CreateSuspended) {
    throw std::invalid_argument("Thread creation error: a thread with a virtual body must be created suspended");
  }
  if (!Thread.Create(&TThreadBase::Run, this)) {
    throw std::runtime_error("Thread creation error: " + Platform::TrimmedSystemText(Platform::LastError()));
  }
}

TThreadBase::~TThreadBase() = default;

void TThreadBase::Start() {
  if (Started) return;
  if (!Thread.Start()) ThrowThreadError();
  Started = true;
}

void TThreadBase::WaitFor() {
  if (!Started) return;
  if (Thread.WaitForEnd()) return;
  const uint32_t Code = Platform::LastError();
  // The body's end, watched without the system's wait; then one more try to
  // reap the thread (a thread left unreaped is let go by the destructor).
  while (!BodyEnded.load()) Platform::SleepMs(1);
  Thread.WaitForEnd();
  Platform::SetLastError(Code);
  ThrowThreadError();
}

void TThreadBase::Run(void* Self) {
  auto* This = static_cast<TThreadBase*>(Self);
  try {
    This->Execute();
  } catch (...) {
    This->Fatal = std::current_exception();
  }
  This->BodyEnded.store(true);
}
