#include "platform/app_window.h"

#include <iostream>

#include "platform/error.h"

namespace platform {

ApplicationWindow::ApplicationWindow(Desktop& desktop, std::string_view title) : desktop_(desktop) {
  handle_ = desktop_.MakeWindow(title, [this](Hwnd, MsgId msg, WParam wParam, LParam lParam) {
    return WindowProc(msg, wParam, lParam);
  });
  if (handle_ == 0) throw Error("Cannot create the application window");
}

ApplicationWindow::~ApplicationWindow() {
  desktop_.DestroyWindow(handle_);
}

int ApplicationWindow::HookMainWindow(Hook hook) {
  const int token = nextToken_++;
  hooks_.emplace_back(token, std::move(hook));
  return token;
}

void ApplicationWindow::UnhookMainWindow(int token) {
  std::erase_if(hooks_, [token](const auto& entry) { return entry.first == token; });
}

std::string ApplicationWindow::MessageOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

void ApplicationWindow::HandleException(std::exception_ptr error) {
  if (onException_) {
    onException_(error);
  } else {
    std::cerr << MessageOf(error) << '\n';
  }
}

LResult ApplicationWindow::WindowProc(MsgId msg, WParam wParam, LParam lParam) {
  TMessage message{msg, wParam, lParam, 0};
  // Copied: a hook may unhook itself or others while it runs.
  const auto hooks = hooks_;
  try {
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
      if (it->second(message)) return message.Result;
    }
  } catch (...) {
    HandleException(std::current_exception());
  }
  return message.Result;
}

}  // namespace platform
