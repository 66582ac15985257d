#pragma once

// The application object: it owns the forms (in the component tree), the hidden application
// window on the desktop, and the standard error box through which every error that leaves a
// handler is shown. No toolkit: the window that is made on it brings its toolkit's part (the
// error box, the pumping of the desktop's messages) in `Toolkit`.

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/history.h"
#include "platform/app_window.h"
#include "platform/desktop.h"
#include "uilocal/component.h"

namespace app {

class TApplication {
 public:
  // `title` is the program file's name without its extension.
  TApplication(platform::Desktop& desktop, std::string title);
  ~TApplication();

  platform::Desktop& Desktop() const { return desktop_; }
  platform::ApplicationWindow& Window() { return window_; }
  // The nameless root of the component tree; it owns the forms.
  uilocal::TComponent& Root() { return root_; }
  const std::string& Title() const { return title_; }

  // Runs a handler as the toolkit runs one: an error that leaves it is shown in the error box,
  // and the program goes on. Returns false when the handler raised.
  bool Guard(const std::function<void()>& handler);

  // Where the program's data files are looked for when they are not in the current directory.
  std::vector<std::string> DataDirectories;

  // The standard error box: a modal message box with the stop icon and an OK button, as the
  // toolkit makes it. Tests put a recorder here.
  std::function<void(const std::string& title, const std::string& text)> ErrorBox;
  // Opens the conversations' history for the window (none: nothing is kept). Tests put a fake
  // here.
  std::function<std::unique_ptr<History>()> OpenHistory;
  // What the toolkit keeps for the application while it lives.
  std::shared_ptr<void> Toolkit;
  // The box's text for an error message: a full stop is added when the last character sorts
  // after ".".
  static std::string ErrorBoxText(std::string message);

 private:
  void HandleException(std::exception_ptr error);

  platform::Desktop& desktop_;
  std::string title_;
  platform::ApplicationWindow window_;
  uilocal::TComponent root_;
};

}  // namespace app
