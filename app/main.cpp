// Parlavant's entry: prepare the temporary directory, create the application and its one
// window, and run the message loop until the window closes.
#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

#include "app/application.h"
#include "app/main_form.h"
#include "platform/error.h"
#include "platform/profile.h"
#include "uilocal/translate_interface.h"

int main(int argc, char** argv) {
  platform::EnsureStartupTempDirectory();
  QApplication qt(argc, argv);
  const std::string title =
      QFileInfo(QString::fromLocal8Bit(argv[0])).completeBaseName().toStdString();

  std::unique_ptr<platform::Desktop> desktop;
  try {
    desktop = platform::OpenDesktop();
  } catch (const platform::Error& e) {
    QMessageBox::critical(nullptr, QString::fromStdString(title),
                          QString::fromStdString(app::TApplication::ErrorBoxText(e.what())));
    return 1;
  }
  app::TApplication application(*desktop, title);
  const std::string programDirectory = platform::ProgramDirectory();
  if (!programDirectory.empty()) {
    application.DataDirectories = {programDirectory, programDirectory + "/../share/parlavant"};
  }
  app::TMainForm mainForm(application, platform::ProfilePath(app::kSettingsFile));
  // Now that every form exists, once more in the reading language.
  application.Guard([&] {
    uilocal::SetInterfaceLanguage(application.Root(), app::TMainForm::LangCodeFromComboIndex(
                                                          mainForm.TranslateTo->currentIndex()));
  });
  mainForm.show();
  return qt.exec();
}
