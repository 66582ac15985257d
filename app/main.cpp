// Parlavant's entry: prepare the temporary directory, create the application and its one
// window, and run the message loop until the window closes. A second start on the same
// desktop brings the running window to the front instead.
#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

#include "app/notifier.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "platform/desktop.h"
#include "platform/location.h"
#include "platform/profile.h"
#include "tools/common/command_line.h"
#include "app/widgets.h"

int main(int argc, char** argv) {
  tools::CommandLine options(
      "parlavant: translates the chat messages you receive and send, beside the chat client\n"
      "(the desktop is PARLAVANT_DESKTOP's, or the user's; the settings are parlavant.ini in\n"
      "the user's configuration directory)");
  if (auto status = options.Parse(argc, argv)) return *status;
  platform::EnsureStartupTempDirectory();
  QApplication qt(argc, argv);
  app::SingleInstance instance(QStringLiteral("parlavant"),
                               QString::fromStdString(platform::DefaultDesktopLocation()));
  app::TMainForm* shown = nullptr;
  if (instance.HandOver([&shown] {
        if (shown == nullptr) return;
        shown->showNormal();
        shown->raise();
        shown->activateWindow();
      })) {
    return 0;
  }
  const std::string title =
      QFileInfo(QString::fromLocal8Bit(argv[0])).completeBaseName().toStdString();
  auto program =
      app::StartProgram(title, {}, platform::ProfilePath(app::kSettingsFile),
                        [](const std::string& boxTitle, const std::string& text) {
                          QMessageBox::critical(nullptr, QString::fromStdString(boxTitle),
                                                QString::fromStdString(text));
                        });
  if (!program) return 1;
  app::Notifier notifier(QStringLiteral("Parlavant"));
  app::TMainForm& form = *program->form;
  form.OnUnseenMessage = [&](const std::u16string& sender, const std::u16string& line) {
    notifier.Notify(app::FromWide(sender), app::FromWide(line));
    QApplication::alert(&form);  // the urgency hint, until the window is active
  };
  shown = &form;
  form.show();
  return qt.exec();
}
