// Parlavant on Windows: the desktop is the user's, the window is made of user32 and comctl32
// controls, and the message loop runs until the window closes.

// Before windows.h, whose OpenDesktop macro would rename the platform's function here.
#include "app/application.h"
#include "platform/desktop.h"
#include "platform/location.h"
#include "platform/profile.h"
#include "uilocal/translate_interface.h"

// clang-format off
#include <windows.h>
#include "app/win32_form.h"
#undef OpenDesktop
// clang-format on

#include <exception>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
  platform::EnsureStartupTempDirectory();
  const auto errorBox = [](const std::string& title, const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_ICONSTOP | MB_OK);
  };
  try {
    auto desktop = platform::OpenDesktop("");
    app::TApplication application(*desktop, "parlavant");
    application.ErrorBox = errorBox;
    application.DataDirectories = {platform::ProgramDirectory()};
    app::Win32MainForm form(application, platform::ProfilePath(app::kSettingsFile));
    // Once more now that every form exists, as the program does at start.
    application.Guard([&] {
      uilocal::SetInterfaceLanguage(application.Root(), form.Core().InterfaceLanguage());
    });
    form.Show(show);
    return app::RunWin32MessageLoop(form);
  } catch (const std::exception& e) {
    errorBox("parlavant", app::TApplication::ErrorBoxText(e.what()));
    return 1;
  }
}
