// TClientEvent: one event of the transport client, a handler that may be
// bound, replaced and unbound while other threads fire it.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/Sync.h"

// The handler runs under the event's own critical section. Binding and
// unbinding take the same section, so once Unbind returns no handler runs on
// another thread and none will start: the owner of the handler may then go.
// The section is re-entrant and the handler runs from a copy, so a handler
// may unbind or rebind its own event on its own thread.
template <typename... TArgs>
class TClientEvent {
public:
  using THandler = std::function<void(TArgs...)>;

  TClientEvent() = default;
  TClientEvent(const TClientEvent&) = delete;
  TClientEvent& operator=(const TClientEvent&) = delete;

  void Bind(THandler Handler) {
    std::shared_ptr<const THandler> New;
    if (Handler) New = std::make_shared<const THandler>(std::move(Handler));
    Platform::TLockGuard Guard(Lock);
    Current.swap(New);
    // The old handler, if any, goes with New after the lock is left.
  }
  void Unbind() { Bind(nullptr); }
  bool IsBound() const {
    Platform::TLockGuard Guard(Lock);
    return Current != nullptr;
  }

  // Calls the handler when one is bound (an empty event is skipped); its
  // exceptions reach the caller.
  void Fire(TArgs... Args) const {
    Platform::TLockGuard Guard(Lock);
    const std::shared_ptr<const THandler> Running = Current;
    if (Running) (*Running)(std::forward<TArgs>(Args)...);
  }

private:
  mutable Platform::TCriticalSection Lock;
  std::shared_ptr<const THandler> Current;  // guarded by Lock
};
