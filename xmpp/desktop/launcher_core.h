#pragma once

// parlavant-xmpp's desktop mode, the program a person starts, apart from any toolkit. It signs
// in with the saved account (or asks for one in the account dialog), keeps the password in the
// keyring, starts the translator when none is reachable and Parlavant's window and starts them
// again when they die, says a lost and a restored connection as notifications, and ends what it
// started when the user quits. A view (the Qt tray, the Win32 tray) shows it and runs its loop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/child_program.h"
#include "platform/single_instance.h"
#include "xmpp/account_settings.h"
#include "xmpp/program_watch.h"
#include "xmpp/service.h"

namespace xmpp::desktop {

enum class Connection { kConnecting, kOnline, kOffline, kRefused };

// What the tray (or a status window) shows.
struct LauncherStatus {
  Connection connection = Connection::kOffline;
  std::string state = "Not signed in";
  std::string waiting;     // of received messages waiting for the window; empty for none
  std::size_t waitingCount = 0;
  std::string translator;  // of the translator it started; empty where it started none
  bool translatorStopped = false;  // "Start the translator" is offered
  // Every line that is not empty, the state first.
  std::string Lines() const;
};

// What the account dialog opens with.
struct DialogRequest {
  AccountSettings current;
  std::string keyringNote;  // why the keyring cannot keep the password; empty when it can
  std::string privateFile;  // where the password goes instead
  std::string password;     // the current account's, shown masked
  std::string problem;      // why the last attempt failed, to be said at once
  ClientEvent::Cause cause = ClientEvent::kNoCause;
  // Where no translator comes with the program: the translation service the window uses (its
  // settings' WebService and WebApiKey), asked for with the account.
  bool askService = false;
  std::string webService, webApiKey;
};

// The view: what shows the launcher, and the loop it runs on. Everything the core asks of it is
// asked on the loop's thread, but Post.
class LauncherView {
 public:
  virtual ~LauncherView() = default;

  // Runs `task` on the loop; from any thread.
  virtual void Post(std::function<void()> task) = 0;
  // Runs `task` on the loop once `wait` has passed.
  virtual void After(std::chrono::milliseconds wait, std::function<void()> task) = 0;
  // Runs `ready` whenever `handle` is ready, until the returned watch goes. A kSocket is a
  // platform::SocketId to read; a kWaitable a descriptor (POSIX) or a kernel handle (Windows).
  enum class HandleKind { kWaitable, kSocket };
  using Watch = std::shared_ptr<void>;
  virtual Watch WatchHandle(std::intptr_t handle, HandleKind kind, std::function<void()> ready) = 0;
  // Ends the loop.
  virtual void EndLoop() = 0;

  virtual void ShowStatus(const LauncherStatus& status) = 0;
  virtual void Notify(const std::string& summary, const std::string& body,
                      std::function<void()> onClick = {}) = 0;

  virtual void OpenDialog(const DialogRequest& request) = 0;
  virtual bool DialogOpen() const = 0;
  virtual void RaiseDialog() = 0;
  virtual void CloseDialog() = 0;
  // The attempt's outcome: the dialog closes, or says why and selects the field to correct.
  virtual void DialogSignedIn() = 0;
  virtual void DialogRefused(const std::string& reason, ClientEvent::Cause cause) = 0;
};

class LauncherCore {
 public:
  // The programs it starts: the stand-in translator (when no translator answers) and
  // Parlavant's window; an empty path starts nothing in its place.
  struct Programs {
    std::string translator, window;
    // The first wait before a program that ended is started again (see ProgramWatch).
    ProgramWatch::Duration restartWait = std::chrono::seconds(1);
  };
  // Beside this program when installed, in the build directory otherwise.
  static Programs InstalledPrograms();

  LauncherCore(LauncherView& view, AccountSettings settings, ServiceOptions options,
               Programs programs);
  ~LauncherCore();
  LauncherCore(const LauncherCore&) = delete;
  LauncherCore& operator=(const LauncherCore&) = delete;

  // True when a copy already runs on this desktop and was asked to come forward: this one
  // should end. Otherwise later starts come to ShowParlavant.
  bool HandOverToRunningCopy();
  void Start();
  void ShowParlavant();
  // Ends what it started, and the loop.
  void Quit();
  void OpenAccountDialog(bool first);
  // After the translator was left stopped: the user asks for it again.
  void StartTranslatorAgain();

  // From the dialog: sign in with what its fields hold; or it was closed without signing in.
  void SignIn(const AccountSettings& account, const std::string& password, bool remember);
  void DialogCancelled();
  // From the dialog that asks for it: the translation service Parlavant's window is to use
  // (empty: a desktop translator). False, with the reason in `error`, when it cannot be kept.
  bool KeepTranslationService(const std::string& service, const std::string& apiKey,
                              std::string& error);

  const LauncherStatus& Status() const { return status_; }
  // How many connections to an account were started so far (a new one replaces the last).
  int ConnectionsStarted() const { return generation_; }

 private:
  struct Pending {
    AccountSettings account;
    std::string password;
    bool remember;
  };
  // A program the launcher started and watches.
  struct Child {
    Child(bool restartOnCleanEnd, ProgramWatch::Duration firstWait)
        : restarts(restartOnCleanEnd, firstWait) {}
    platform::ChildProgram program;
    LauncherView::Watch watch;
    ProgramWatch restarts;
  };
  // Runs `task` on the loop if this core still exists then.
  std::function<void()> Guarded(std::function<void()> task);
  std::string PrivateFile() const;
  void ShowStatus();
  void SetState(Connection state, std::string text);
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
  bool StartChild(Child& child, const std::string& path, const std::vector<std::string>& args,
                  const std::vector<std::pair<std::string, std::string>>& environment,
                  void (LauncherCore::*ended)(bool failed));
  void WatchEnd(Child& child, void (LauncherCore::*ended)(bool failed));
  void StartTranslator();
  void TranslatorEnded(bool failed);
  void SetTranslatorState(ProgramWatch::State state, std::string text);
  void StartWindow();
  void WindowEnded(bool failed);
  void Held(const std::string& from, const std::string& body);
  void SetWaiting(std::size_t waiting);

  LauncherView& view_;
  AccountSettings settings_;
  ServiceOptions options_;
  Programs programs_;
  std::string desktop_;  // the desktop location the window and this serve
  std::shared_ptr<LauncherCore*> self_;  // what posted tasks find this by, while it exists
  LauncherStatus status_;
  std::unique_ptr<platform::SingleInstance> instance_;
  LauncherView::Watch instanceWatch_;
  std::unique_ptr<AccountService> service_;
  std::thread thread_;
  int generation_ = 0;  // of the service now running
  bool serviceRunning_ = false, lostSaid_ = false, quitting_ = false;
  bool companionsStarted_ = false, dialogFirst_ = false;
  std::optional<Pending> pending_;
  std::unique_ptr<XmppClient> trial_;
  LauncherView::Watch trialWatch_;
  std::string problem_;  // for the dialog to say when it opens
  ClientEvent::Cause problemCause_ = ClientEvent::kNoCause;
  Child translator_, window_;
  // Where the window reads how the translator is, to say it in words in its pages.
  std::string translatorStateFile_;
};

}  // namespace xmpp::desktop
