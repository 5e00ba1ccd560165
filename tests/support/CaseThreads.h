// A part of a case played on a thread of its own while the case goes on
// ("later MS STEP" ... "join", a block of steps, a call timed from outside),
// and the lines such threads leave.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "tests/support/CaseScript.h"

namespace TestSupport {

// A step's player as PlaySteps calls it: whether the step held, Why when not.
using TPlay = std::function<bool(const TCaseStep&, std::string&)>;

// One body at a time on a thread of its own; the object waits for it as it
// goes, so whatever the body uses must outlive it.
class TCaseThread {
 public:
  TCaseThread() = default;
  ~TCaseThread() { Join(); }
  TCaseThread(const TCaseThread&) = delete;
  TCaseThread& operator=(const TCaseThread&) = delete;

  // Starts Body there; false when one is still unjoined or no thread started.
  bool Start(std::function<bool()> Body);
  // "later MS STEP": STEP played through Play there, MS ms on (its failure
  // printed there with its line, as PlaySteps prints it).
  bool StartLater(const TCaseStep& Later, TPlay Play);
  bool Running() const { return Thread != nullptr; }
  // Whether the body has ended, waiting up to WithinMs for it.
  bool EndedWithin(uint32_t WithinMs) const;
  // Waits for the body's end: whether it held (true when none ran).
  bool Join();

 private:
  std::unique_ptr<Platform::TThread> Thread;
  std::function<bool()> Body;
  std::atomic<bool> Ended{false};
  bool Held = true;  // read once Ended is set
};

// The lines several threads leave (handlers, callbacks, a server's log), read as they come.
class TSharedLines {
 public:
  void Add(const std::string& Line) {
    Platform::TLockGuard Guard(Lock);
    Kept.push_back(Line);
  }
  std::vector<std::string> Lines() {
    Platform::TLockGuard Guard(Lock);
    return Kept;
  }
  // Every line followed by End; forgotten when Clear.
  std::string Text(const std::string& End = "\n", bool Clear = false) {
    Platform::TLockGuard Guard(Lock);
    std::string Joined;
    for (const std::string& Line : Kept) Joined += Line + End;
    if (Clear) Kept.clear();
    return Joined;
  }

 private:
  Platform::TCriticalSection Lock;
  std::vector<std::string> Kept;
};

}  // namespace TestSupport
