#include "app/application.h"

#include <cstdio>

namespace app {

TApplication::TApplication(platform::Desktop& desktop, std::string title)
    : desktop_(desktop),
      title_(std::move(title)),
      window_(desktop, title_),
      root_(uilocal::ComponentKind::kApplication, "", nullptr) {
  window_.SetExceptionHandler([this](std::exception_ptr error) { HandleException(error); });
}

TApplication::~TApplication() = default;

std::string TApplication::ErrorBoxText(std::string message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') message += '.';
  return message;
}

void TApplication::HandleException(std::exception_ptr error) {
  const std::string text = ErrorBoxText(platform::ApplicationWindow::MessageOf(error));
  if (ErrorBox) {
    ErrorBox(title_, text);
  } else {
    std::fprintf(stderr, "%s: %s\n", title_.c_str(), text.c_str());  // no window to show it in
  }
}

bool TApplication::Guard(const std::function<void()>& handler) {
  try {
    handler();
    return true;
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

}  // namespace app
