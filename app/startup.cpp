#include "app/startup.h"

#include <exception>

#include "platform/location.h"
#include "platform/profile.h"
#include "uilocal/translate_interface.h"

namespace app {

std::unique_ptr<Program> StartProgram(const std::string& title, const std::string& desktopLocation,
                                      const std::string& settingsPath,
                                      const StartupErrorBox& errorBox,
                                      std::function<std::unique_ptr<History>()> openHistory) {
  auto program = std::make_unique<Program>();
  try {
    program->desktop = platform::OpenDesktop(desktopLocation);
    program->application = std::make_unique<TApplication>(*program->desktop, title);
    program->application->OpenHistory = std::move(openHistory);
    const std::string programDirectory = platform::ProgramDirectory();
    if (!programDirectory.empty()) {
      program->application->DataDirectories = {programDirectory,
                                               programDirectory + "/../share/parlavant"};
    }
    program->form = std::make_unique<TMainForm>(*program->application, settingsPath);
  } catch (const std::exception& e) {
    errorBox(title, TApplication::ErrorBoxText(e.what()));
    return nullptr;
  }
  TApplication& application = *program->application;
  TMainForm& form = *program->form;
  application.Guard([&] {
    uilocal::SetInterfaceLanguage(
        application.Root(), TMainForm::LangCodeFromComboIndex(form.TranslateTo->currentIndex()));
  });
  return program;
}

}  // namespace app
