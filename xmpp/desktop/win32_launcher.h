#pragma once

// The launcher's Win32 view: an icon in the notification area with the same menu and states as
// on Linux, the account dialog, and notifications as the icon's balloons. Its loop waits on the
// window messages and on the handles the core watches, in one thread.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "xmpp/desktop/launcher_core.h"

namespace xmpp::desktop {

// The account dialog's controls, by id: what a test (or an accessibility tool) finds them by.
enum AccountControl : int {
  kJidField = 101,
  kPasswordField,
  kRememberBox,
  kServerField,
  kPortField,
  kCaFileField,
  kCaFileBrowse,
  kServiceField,
  kApiKeyField,
  kProblemText,
  kKeyringText,
  kSignInButton = 1,  // IDOK: Enter presses it
  kCancelButton = 2,  // IDCANCEL: Escape presses it
};

class Win32Launcher : public LauncherView {
 public:
  Win32Launcher(AccountSettings settings, ServiceOptions options, LauncherCore::Programs programs);
  ~Win32Launcher() override;
  Win32Launcher(const Win32Launcher&) = delete;
  Win32Launcher& operator=(const Win32Launcher&) = delete;

  LauncherCore& Core() { return *core_; }
  // Runs the loop until the launcher quits; the program's exit status.
  int Run();
  // Runs the loop until `done` or `timeoutMs` has passed; whether `done`. For tests.
  bool RunUntil(const std::function<bool()>& done, int timeoutMs);

  // The account dialog's window (an HWND), null while none is open.
  void* DialogWindow() const;
  // Whether the icon is in the notification area (else a small status window stands in).
  bool InTray() const { return inTray_; }
  // What the last notification said, summary and body.
  const std::string& LastNotification() const { return lastNotification_; }
  // What the icon's menu offers now, item by item (a line for a separator).
  std::vector<std::string> MenuItems() const;

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

  struct Watched;
  class Dialog;

 private:
  static std::intptr_t __stdcall WindowProcedure(void* window, unsigned message,
                                                 std::uintptr_t wParam, std::intptr_t lParam);
  std::intptr_t Handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
  // One turn of the loop: waits at most `timeoutMs` for a message, a handle or a timer, and
  // handles what came. False once the loop has ended.
  bool Turn(int timeoutMs);
  void RunDue();
  void AddIcon();
  void ShowMenu();
  void Command(int id);
  void MakeStatusWindow();
  // The dialog closed without signing in (Cancel, Escape, its close box).
  void CancelDialog();

  void* window_ = nullptr;  // HWND: the icon's messages, and the status window where no tray
  void* statusText_ = nullptr;
  void* startTranslatorButton_ = nullptr;
  void* icon_ = nullptr;  // HICON
  unsigned taskbarCreated_ = 0;
  bool inTray_ = false, ended_ = false;
  int exitStatus_ = 0;
  LauncherStatus status_;
  std::string lastNotification_;
  std::function<void()> balloonClick_;
  std::mutex postedMutex_;
  std::deque<std::function<void()>> posted_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
  std::list<std::weak_ptr<Watched>> watched_;
  std::unique_ptr<Dialog> dialog_;
  // Last, so that it goes first: its service and children report to the view until then.
  std::unique_ptr<LauncherCore> core_;
};

// The desktop mode on Windows: one copy per session, the saved account or the dialog, the
// window and the icon, until Quit.
int RunWin32Launcher(AccountSettings account, ServiceOptions service,
                     ProgramWatch::Duration restartWait);
// Where there is no console: a message box.
void ShowLauncherError(const std::string& text);

}  // namespace xmpp::desktop
