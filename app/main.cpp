// Parlavant's entry: prepare the temporary directory, create the application and its one
// window, and run the message loop until the window closes.
#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

#include "app/startup.h"
#include "platform/location.h"
#include "platform/profile.h"

int main(int argc, char** argv) {
  platform::EnsureStartupTempDirectory();
  QApplication qt(argc, argv);
  const std::string title =
      QFileInfo(QString::fromLocal8Bit(argv[0])).completeBaseName().toStdString();
  auto program =
      app::StartProgram(title, {}, platform::ProfilePath(app::kSettingsFile),
                        [](const std::string& boxTitle, const std::string& text) {
                          QMessageBox::critical(nullptr, QString::fromStdString(boxTitle),
                                                QString::fromStdString(text));
                        });
  if (!program) return 1;
  program->form->show();
  return qt.exec();
}
