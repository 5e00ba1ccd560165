// Test facility only: a message-only window owned by the thread that creates
// it, so tests can send that thread a window message from another thread and
// check that a wait on the owner thread lets it through. Not used by the
// plug-in itself.
#pragma once

#include <memory>

namespace Platform {

class TMessageWindow {
public:
  TMessageWindow();  // on the thread that will own the window; throws std::runtime_error
  ~TMessageWindow();  // on the same thread
  TMessageWindow(const TMessageWindow&) = delete;
  TMessageWindow& operator=(const TMessageWindow&) = delete;

  // From any other thread: sends the window a message (SendMessage) and
  // returns once the owner thread has handled it; true when it was handled.
  // Blocks for as long as the owner thread lets no sent message through.
  // Natively there are no window messages: it counts the message at once.
  bool SendFromOtherThread();
  // Messages handled so far (any thread).
  int HandledCount() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl;
};

}  // namespace Platform
