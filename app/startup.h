#pragma once

// What the program builds before its message loop runs: the desktop, the application with its
// hidden window, and the main window with the user's settings.

#include <functional>
#include <memory>
#include <string>

#include "app/application.h"
#include "app/history.h"
#include "app/main_form.h"
#include "platform/desktop.h"

namespace app {

struct Program {
  // Declared in the order they are built; they go in reverse.
  std::unique_ptr<platform::Desktop> desktop;
  std::unique_ptr<TApplication> application;
  std::unique_ptr<TMainForm> form;
};

using StartupErrorBox = std::function<void(const std::string& title, const std::string& text)>;

// Opens the desktop at `desktopLocation` (empty: the user's), makes the application and the
// main window (whose own start-up errors go to the application's box), and switches the
// interface to the reading language once more now that every form exists. An error before the
// window exists is shown in `errorBox`, as the standard error box shows it, and gives null: the
// program then ends with status 1. `openHistory` opens the conversations' history (none:
// nothing is kept).
std::unique_ptr<Program> StartProgram(const std::string& title, const std::string& desktopLocation,
                                      const std::string& settingsPath,
                                      const StartupErrorBox& errorBox,
                                      std::function<std::unique_ptr<History>()> openHistory = {});

}  // namespace app
