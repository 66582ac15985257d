#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace platform {

// A window message as the application window's hooks see it; Result is what the window answers.
struct TMessage {
  MsgId Msg = 0;
  WParam wParam = 0;
  LParam lParam = 0;
  LResult Result = 0;
};

// The program's hidden top-level application window on a desktop. Every message that reaches it
// is offered to the installed hooks first (newest first); a hook returning true has handled it.
// An exception that escapes a hook is caught here, where the desktop delivered the message, and
// handed to the exception handler; the window then answers with TMessage::Result as the hook
// left it. Lives no longer than its desktop.
class ApplicationWindow {
 public:
  using Hook = std::function<bool(TMessage&)>;
  using ExceptionHandler = std::function<void(std::exception_ptr)>;

  // Throws platform::Error when the desktop cannot make the window.
  ApplicationWindow(Desktop& desktop, std::string_view title);
  ~ApplicationWindow();
  ApplicationWindow(const ApplicationWindow&) = delete;
  ApplicationWindow& operator=(const ApplicationWindow&) = delete;

  Desktop& GetDesktop() const { return desktop_; }
  Hwnd Handle() const { return handle_; }

  // Returns a token for UnhookMainWindow.
  int HookMainWindow(Hook hook);
  void UnhookMainWindow(int token);

  // Until one is set, errors are written to stderr.
  void SetExceptionHandler(ExceptionHandler handler) { onException_ = std::move(handler); }

  // The message text of an error, for handlers that show it.
  static std::string MessageOf(std::exception_ptr error);

 private:
  LResult WindowProc(MsgId msg, WParam wParam, LParam lParam);
  void HandleException(std::exception_ptr error);

  Desktop& desktop_;
  Hwnd handle_ = 0;
  std::vector<std::pair<int, Hook>> hooks_;
  int nextToken_ = 1;
  ExceptionHandler onException_;
};

}  // namespace platform
