// Parlavant's entry: prepare the temporary directory, create the application and its one
// window, and run the message loop until the window closes. A second start on the same
// desktop brings the running window to the front instead.
#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSocketNotifier>

#include <iostream>
#include <string_view>

#include "app/history_store.h"
#include "app/startup.h"
#include "app/widgets.h"
#include "platform/desktop.h"
#include "platform/location.h"
#include "platform/notifications.h"
#include "platform/profile.h"
#include "platform/single_instance.h"
#include "platform/stop_signal.h"

int main(int argc, char** argv) {
  // --help and --version; every other argument is the toolkit's (-platform, -style, ...).
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::cout
          << "parlavant: translates the chat messages you receive and send, beside the chat\n"
             "client. The desktop is the one PARLAVANT_DESKTOP names, or the user's; the\n"
             "settings are parlavant.ini in the user's configuration directory. Started again\n"
             "on the same desktop, it brings the running window to the front.\n\n"
             "Options:\n"
             "  --help      print this and exit\n"
             "  --version   print the version and exit\n";
      return 0;
    }
    if (arg == "--version") {
      std::cout << "parlavant " PARLAVANT_VERSION "\n";
      return 0;
    }
  }
  platform::EnsureStartupTempDirectory();
  QApplication qt(argc, argv);
  platform::SingleInstance instance("parlavant", platform::DefaultDesktopLocation());
  if (instance.HandOver()) return 0;
  app::TMainForm* shown = nullptr;
  std::unique_ptr<QSocketNotifier> laterStarts;
  if (instance.Handle() >= 0) {
    laterStarts = std::make_unique<QSocketNotifier>(instance.Handle(), QSocketNotifier::Read);
    QObject::connect(laterStarts.get(), &QSocketNotifier::activated, laterStarts.get(),
                     [&instance, &shown] {
                       for (int n = instance.TakeRequests(); n > 0; --n) {
                         if (shown == nullptr) continue;
                         shown->showNormal();
                         shown->raise();
                         shown->activateWindow();
                       }
                     });
  }
  const std::string title =
      QFileInfo(QString::fromLocal8Bit(argv[0])).completeBaseName().toStdString();
  auto program =
      app::StartProgram(title, {}, platform::ProfilePath(app::kSettingsFile),
                        [](const std::string& boxTitle, const std::string& text) {
                          QMessageBox::critical(nullptr, QString::fromStdString(boxTitle),
                                                QString::fromStdString(text));
                        },
                        [] {
                          return std::make_unique<app::SqliteHistory>(
                              platform::DataPath("history.sqlite3"));
                        });
  if (!program) return 1;
  const auto notifications = platform::DesktopNotifications(
      "Parlavant", [&qt](std::function<void()> task) {
        QMetaObject::invokeMethod(&qt, std::move(task), Qt::QueuedConnection);
      });
  app::TMainForm& form = *program->form;
  form.OnUnseenMessage = [&](const std::u16string& sender, const std::u16string& line) {
    notifications->Notify(app::FromWide(sender).toStdString(), app::FromWide(line).toStdString());
  };
  shown = &form;
  // Asked to end (by the launcher's Quit, at logout): closed as the user closes it, so that
  // the settings are kept. A box still waiting for its OK (a translation that failed, say) is
  // dismissed first: it would keep the program running after its window closed.
  std::unique_ptr<QSocketNotifier> stop;
  if (const int stopSignals = platform::WatchStopSignals(); stopSignals >= 0) {
    stop = std::make_unique<QSocketNotifier>(stopSignals, QSocketNotifier::Read);
    QObject::connect(stop.get(), &QSocketNotifier::activated, &form, [&form, stopSignals] {
      if (!platform::TakeStopRequests(stopSignals)) return;
      if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) box->reject();
      form.close();
    });
  }
  form.show();
  return qt.exec();
}
