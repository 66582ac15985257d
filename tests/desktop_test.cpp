// Parlavant on a desktop session of the test's own (a private session bus with the keyring
// daemon and a notification server that records): the keyring, notifications, one copy per
// desktop, the account dialog against a real server, and the launcher as the desktop entry
// starts it.
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <dirent.h>
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "app/history_store.h"
#include "platform/keyring.h"
#include "platform/notifications.h"
#include "platform/single_instance.h"
#include "tests/xmpp_support.h"
#include "testsupport/desktop_bus.h"
#include "testsupport/net_util.h"
#include "testsupport/qt_support.h"
#include "testsupport/temp_dir.h"
#include "xmpp/desktop/launcher.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::ChildProcess;
using testsupport::KeyringDaemon;
using testsupport::NotificationRecorder;
using testsupport::PrivateSessionBus;
using testsupport::ProsodyServer;
using testsupport::PumpUntil;
using testsupport::ScopedVariable;

std::optional<std::string> Kept(const std::string& account) {
  platform::KeyringAnswer answer;
  return platform::KeyringLookup(account, answer);
}

::testing::AssertionResult KeyringReady() {
  platform::KeyringAnswer answer;
  if (PumpUntil(
          [&] {
            platform::KeyringLookup("nobody@localhost", answer);
            return answer.ok;
          },
          15000)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << answer.error;
}

class DesktopSessionTest : public ::testing::Test {
 protected:
  // Clicks come back to the Qt loop the test pumps.
  static std::unique_ptr<platform::Notifications> Notifications() {
    return platform::DesktopNotifications("Parlavant", [](std::function<void()> task) {
      QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
    });
  }
  std::string Dir() const { return temp_.Path(); }
  testsupport::TempDir temp_{"pdesk"};
  PrivateSessionBus bus{Dir()};
};

TEST_F(DesktopSessionTest, TheKeyringKeepsReplacesAndForgetsAPassword) {
  // No keyring on the bus yet: said, not waited for.
  platform::KeyringAnswer answer;
  EXPECT_EQ(platform::KeyringLookup("alice@localhost", answer), std::nullopt);
  EXPECT_FALSE(answer.available);
  EXPECT_FALSE(answer.error.empty());

  KeyringDaemon keyring(Dir());
  ASSERT_TRUE(KeyringReady());
  EXPECT_EQ(Kept("alice@localhost"), std::nullopt);
  EXPECT_TRUE(platform::KeyringStore("alice@localhost", "Parlavant: alice", "first").ok);
  EXPECT_TRUE(platform::KeyringStore("bob@localhost", "Parlavant: bob", "bob's").ok);
  EXPECT_TRUE(platform::KeyringStore("alice@localhost", "Parlavant: alice", "second").ok);
  EXPECT_EQ(Kept("alice@localhost"), "second");
  EXPECT_EQ(Kept("bob@localhost"), "bob's");
  EXPECT_TRUE(platform::KeyringForget("alice@localhost").ok);
  EXPECT_EQ(Kept("alice@localhost"), std::nullopt);
  EXPECT_EQ(Kept("bob@localhost"), "bob's");

  // Without any bus: nothing is started to find one.
  const ScopedVariable noBus("DBUS_SESSION_BUS_ADDRESS", "");
  const ScopedVariable noRuntime("XDG_RUNTIME_DIR", Dir() + "/elsewhere");
  EXPECT_FALSE(platform::KeyringStore("alice@localhost", "x", "y").available);
}

TEST_F(DesktopSessionTest, NotificationsGoOutWithoutWaitingAndNothingFailsWithoutAServer) {
  const auto timed = [](const std::function<void()>& call) {
    QElapsedTimer clock;
    clock.start();
    call();
    return clock.elapsed();
  };
  {
    // Nobody shows notifications yet: sent all the same, and not waited for.
    const auto notifier = Notifications();
    EXPECT_LT(timed([&] { notifier->Notify("bob", "lost"); }), 1000);
    QTest::qWait(200);
  }
  NotificationRecorder recorder(bus.Address());
  ASSERT_TRUE(recorder.Registered());
  const auto notifier = Notifications();
  notifier->Notify("bob", "[en] hello");
  notifier->Notify("carol", "ciao");
  ASSERT_TRUE(PumpUntil([&] { return recorder.Notifications().size() == 2; }, 10000));
  EXPECT_EQ(recorder.Notifications()[0].app, "Parlavant");
  EXPECT_EQ(recorder.Notifications()[0].summary, "bob");
  EXPECT_EQ(recorder.Notifications()[0].body, "[en] hello");
  EXPECT_EQ(recorder.Notifications()[1].summary, "carol");

  // No bus at all.
  const ScopedVariable noBus("DBUS_SESSION_BUS_ADDRESS", "");
  const ScopedVariable noRuntime("XDG_RUNTIME_DIR", Dir() + "/elsewhere");
  const auto alone = Notifications();
  EXPECT_LT(timed([&] { alone->Notify("bob", "nowhere"); }), 1000);
}

TEST(SingleInstanceTest, ASecondCopyOnTheSameDesktopBringsTheFirstForwardAndEnds) {
  platform::SingleInstance first("parlavant-test", "/desktop/one");
  ASSERT_FALSE(first.HandOver());
  ASSERT_GE(first.Handle(), 0);
  // The second copy blocks in its hand-over: it runs where the first's loop can answer it.
  std::atomic<int> handedOver{-1};
  std::thread second([&] {
    platform::SingleInstance copy("parlavant-test", "/desktop/one");
    handedOver = copy.HandOver() ? 1 : 0;
  });
  int shown = 0;
  ASSERT_TRUE(PumpUntil(
      [&] {
        shown += first.TakeRequests();
        return handedOver >= 0;
      },
      10000));
  second.join();
  EXPECT_EQ(handedOver, 1);
  EXPECT_EQ(shown, 1);
  // Another desktop has a copy of its own.
  platform::SingleInstance other("parlavant-test", "/desktop/two");
  EXPECT_FALSE(other.HandOver());
}

// parlavant-xmpp's desktop mode in this process, against a Prosody server of the test's own.
class LauncherTest : public DesktopSessionTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.Register("alice", "alice-secret"));
    std::ofstream(Settings()) << "[Account]\nPlain=1\n";
  }
  std::string Settings() const { return Dir() + "/parlavant-xmpp.ini"; }
  std::unique_ptr<xmpp::desktop::Launcher> MakeLauncher() {
    xmpp::AccountSettings account;
    account.settingsFile = Settings();
    xmpp::ServiceOptions service;
    service.desktopDir = Dir() + "/d";
    service.stateFile = Dir() + "/xmpp.state";
    service.client.connectTimeoutMs = 3000;
    service.client.session.pingIntervalMs = 1000;
    service.client.session.ackTimeoutMs = 2000;
    return std::make_unique<xmpp::desktop::Launcher>(account, service,
                                                     xmpp::desktop::Launcher::Programs{});
  }
  // Fills the dialog as a person would and presses "Sign in".
  static void SignIn(xmpp::desktop::AccountDialog& d, const QString& jid, const QString& password,
                     int port) {
    d.jid->clear();
    QTest::keyClicks(d.jid, jid);
    d.advanced->setChecked(true);
    d.server->clear();
    QTest::keyClicks(d.server, QStringLiteral("127.0.0.1"));
    d.port->setValue(port);
    d.password->clear();
    QTest::keyClicks(d.password, password);
    QTest::mouseClick(d.signIn, Qt::LeftButton);
  }
  bool SignedIn(xmpp::desktop::Launcher& launcher) {
    return PumpUntil(
        [&] { return launcher.StateText() == QStringLiteral("Signed in as alice@localhost"); },
        15000);
  }

  ProsodyServer server{Dir()};
};

TEST_F(LauncherTest, TheDialogSaysWhyAndTheRightPasswordIsKeptSoTheNextStartAsksNothing) {
  KeyringDaemon keyring(Dir());
  ASSERT_TRUE(KeyringReady()) << testsupport::FileText(Dir() + "/keyring.err");
  NotificationRecorder recorder(bus.Address());
  ASSERT_TRUE(recorder.Registered());
  auto launcher = MakeLauncher();
  launcher->Start();
  QPointer<xmpp::desktop::AccountDialog> dialog = launcher->Dialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->keyringNote->isVisible());

  // A server that does not listen: the server field is the one to correct.
  SignIn(*dialog, "alice@localhost", "alice-secret", testsupport::FreeLoopbackPort());
  ASSERT_TRUE(PumpUntil([&] { return dialog->signIn->isEnabled(); }, 15000));
  EXPECT_THAT(dialog->problem->text().toStdString(), StartsWith("Server unreachable: "));
  EXPECT_EQ(dialog->focusWidget(), dialog->server);

  SignIn(*dialog, "alice@localhost", "wrong", server.Port());
  ASSERT_TRUE(PumpUntil([&] { return dialog->signIn->isEnabled(); }, 15000));
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_THAT(dialog->problem->text().toStdString(),
              StartsWith("Wrong password: the server refused the login for alice@localhost"));
  EXPECT_EQ(dialog->focusWidget(), dialog->password);
  EXPECT_EQ(dialog->password->selectedText(), "wrong");
  EXPECT_EQ(Kept("alice@localhost"), std::nullopt);

  SignIn(*dialog, "alice@localhost", "alice-secret", server.Port());
  ASSERT_TRUE(PumpUntil([&] { return dialog.isNull(); }, 15000));
  ASSERT_TRUE(SignedIn(*launcher));
  EXPECT_EQ(Kept("alice@localhost"), "alice-secret");
  const std::string settings = testsupport::FileText(Settings());
  EXPECT_THAT(settings, HasSubstr("Jid=alice@localhost"));
  EXPECT_THAT(settings, HasSubstr("Server=127.0.0.1:" + std::to_string(server.Port())));
  EXPECT_THAT(settings, ::testing::Not(HasSubstr("alice-secret")));

  // The connection lost and back: each said once, however many attempts lie between.
  server.Kill();
  ASSERT_TRUE(PumpUntil([&] { return launcher->StateText().startsWith("Connecting: "); }, 15000));
  EXPECT_THAT(launcher->StateText().toStdString(), HasSubstr("next attempt in"));
  QTest::qWait(2000);
  ASSERT_TRUE(server.Restart());
  ASSERT_TRUE(SignedIn(*launcher));
  ASSERT_TRUE(PumpUntil([&] { return recorder.Notifications().size() >= 2; }, 10000));
  QTest::qWait(300);
  ASSERT_EQ(recorder.Notifications().size(), 2u);
  EXPECT_EQ(recorder.Notifications()[0].summary, "Connection lost");
  EXPECT_EQ(recorder.Notifications()[1].summary, "Connection restored");

  launcher.reset();
  auto again = MakeLauncher();
  again->Start();
  EXPECT_EQ(again->Dialog(), nullptr);
  EXPECT_TRUE(SignedIn(*again));
}

TEST_F(LauncherTest, WithoutAKeyringThePasswordGoesIntoAFileOnlyTheUserCanRead) {
  auto launcher = MakeLauncher();
  launcher->Start();
  QPointer<xmpp::desktop::AccountDialog> dialog = launcher->Dialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->keyringNote->isVisibleTo(dialog));
  const std::string file = Dir() + "/parlavant-xmpp.password";
  EXPECT_THAT(dialog->keyringNote->text().toStdString(), HasSubstr(file));
  SignIn(*dialog, "alice@localhost", "alice-secret", server.Port());
  ASSERT_TRUE(PumpUntil([&] { return dialog.isNull(); }, 15000));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(testsupport::FileText(file), "alice-secret");
  EXPECT_THAT(testsupport::FileText(Settings()), HasSubstr("PasswordFile=" + file));

  launcher.reset();
  auto again = MakeLauncher();
  again->Start();
  EXPECT_EQ(again->Dialog(), nullptr);
  EXPECT_TRUE(SignedIn(*again));

  // The server no longer takes the kept password: the dialog opens to correct it.
  again.reset();
  ASSERT_TRUE(server.Unregister("alice"));
  ASSERT_TRUE(server.Register("alice", "changed"));
  auto third = MakeLauncher();
  third->Start();
  ASSERT_TRUE(PumpUntil([&] { return third->Dialog() != nullptr; }, 15000));
  EXPECT_THAT(third->Dialog()->problem->text().toStdString(), StartsWith("Wrong password"));
  EXPECT_EQ(third->Dialog()->focusWidget(), third->Dialog()->password);
}

TEST_F(LauncherTest, AccountWhileSignedInShowsItAndReplacesItOnlyWithOneThatWorks) {
  KeyringDaemon keyring(Dir());
  ASSERT_TRUE(KeyringReady());
  ASSERT_TRUE(server.Register("bob", "bob-secret"));
  auto launcher = MakeLauncher();
  launcher->Start();
  ASSERT_NE(launcher->Dialog(), nullptr);
  SignIn(*launcher->Dialog(), "alice@localhost", "alice-secret", server.Port());
  ASSERT_TRUE(SignedIn(*launcher));
  const int connections = launcher->ConnectionsStarted();
  const auto reopen = [&] {
    launcher->OpenAccountDialog(false);
    return QPointer<xmpp::desktop::AccountDialog>(launcher->Dialog());
  };

  // Shown as it is, the password masked; Cancel changes nothing.
  QPointer<xmpp::desktop::AccountDialog> dialog = reopen();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->jid->text(), "alice@localhost");
  EXPECT_EQ(dialog->password->text(), "alice-secret");
  EXPECT_EQ(dialog->password->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(dialog->advanced->isChecked());  // this account names its server
  dialog->reject();
  // Sign in on the same account: the connection stays.
  dialog = reopen();
  QTest::keyClick(dialog->password, Qt::Key_Return);
  ASSERT_TRUE(PumpUntil([&] { return dialog.isNull(); }, 5000));
  QTest::qWait(500);
  EXPECT_EQ(launcher->ConnectionsStarted(), connections);
  EXPECT_EQ(launcher->StateText(), "Signed in as alice@localhost");

  // Another account that does not work: said, and alice stays signed in.
  dialog = reopen();
  SignIn(*dialog, "bob@localhost", "wrong", server.Port());
  ASSERT_TRUE(PumpUntil([&] { return dialog->signIn->isEnabled(); }, 15000));
  EXPECT_THAT(dialog->problem->text().toStdString(), StartsWith("Wrong password"));
  EXPECT_EQ(launcher->ConnectionsStarted(), connections);
  EXPECT_EQ(launcher->StateText(), "Signed in as alice@localhost");
  EXPECT_THAT(testsupport::FileText(Settings()), HasSubstr("Jid=alice@localhost"));
  // One that works replaces it, and is kept.
  SignIn(*dialog, "bob@localhost", "bob-secret", server.Port());
  ASSERT_TRUE(PumpUntil([&] { return dialog.isNull(); }, 15000));
  ASSERT_TRUE(PumpUntil(
      [&] { return launcher->StateText() == QStringLiteral("Signed in as bob@localhost"); }, 15000));
  EXPECT_EQ(launcher->ConnectionsStarted(), connections + 1);
  EXPECT_THAT(testsupport::FileText(Settings()), HasSubstr("Jid=bob@localhost"));
  EXPECT_EQ(Kept("bob@localhost"), "bob-secret");
}

// Parlavant's processes whose environment names `desktop`: what one launch started, and nothing
// else (the server the test started has that environment too).
std::map<pid_t, std::string> ProcessesOn(const std::string& desktop) {
  std::map<pid_t, std::string> found;
  DIR* proc = ::opendir("/proc");
  while (dirent* entry = ::readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0 || pid == ::getpid()) continue;
    std::ifstream environ("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::stringstream text;
    text << environ.rdbuf();
    if (text.str().find("PARLAVANT_DESKTOP=" + desktop + '\0') == std::string::npos) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    const std::string name = line.substr(open + 1, close - open - 1);
    if (line.substr(close + 2, 1) == "Z" || !name.starts_with("parlavant")) continue;
    found[pid] = name;
  }
  ::closedir(proc);
  return found;
}

std::multiset<std::string> Names(const std::map<pid_t, std::string>& processes) {
  std::multiset<std::string> names;
  for (const auto& [pid, name] : processes) names.insert(name);
  return names;
}

std::string Listed(const std::map<pid_t, std::string>& processes) {
  std::string text;
  for (const auto& [pid, name] : processes) text += std::to_string(pid) + " " + name + "; ";
  return text;
}

// The launcher as the desktop entry starts it, with the user's saved account.
class LaunchTest : public LauncherTest {
 protected:
  void SetUp() override {
    LauncherTest::SetUp();
    ::mkdir((Dir() + "/config").c_str(), 0700);
    ::mkdir((Dir() + "/config/parlavant").c_str(), 0700);
    std::ofstream(Dir() + "/alice.password") << "alice-secret\n";
    ::chmod((Dir() + "/alice.password").c_str(), 0600);
    std::ofstream(Dir() + "/config/parlavant/parlavant-xmpp.ini")
        << "[Account]\nJid=alice@localhost\nServer=" << server.Server()
        << "\nPlain=1\nPasswordFile=" << Dir() << "/alice.password\n";
    ASSERT_TRUE(server.Register("bob", "bob-secret"));
  }
  // The desktop entry's command, its program the one built here.
  std::vector<std::string> EntryCommand() const {
    std::ifstream entry(PARLAVANT_SOURCE_DIR "/data/parlavant.desktop");
    std::vector<std::string> words;
    for (std::string line; std::getline(entry, line);) {
      if (!line.starts_with("Exec=")) continue;
      std::istringstream exec(line.substr(5));
      for (std::string word; exec >> word;) words.push_back(word);
    }
    if (!words.empty()) words[0] = XMPP_PATH;
    return words;
  }
  std::unique_ptr<ChildProcess> Launch(const std::string& name) {
    return std::make_unique<ChildProcess>(EntryCommand(), Dir() + "/" + name + ".out",
                                          Dir() + "/" + name + ".err");
  }
  std::string Desktop() const { return Dir() + "/d"; }

  ScopedVariable desktop_{"PARLAVANT_DESKTOP", Dir() + "/d"};
  ScopedVariable config_{"XDG_CONFIG_HOME", Dir() + "/config"};
  ScopedVariable state_{"XDG_STATE_HOME", Dir() + "/state"};
  ScopedVariable language_{"LANGUAGE", "en"};
  // The launched programs' windows on a display, where a window nobody gave the focus is not
  // the active one (an offscreen window always is).
  testsupport::VirtualDisplay display_{Dir()};
  ScopedVariable platform_{"QT_QPA_PLATFORM", "xcb"};
};

TEST_F(LaunchTest, OneLaunchBringsUpTheChatClientTranslatorAndWindowAndQuitEndsThem) {
  ASSERT_TRUE(display_.Ready());
  ASSERT_EQ(EntryCommand(), (std::vector<std::string>{XMPP_PATH, "--launch"}));
  ASSERT_TRUE(testsupport::WaitUntilNotListening(4357));
  NotificationRecorder recorder(bus.Address());
  auto launcher = Launch("launcher");
  ASSERT_TRUE(PumpUntil(
      [&] {
        return Names(ProcessesOn(Desktop())) ==
               std::multiset<std::string>{"parlavant", "parlavant-trans", "parlavant-xmpp"};
      },
      20000))
      << Listed(ProcessesOn(Desktop())) << testsupport::FileText(Dir() + "/launcher.err");
  ASSERT_TRUE(testsupport::WaitUntilListening(4357, 20000));
  const auto started = ProcessesOn(Desktop());

  // The window is attached: bob's message comes to it, translated, and is told while the
  // window is not the active one.
  testsupport::XmppPeer bob(Dir(), "bob@localhost", "bob-secret", server.Port());
  ASSERT_TRUE(bob.WaitReady());
  ASSERT_TRUE(PumpUntil(
      [&] {
        bob.Send("alice@localhost", "Hola");
        return PumpUntil([&] { return !recorder.Notifications().empty(); }, 2000);
      },
      30000))
      << testsupport::FileText(Dir() + "/launcher.err");
  EXPECT_EQ(recorder.Notifications()[0].summary, "bob@localhost");
  EXPECT_THAT(recorder.Notifications()[0].body.toStdString(), HasSubstr("ello"));

  // A second launch starts nothing and ends.
  auto second = Launch("second");
  EXPECT_EQ(second->Wait(10000), 0);
  QTest::qWait(1500);  // the window asked to come forward has answered by now
  EXPECT_EQ(ProcessesOn(Desktop()), started);

  // Quit (the tray's, and the session's end, take the same way): the window closes as the user
  // closes it, and keeps its settings.
  EXPECT_EQ(launcher->Stop(), 0);
  EXPECT_TRUE(PumpUntil([&] { return ProcessesOn(Desktop()).empty(); }, 10000));
  EXPECT_TRUE(testsupport::WaitUntilNotListening(4357));
  EXPECT_THAT(testsupport::FileText(Dir() + "/config/parlavant/parlavant.ini"),
              HasSubstr("Receive=1"));  // English, from the locale
}

TEST_F(LaunchTest, ATranslatorAlreadyRunningIsUsedAndStays) {
  ASSERT_TRUE(testsupport::WaitUntilNotListening(4357));
  ChildProcess translator({TRANSLATOR_PATH, "--engine", "echo"}, Dir() + "/translator.out",
                          Dir() + "/translator.err");
  ASSERT_TRUE(testsupport::WaitUntilListening(4357, 20000));
  auto launcher = Launch("launcher");
  ASSERT_TRUE(PumpUntil(
      [&] {
        return Names(ProcessesOn(Desktop())) ==
               std::multiset<std::string>{"parlavant", "parlavant-trans", "parlavant-xmpp"};
      },
      20000));
  QTest::qWait(1000);
  EXPECT_EQ(Names(ProcessesOn(Desktop())),
            (std::multiset<std::string>{"parlavant", "parlavant-trans", "parlavant-xmpp"}));
  EXPECT_EQ(launcher->Stop(), 0);
  EXPECT_TRUE(PumpUntil([&] { return ProcessesOn(Desktop()).size() == 1; }, 10000));
  EXPECT_TRUE(translator.Alive());
}

TEST_F(LaunchTest, AnOfficeServiceInTheSettingsIsUsedAndNoTranslatorIsStarted) {
  ASSERT_TRUE(testsupport::WaitUntilNotListening(4357));
  const std::uint16_t port = testsupport::FreeLoopbackPort();
  ChildProcess service({TRANSLATOR_PATH, "--service", "--engine", "echo", "--web-port",
                        std::to_string(port)},
                       Dir() + "/service.out", Dir() + "/service.err");
  ASSERT_TRUE(testsupport::WaitUntilListening(port, 20000));
  std::ofstream(Dir() + "/config/parlavant/parlavant.ini")
      << "[General]\nWebService=127.0.0.1:" << port << "\n";
  NotificationRecorder recorder(bus.Address());
  auto launcher = Launch("launcher");
  ASSERT_TRUE(PumpUntil(
      [&] {
        return Names(ProcessesOn(Desktop())) ==
               std::multiset<std::string>{"parlavant", "parlavant-trans", "parlavant-xmpp"};
      },
      20000))
      << Listed(ProcessesOn(Desktop()));
  testsupport::XmppPeer bob(Dir(), "bob@localhost", "bob-secret", server.Port());
  ASSERT_TRUE(bob.WaitReady());
  ASSERT_TRUE(PumpUntil(
      [&] {
        bob.Send("alice@localhost", "Hola");
        return PumpUntil([&] { return !recorder.Notifications().empty(); }, 2000);
      },
      30000));
  // Translated by the service (its echo engine), with no desktop translator anywhere.
  EXPECT_THAT(recorder.Notifications()[0].body.toStdString(), HasSubstr("[en] Hola"));
  EXPECT_FALSE(testsupport::WaitUntilListening(4357, 100));
  EXPECT_EQ(launcher->Stop(), 0);
  EXPECT_TRUE(service.Alive());
}

// The one of Parlavant's processes on `desktop` with this name (0: none).
pid_t ProcessNamed(const std::string& desktop, const std::string& name) {
  for (const auto& [pid, found] : ProcessesOn(desktop)) {
    if (found == name) return pid;
  }
  return 0;
}

// Whether the process has its SIGTERM handler in place: until then (a slow start) the signal
// kills it, which its launcher takes for a crash.
bool CatchesTerm(pid_t pid) {
  const std::string status = testsupport::FileText("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("SigCgt:\t");
  return at != std::string::npos &&
         (std::stoull(status.substr(at + 8, 16), nullptr, 16) & (1ull << (SIGTERM - 1))) != 0;
}

std::string EnvironmentOf(pid_t pid) {
  return testsupport::FileText("/proc/" + std::to_string(pid) + "/environ");
}

TEST_F(LaunchTest, WhatTheLauncherStartedIsStartedAgainUntilItKeepsDyingAtItsStart) {
  ASSERT_TRUE(display_.Ready());
  ASSERT_TRUE(testsupport::WaitUntilNotListening(4357));
  NotificationRecorder recorder(bus.Address());
  ASSERT_TRUE(recorder.Registered());
  xmpp::ServiceOptions service;
  service.desktopDir = Desktop();
  // Waits from 0.2 s; an end within 2 s of the start is quick.
  xmpp::desktop::Launcher launcher({}, service,
                                   {TRANSLATOR_PATH, PARLAVANT_PATH, std::chrono::milliseconds(200)});
  launcher.Start();
  const auto translator = [&] { return ProcessNamed(Desktop(), "parlavant-trans"); };
  const auto window = [&] { return ProcessNamed(Desktop(), "parlavant"); };
  pid_t last = 0, now = 0;
  const auto next = [&](const std::function<pid_t()>& find) {
    const bool found = PumpUntil(
        [&] {
          now = find();
          return now > 0 && now != last;
        },
        20000);
    last = now;
    return found;
  };
  ASSERT_TRUE(next(window));
  const std::string stateFile = [&] {
    const std::string environment = EnvironmentOf(now);
    const std::size_t at = environment.find("PARLAVANT_TRANSLATOR_STATE=");
    return at == std::string::npos ? std::string()
                                   : std::string(environment.c_str() + at + 27);
  }();
  ASSERT_FALSE(stateFile.empty());

  // Killed three times after it served a while: started again each time.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(next(translator)) << i;
    ASSERT_TRUE(testsupport::WaitUntilListening(4357, 20000));
    EXPECT_EQ(testsupport::FileText(stateFile), "running\n");
    QTest::qWait(2300);
    ::kill(last, SIGKILL);
    ASSERT_TRUE(PumpUntil([&] { return launcher.TranslatorText().contains("starting it again"); },
                          10000));
    if (i == 0) {
      EXPECT_EQ(testsupport::FileText(stateFile), "restarting\n");
    }
  }
  // Dying at its start five times in a row: left stopped, and said.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(next(translator)) << i;
    ::kill(last, SIGKILL);
  }
  ASSERT_TRUE(PumpUntil([&] { return launcher.TranslatorText().contains("stopped, after"); },
                        20000));
  EXPECT_EQ(testsupport::FileText(stateFile), "stopped\n");
  ASSERT_TRUE(PumpUntil([&] { return !recorder.Notifications().empty(); }, 10000));
  EXPECT_EQ(recorder.Notifications().back().summary, "The translator keeps stopping");
  QTest::qWait(1500);
  EXPECT_EQ(translator(), 0);
  // The user asks for it again.
  launcher.StartTranslatorAgain();
  ASSERT_TRUE(next(translator));
  ASSERT_TRUE(testsupport::WaitUntilListening(4357, 20000));
  EXPECT_EQ(launcher.TranslatorText(), "Translator: running");

  // The window: started again after a crash, and not after the user closed it.
  last = window();
  ::kill(last, SIGSEGV);
  ASSERT_TRUE(next(window));
  ASSERT_TRUE(PumpUntil([&] { return CatchesTerm(last); }, 20000));
  ::kill(last, SIGTERM);
  ASSERT_TRUE(PumpUntil([&] { return window() == 0; }, 10000));
  QTest::qWait(1500);
  EXPECT_EQ(window(), 0);
  launcher.Quit();
  EXPECT_TRUE(PumpUntil([&] { return ProcessesOn(Desktop()).empty(); }, 10000));
}

TEST_F(LaunchTest, AMessageWhileNoWindowIsAttachedIsNotifiedCountedAndShownWhenAskedFor) {
  ASSERT_TRUE(display_.Ready());
  NotificationRecorder recorder(bus.Address());
  ASSERT_TRUE(recorder.Registered());
  xmpp::ServiceOptions service;
  service.desktopDir = Desktop();
  xmpp::desktop::Launcher launcher({}, service, {TRANSLATOR_PATH, PARLAVANT_PATH});
  launcher.Start();
  const auto window = [&] { return ProcessNamed(Desktop(), "parlavant"); };
  ASSERT_TRUE(PumpUntil([&] { return window() > 0; }, 20000));
  ASSERT_TRUE(testsupport::WaitUntilListening(4357, 20000));
  testsupport::XmppPeer bob(Dir(), "bob@localhost", "bob-secret", server.Port());
  ASSERT_TRUE(bob.WaitReady());
  ASSERT_TRUE(PumpUntil([&] { return launcher.StateText() == "Signed in as alice@localhost"; },
                        20000));
  // The user closes the window; messages come meanwhile.
  ASSERT_TRUE(PumpUntil([&] { return CatchesTerm(window()); }, 20000));
  ::kill(window(), SIGTERM);
  ASSERT_TRUE(PumpUntil([&] { return window() == 0; }, 10000));
  QTest::qWait(1500);  // the chat API has seen it go, and the launcher left it closed
  ASSERT_EQ(window(), 0);
  bob.Send("alice@localhost", "Hola");
  bob.Send("alice@localhost", "¿Estás?");
  ASSERT_TRUE(PumpUntil([&] { return recorder.Notifications().size() == 2; }, 20000));
  EXPECT_EQ(recorder.Notifications()[0].summary, "bob@localhost");
  EXPECT_EQ(recorder.Notifications()[0].body, "Hola");
  EXPECT_EQ(recorder.Notifications()[1].body, QString::fromUtf8("¿Estás?"));
  EXPECT_THAT(recorder.Notifications()[0].actions.join(',').toStdString(), HasSubstr("default"));
  ASSERT_TRUE(PumpUntil(
      [&] { return launcher.WaitingText() == "2 messages wait for Parlavant's window"; }, 10000));
  EXPECT_EQ(window(), 0);

  // A click on the notification opens the window, which takes both into bob's page.
  recorder.Click(0);
  ASSERT_TRUE(PumpUntil([&] { return window() > 0; }, 20000));
  ASSERT_TRUE(PumpUntil([&] { return launcher.WaitingText().isEmpty(); }, 20000))
      << launcher.WaitingText().toStdString();
  app::SqliteHistory history(Dir() + "/data/parlavant/history.sqlite3");
  std::vector<app::KeptLine> lines;
  ASSERT_TRUE(PumpUntil(
      [&] {
        history.Open("alice@localhost");
        lines = history.Lines("bob@localhost", 0, 10);
        return lines.size() == 2;
      },
      20000));
  EXPECT_TRUE(lines[0].line.text.starts_with(u"bob@localhost: ")) << lines[0].line.text.size();
  EXPECT_TRUE(lines[0].line.text.ends_with(u"(Hola)"));
  launcher.Quit();
  EXPECT_TRUE(PumpUntil([&] { return ProcessesOn(Desktop()).empty(); }, 10000));
}

}  // namespace
