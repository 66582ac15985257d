#pragma once

// The launcher's Qt view: the tray (or a small status window where the desktop has no tray),
// its menu, the account dialog and the desktop's notifications, around the launcher's core.

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QWidget>

#include <memory>
#include <string>

#include "platform/notifications.h"
#include "xmpp/desktop/account_dialog.h"
#include "xmpp/desktop/launcher_core.h"

namespace xmpp::desktop {

class Launcher : public QObject, public LauncherView {
 public:
  using Programs = LauncherCore::Programs;

  Launcher(AccountSettings settings, ServiceOptions options, Programs programs);
  ~Launcher() override;

  LauncherCore& Core() { return *core_; }
  void Start() { core_->Start(); }
  void ShowParlavant() { core_->ShowParlavant(); }
  void Quit() { core_->Quit(); }
  void OpenAccountDialog(bool first) { core_->OpenAccountDialog(first); }
  void StartTranslatorAgain() { core_->StartTranslatorAgain(); }

  // What the tray or the status window says of the connection now; the dialog while open.
  QString StateText() const;
  // What the tray says of the translator it started; empty where it started none.
  QString TranslatorText() const;
  // What it says of received messages that wait for Parlavant's window; empty for none.
  QString WaitingText() const;
  AccountDialog* Dialog() const { return dialog_; }
  int ConnectionsStarted() const { return core_->ConnectionsStarted(); }

  // LauncherView
  void Post(std::function<void()> task) override;
  void After(std::chrono::milliseconds wait, std::function<void()> task) override;
  Watch WatchHandle(std::intptr_t handle, HandleKind kind, std::function<void()> ready) override;
  void EndLoop() override;
  void ShowStatus(const LauncherStatus& status) override;
  void Notify(const std::string& summary, const std::string& body,
              std::function<void()> onClick) override;
  void OpenDialog(const DialogRequest& request) override;
  bool DialogOpen() const override;
  void RaiseDialog() override;
  void CloseDialog() override;
  void DialogSignedIn() override;
  void DialogRefused(const std::string& reason, ClientEvent::Cause cause) override;

 private:
  void MakeStatusView();
  bool eventFilter(QObject* watched, QEvent* event) override;

  std::unique_ptr<platform::Notifications> notifications_;
  QPointer<AccountDialog> dialog_;
  QAction* stateAction_ = nullptr;
  QAction* waitingAction_ = nullptr;
  QAction* translatorAction_ = nullptr;
  QAction* startTranslatorAction_ = nullptr;
  QPushButton* startTranslatorButton_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QWidget> statusWindow_;
  QLabel* statusLabel_ = nullptr;
  // Last, so that it goes first: its service and children report to the view until then.
  std::unique_ptr<LauncherCore> core_;
};

int RunLauncher(int argc, char** argv, AccountSettings account, ServiceOptions service,
                ProgramWatch::Duration restartWait);

}  // namespace xmpp::desktop
