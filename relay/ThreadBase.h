// TThreadBase: the general thread class. An operating-system thread that runs
// one virtual body, keeps a failure escaping it, and is waited for and
// destroyed by its owner (never released automatically).
#pragma once

#include <atomic>
#include <exception>

#include "platform/Thread.h"

class TThreadBase {
public:
  // Creates the operating-system thread. Throws std::runtime_error
  // "Thread creation error: %s" (the system's text) when it cannot be made.
  // The body calls the virtual Execute, which does not exist until the
  // derived constructor has finished, so a derived class must pass true and
  // call Start once it is constructed; false throws std::invalid_argument
  // (starting at once would run the body on a half-built object).
  explicit TThreadBase(bool CreateSuspended);
  // Releases the thread handle and any kept fatal error. The owner must have
  // waited for the end of a started thread; a thread never started is
  // released without running its body.
  virtual ~TThreadBase();
  TThreadBase(const TThreadBase&) = delete;
  TThreadBase& operator=(const TThreadBase&) = delete;

  // Lets the suspended thread run. Throws std::runtime_error
  // "Thread Error: %s (%d)" when the system refuses; a second call is a no-op.
  void Start();
  // Waits until the body has returned; returns at once when the thread was
  // never started (its body never runs). On the thread that loaded this
  // module the wait lets window messages sent to it by other threads through.
  // Throws std::runtime_error "Thread Error: %s (%d)" when the system's wait
  // fails, but only once the body has returned all the same (watched through
  // BodyEnded), so that the owner never frees what the thread still uses.
  void WaitFor();
  // True once the body has returned (its last act), whether or not the
  // system's wait could see the thread end.
  bool BodyHasEnded() const { return BodyEnded.load(); }

  // Asks the body to end; the body decides when it looks (see Terminated).
  void Terminate() { TerminateRequested.store(true); }
  bool Terminated() const { return TerminateRequested.load(); }

  // The failure that escaped Execute, or null. Read it after WaitFor: the
  // body writes it on the thread just before it ends.
  std::exception_ptr FatalError() const { return Fatal; }

protected:
  // The body, run once on the new thread.
  virtual void Execute() = 0;

private:
  static void Run(void* Self);

  Platform::TThread Thread;
  std::atomic<bool> TerminateRequested{false};
  // Set by the owner's thread in Start; a second Start does nothing.
  bool Started = false;
  // Written by the thread once, just before it ends; read by others only
  // after WaitFor (the end of the thread orders the two).
  std::exception_ptr Fatal;
  // Set by the thread as the last thing its body does (after Fatal): the
  // end WaitFor falls back on when the system's wait fails.
  std::atomic<bool> BodyEnded{false};
};
