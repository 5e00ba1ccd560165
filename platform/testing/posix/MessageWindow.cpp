// Test facility: the native stand-in for the message-only window. There are
// no window messages here, so a "sent" message is handled on the spot.
#include "platform/testing/MessageWindow.h"

#include <atomic>

namespace Platform {

struct TMessageWindow::TImpl {
  std::atomic<int> Handled{0};
};

TMessageWindow::TMessageWindow() : Impl(std::make_unique<TImpl>()) {}
TMessageWindow::~TMessageWindow() = default;

bool TMessageWindow::SendFromOtherThread() {
  ++Impl->Handled;
  return true;
}

int TMessageWindow::HandledCount() const {
  return Impl->Handled.load();
}

}  // namespace Platform
