#pragma once

// parlavant-xmpp's desktop mode: the program a person starts. It signs in with the saved
// account (or asks for one in the account dialog), keeps the password in the keyring, starts the
// translator when none is reachable and Parlavant's window, shows the connection in the tray
// (or a small status window where the desktop has no tray), says a lost and a restored
// connection as notifications, and ends what it started when the user quits.

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/notifier.h"
#include "xmpp/account_settings.h"
#include "xmpp/desktop/account_dialog.h"
#include "xmpp/program_watch.h"
#include "xmpp/service.h"

namespace xmpp::desktop {

class Launcher : public QObject {
 public:
  // The programs it starts: the stand-in translator (when no translator answers) and
  // Parlavant's window; an empty path starts nothing in its place.
  struct Programs {
    QString translator, window;
    // The first wait before a program that ended is started again (see ProgramWatch).
    ProgramWatch::Duration restartWait = std::chrono::seconds(1);
  };
  static Programs InstalledPrograms();
  enum class Connection { kConnecting, kOnline, kOffline, kRefused };

  Launcher(AccountSettings settings, ServiceOptions options, Programs programs);
  ~Launcher() override;
  void Start();
  void ShowParlavant();
  void Quit();
  void OpenAccountDialog(bool first);
  // After the translator was left stopped: the user asks for it again.
  void StartTranslatorAgain();

  // What the tray or the status window says of the connection now; the dialog while open.
  QString StateText() const;
  // What the tray says of the translator it started; empty where it started none.
  QString TranslatorText() const;
  // What it says of received messages that wait for Parlavant's window; empty for none.
  QString WaitingText() const;
  AccountDialog* Dialog() const { return dialog_; }
  // How many connections to an account were started so far (a new one replaces the last).
  int ConnectionsStarted() const { return generation_; }

 private:
  struct Pending {
    AccountSettings account;
    std::string password;
    bool remember;
  };
  std::string PrivateFile() const;
  void MakeStatusView();
  bool eventFilter(QObject* watched, QEvent* event) override;
  void SetState(Connection state, const QString& text);
  void SignIn(const AccountSettings& account, const std::string& password, bool remember);
  // A changed account while one is signed in: it signs in on the side first, and replaces the
  // running one only once that works.
  void StartTrial(Account account);
  void TrialEvents();
  void EndTrial();

  // The account signed in from the dialog: kept, and its password where the user asked.
  void KeepAccount();

  // After a dialog that signed nobody in: the saved account again, as at start.
  void RestartSaved();
  void StartService(Account account, bool saved);
  void StopService();
  void Connected(const ClientEvent& event);
  void StartCompanions();
  void StartTranslator();
  void TranslatorEnded(bool failed);
  void SetTranslatorState(ProgramWatch::State state, const QString& text);
  void StartWindow();
  void WindowEnded(bool failed);
  void Held(const std::string& from, const std::string& body);
  void SetWaiting(std::size_t waiting);
  AccountSettings settings_;
  ServiceOptions options_;
  app::Notifier notifier_;
  std::unique_ptr<AccountService> service_;
  std::thread thread_;
  int generation_ = 0;  // of the service now running
  bool serviceRunning_ = false, lostSaid_ = false, quitting_ = false;
  bool companionsStarted_ = false, keyringMissing_ = false;
  Connection connection_ = Connection::kOffline;
  std::optional<Pending> pending_;
  std::unique_ptr<XmppClient> trial_;
  std::unique_ptr<QSocketNotifier> trialWake_;
  std::string problem_;  // for the dialog to say when it opens
  ClientEvent::Cause problemCause_ = ClientEvent::kNoCause;
  QPointer<AccountDialog> dialog_;
  QPointer<QProcess> translator_, window_;
  ProgramWatch translatorWatch_, windowWatch_;
  // Where the window reads how the translator is, to say it in words in its pages.
  QString translatorStateFile_;
  QAction* translatorAction_ = nullptr;
  QAction* waitingAction_ = nullptr;
  std::size_t waiting_ = 0;
  QAction* startTranslatorAction_ = nullptr;
  QPushButton* startTranslatorButton_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  std::unique_ptr<QMenu> menu_;
  QAction* stateAction_ = nullptr;
  std::unique_ptr<QWidget> statusWindow_;
  QLabel* statusLabel_ = nullptr;
  Programs programs_;
};

int RunLauncher(int argc, char** argv, AccountSettings account, ServiceOptions service,
                ProgramWatch::Duration restartWait);

}  // namespace xmpp::desktop
