// Test facility: a message-only window whose procedure, run on the owner
// thread, counts the messages sent to it.
#include "platform/testing/MessageWindow.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>

namespace Platform {

namespace {

constexpr UINT CountMessage = WM_APP + 1;
constexpr LRESULT HandledReply = 0x5A5A;
const char* const ClassName = "VelmoraTestMessageWindow";

}  // namespace

struct TMessageWindow::TImpl {
  HWND Window = nullptr;
  std::atomic<int> Handled{0};

  static LRESULT CALLBACK Procedure(HWND Window, UINT Message, WPARAM W, LPARAM L) {
    if (Message == CountMessage) {
      auto* Self = reinterpret_cast<TImpl*>(GetWindowLongPtrA(Window, GWLP_USERDATA));
      if (Self != nullptr) ++Self->Handled;
      return HandledReply;
    }
    return DefWindowProcA(Window, Message, W, L);
  }
};

TMessageWindow::TMessageWindow() : Impl(std::make_unique<TImpl>()) {
  WNDCLASSEXA Class{};
  Class.cbSize = sizeof Class;
  Class.lpfnWndProc = &TImpl::Procedure;
  Class.hInstance = GetModuleHandleA(nullptr);
  Class.lpszClassName = ClassName;
  if (RegisterClassExA(&Class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    throw std::runtime_error("RegisterClassEx failed: " + std::to_string(GetLastError()));
  }
  Impl->Window = CreateWindowExA(0, ClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
  if (Impl->Window == nullptr) {
    throw std::runtime_error("CreateWindowEx failed: " + std::to_string(GetLastError()));
  }
  SetWindowLongPtrA(Impl->Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Impl.get()));
}

TMessageWindow::~TMessageWindow() {
  if (Impl->Window != nullptr) DestroyWindow(Impl->Window);
}

bool TMessageWindow::SendFromOtherThread() {
  return SendMessageA(Impl->Window, CountMessage, 0, 0) == HandledReply;
}

int TMessageWindow::HandledCount() const {
  return Impl->Handled.load();
}

}  // namespace Platform
