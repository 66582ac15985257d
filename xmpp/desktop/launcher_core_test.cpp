// The launcher's core through a view of the test's own: a loop on poll(2), no toolkit.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <thread>

#include "testsupport/net_util.h"
#include "testsupport/scoped_variable.h"
#include "testsupport/temp_dir.h"
#include "xmpp/desktop/account_form.h"
#include "xmpp/desktop/launcher_core.h"

namespace xmpp::desktop {
namespace {

using ::testing::HasSubstr;
using testsupport::ScopedVariable;

class LoopView : public LauncherView {
 public:
  void Post(std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(task));
  }
  void After(std::chrono::milliseconds wait, std::function<void()> task) override {
    timers_.emplace(std::chrono::steady_clock::now() + wait, std::move(task));
  }
  Watch WatchHandle(std::intptr_t handle, HandleKind, std::function<void()> ready) override {
    auto watched = std::make_shared<std::pair<int, std::function<void()>>>(
        static_cast<int>(handle), std::move(ready));
    watches_.push_back(watched);
    return watched;
  }
  void EndLoop() override { ended = true; }
  void ShowStatus(const LauncherStatus& s) override { status = s; }
  void Notify(const std::string& summary, const std::string&, std::function<void()>) override {
    notified.push_back(summary);
  }
  void OpenDialog(const DialogRequest& request) override {
    dialog = true;
    opened = request;
  }
  bool DialogOpen() const override { return dialog; }
  void RaiseDialog() override {}
  void CloseDialog() override { dialog = false; }
  void DialogSignedIn() override { dialog = false; }
  void DialogRefused(const std::string& reason, ClientEvent::Cause) override { refused = reason; }

  // Runs the loop until `done`, for at most `ms`.
  bool RunUntil(const std::function<bool()>& done, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::vector<std::shared_ptr<std::pair<int, std::function<void()>>>> live;
      std::vector<pollfd> fds;
      for (const auto& weak : watches_) {
        if (auto watched = weak.lock()) {
          live.push_back(watched);
          fds.push_back({watched->first, POLLIN, 0});
        }
      }
      ::poll(fds.data(), fds.size(), 10);
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents != 0) {
          const auto ready = live[i]->second;
          ready();
        }
      }
      std::deque<std::function<void()>> tasks;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks.swap(posted_);
      }
      for (auto& task : tasks) task();
      while (!timers_.empty() && timers_.begin()->first <= std::chrono::steady_clock::now()) {
        auto task = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        task();
      }
    }
    return true;
  }

  LauncherStatus status;
  std::vector<std::string> notified;
  bool dialog = false, ended = false;
  DialogRequest opened;
  std::string refused;

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
  std::vector<std::weak_ptr<std::pair<int, std::function<void()>>>> watches_;
};

class LauncherCoreTest : public ::testing::Test {
 protected:
  std::string Dir() const { return temp_.Path(); }
  // A program that writes its pid to `name`.pid, then does `then` (a shell command).
  std::string Script(const std::string& name, const std::string& then) {
    const std::string path = Dir() + "/" + name;
    std::ofstream(path) << "#!/bin/sh\necho $$ >> " << path << ".pid\n" << then << "\n";
    ::chmod(path.c_str(), 0700);
    return path;
  }
  std::vector<pid_t> Pids(const std::string& name) {
    std::ifstream file(Dir() + "/" + name + ".pid");
    std::vector<pid_t> pids;
    for (pid_t pid; file >> pid;) pids.push_back(pid);
    return pids;
  }
  // An account saved with its password in the environment, on a server that is not there.
  AccountSettings SavedAccount() {
    std::ofstream(Dir() + "/parlavant-xmpp.ini")
        << "[Account]\nJid=alice@localhost\nServer=127.0.0.1:" << testsupport::FreeLoopbackPort()
        << "\nPlain=1\nPasswordEnv=PARLAVANT_TEST_PASSWORD\n";
    AccountSettings account;
    account.settingsFile = Dir() + "/parlavant-xmpp.ini";
    return account;
  }

  testsupport::TempDir temp_{"plaunch"};
  ScopedVariable config_{"XDG_CONFIG_HOME", Dir()};
  ScopedVariable runtime_{"XDG_RUNTIME_DIR", Dir()};
  ScopedVariable password_{"PARLAVANT_TEST_PASSWORD", "alice-secret"};
  LoopView view;
};

// The first pause before a restart; an end within ten times it counts as quick. A program that
// ends at once must count as quick on a busy machine too: 2 s.
constexpr std::chrono::milliseconds kFirstWait{200};

TEST_F(LauncherCoreTest, WhatItStartedIsWatchedRestartedLeftStoppedAndEndedAtQuit) {
  ServiceOptions options;
  options.desktopDir = Dir() + "/desktop";
  options.stateFile = Dir() + "/state";
  // The window dies at once, every time; the translator runs until it is ended.
  LauncherCore core(view, SavedAccount(), options,
                    {Script("translator", "exec sleep 60"), Script("window", "exit 3"),
                     kFirstWait});
  ASSERT_TRUE(testsupport::WaitUntilNotListening(4357));
  core.Start();
  EXPECT_FALSE(view.dialog);
  ASSERT_TRUE(view.RunUntil(
      [&] { return view.notified.size() == 1 && Pids("window").size() == 5; }, 20000))
      << Pids("window").size();
  EXPECT_EQ(view.notified[0], "Parlavant's window keeps closing");
  EXPECT_EQ(view.status.translator, "Translator: running");
  // Left stopped: no sixth start, until the user asks for the window.
  view.RunUntil([] { return false; }, 300);
  EXPECT_EQ(Pids("window").size(), 5u);
  core.ShowParlavant();
  ASSERT_TRUE(view.RunUntil([&] { return Pids("window").size() == 6; }, 10000));

  ASSERT_EQ(Pids("translator").size(), 1u);
  const pid_t translator = Pids("translator")[0];
  EXPECT_EQ(::kill(translator, 0), 0);
  core.Quit();
  EXPECT_TRUE(view.ended);
  EXPECT_NE(::kill(translator, 0), 0);  // ended and collected: not even a zombie is left
}

TEST_F(LauncherCoreTest, ATranslatorThatKeepsDyingIsLeftStoppedAndStartedAgainOnRequest) {
  ServiceOptions options;
  options.desktopDir = Dir() + "/desktop";
  options.stateFile = Dir() + "/state";
  LauncherCore core(view, SavedAccount(), options,
                    {Script("translator", "exit 1"), "", kFirstWait});
  ASSERT_TRUE(testsupport::WaitUntilNotListening(4357));
  core.Start();
  ASSERT_TRUE(view.RunUntil([&] { return view.status.translatorStopped; }, 20000));
  EXPECT_EQ(Pids("translator").size(), 5u);
  EXPECT_THAT(view.status.translator, HasSubstr("stopped, after ending 5 times"));
  EXPECT_EQ(view.notified, std::vector<std::string>{"The translator keeps stopping"});
  core.StartTranslatorAgain();
  EXPECT_FALSE(view.status.translatorStopped);
  ASSERT_TRUE(view.RunUntil([&] { return Pids("translator").size() == 6; }, 10000));
  core.Quit();
}

TEST_F(LauncherCoreTest, AProgramThatCannotStartCountsAsOneThatDiedAtItsStart) {
  ServiceOptions options;
  options.desktopDir = Dir() + "/desktop";
  LauncherCore core(view, SavedAccount(), options,
                    {Dir() + "/missing-translator", "", kFirstWait});
  ASSERT_TRUE(testsupport::WaitUntilNotListening(4357));
  core.Start();
  ASSERT_TRUE(view.RunUntil([&] { return view.status.translatorStopped; }, 20000));
  core.Quit();
}

TEST(AccountFormTest, TheServerFieldsAndTheSettingsMeanTheSame) {
  std::string host;
  int port = -1;
  for (const auto& [server, wantHost, wantPort] :
       std::vector<std::tuple<std::string, std::string, int>>{
           {"chat.example.org", "chat.example.org", 0},
           {"chat.example.org:5223", "chat.example.org", 5223},
           {"[::1]:5222", "[::1]", 5222},
           {"::1", "::1", 0},  // a bare IPv6 address has no port
           {"host:port", "host:port", 0},
           {"host:", "host:", 0}}) {
    SplitServer(server, host, port);
    EXPECT_EQ(host, wantHost) << server;
    EXPECT_EQ(port, wantPort) << server;
  }
  AccountSettings base;
  base.settingsFile = "kept.ini";
  base.plain = true;
  AccountSettings made = AccountFromFields(base, " alice@example.org ", " ::1 ", 5222, " ca.pem ");
  EXPECT_EQ(made.jid, "alice@example.org");
  EXPECT_EQ(made.server, "[::1]:5222");
  EXPECT_EQ(made.caFile, "ca.pem");
  EXPECT_TRUE(made.plain);
  EXPECT_EQ(made.settingsFile, "kept.ini");
  // A port alone is for the address's own domain; neither is none.
  EXPECT_EQ(AccountFromFields(base, "alice@example.org", "", 5223, "").server, "example.org:5223");
  EXPECT_EQ(AccountFromFields(base, "alice@example.org", "", 0, "").server, "");
  EXPECT_EQ(FieldToCorrect(ClientEvent::kUnreachable, false), AccountField::kJid);
  EXPECT_EQ(FieldToCorrect(ClientEvent::kUnreachable, true), AccountField::kServer);
}

}  // namespace
}  // namespace xmpp::desktop
