// Parlavant on Windows: the desktop is the user's, the window is made of user32 and comctl32
// controls, and the message loop runs until the window closes. One copy runs per user session:
// a second start brings the first one's window to the front and ends.

// Before windows.h, whose OpenDesktop macro would rename the platform's function here.
#include "app/application.h"
#include "app/history_store.h"
#include "platform/desktop.h"
#include "platform/single_instance.h"
#include "platform/location.h"
#include "platform/profile.h"
#include "uilocal/translate_interface.h"

// clang-format off
#include <windows.h>
#include "app/win32_form.h"
#undef OpenDesktop
// clang-format on

#include <exception>
#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
  // The user's and the session's own: another user's copy, or one on another desktop session of
  // the same machine, is neither found nor disturbed.
  platform::SingleInstance instance("parlavant", "");
  if (instance.HandOver()) return 0;
  platform::EnsureStartupTempDirectory();
  const auto errorBox = [](const std::string& title, const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_ICONSTOP | MB_OK);
  };
  try {
    auto desktop = platform::OpenDesktop("");
    app::TApplication application(*desktop, "parlavant");
    application.ErrorBox = errorBox;
    application.DataDirectories = {platform::ProgramDirectory()};
    application.OpenHistory = [] {
      return std::make_unique<app::SqliteHistory>(platform::DataPath("history.sqlite3"));
    };
    app::Win32MainForm form(application, platform::ProfilePath(app::kSettingsFile));
    // Once more now that every form exists, as the program does at start.
    application.Guard([&] {
      uilocal::SetInterfaceLanguage(application.Root(), form.Core().InterfaceLanguage());
    });
    form.Show(show);
    const std::intptr_t request = instance.Handle();
    return app::RunWin32MessageLoop(form, request < 0 ? nullptr : reinterpret_cast<HANDLE>(request),
                                    [&] {
                                      for (int n = instance.TakeRequests(); n > 0; --n)
                                        form.Raise();
                                    });
  } catch (const std::exception& e) {
    errorBox("parlavant", app::TApplication::ErrorBoxText(e.what()));
    return 1;
  }
}
