// A working day through the real programs, as a person lives it: Parlavant started from the
// desktop entry's command on a display of the test's own, signed in from the keyring to a Prosody
// that requires TLS, with a notification server on a private bus; three people write in three
// languages, and the user answers through the window with the keyboard and the mouse (xdotool).
// The day brings a closed window, a server that crashes and a translator that dies. At the end
// every message is counted: each shown once, each reply with the person whose page was on show,
// each failure told.
#include <QTest>

#include <signal.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/history_store.h"
#include "platform/codepage.h"
#include "platform/keyring.h"
#include "tests/xmpp_support.h"
#include "testsupport/desktop_bus.h"
#include "testsupport/net_util.h"
#include "testsupport/qt_support.h"
#include "testsupport/run_program.h"
#include "testsupport/temp_dir.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testsupport::ChildProcess;
using testsupport::PumpUntil;
using testsupport::ScopedVariable;

const std::string kAlice = "alice@localhost";
const std::string kSignature = " - Translated with Parlavant";

class DayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(display_.Ready());
    ASSERT_TRUE(testsupport::WaitUntilNotListening(4357));
    ChildProcess openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                          "-keyout", Dir() + "/key.pem", "-out", Dir() + "/cert.pem", "-days", "2",
                          "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost"},
                         Dir() + "/openssl.out", Dir() + "/openssl.err");
    ASSERT_EQ(openssl.Wait(60000), 0);
    server_ = std::make_unique<testsupport::ProsodyServer>(
        Dir(), testsupport::ProsodyServer::Tls{Dir() + "/cert.pem", Dir() + "/key.pem"});
    server_->streamManagement = true;
    server_->archive = true;
    ASSERT_TRUE(server_->Start());
    for (const char* user : {"alice", "bob", "carol", "dave"}) {
      ASSERT_TRUE(server_->Register(user, std::string(user) + "-secret"));
    }
    // The account as the dialog keeps it, its password in the keyring.
    ::mkdir((Dir() + "/config").c_str(), 0700);
    ::mkdir((Dir() + "/config/parlavant").c_str(), 0700);
    std::ofstream(Dir() + "/config/parlavant/parlavant-xmpp.ini")
        << "[Account]\nJid=" << kAlice << "\nServer=" << server_->Server()
        << "\nCaFile=" << Dir() << "/cert.pem\n";
    std::ofstream(Dir() + "/config/parlavant/parlavant.ini")
        << "[General]\r\nReceive=1\r\nLeft=0\r\nTop=0\r\n";
    ASSERT_TRUE(PumpUntil(
        [] {
          platform::KeyringAnswer answer;
          platform::KeyringLookup("nobody@localhost", answer);
          return answer.ok;
        },
        15000));
    ASSERT_TRUE(platform::KeyringStore(kAlice, "Parlavant: " + kAlice, "alice-secret").ok);
    ASSERT_TRUE(recorder_.Registered());
  }

  std::string Dir() const { return temp_.Path(); }
  std::string Desktop() const { return Dir() + "/d"; }

  // The desktop entry's command, its program the one built here.
  static std::vector<std::string> EntryCommand() {
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

  // The one of the launched programs with this name, by what its environment says (0: none).
  pid_t Process(const std::string& name) const {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const pid_t pid = std::atoi(entry.path().filename().c_str());
      if (pid <= 0 || pid == ::getpid()) continue;
      const std::string environment = testsupport::FileText(entry.path() / "environ");
      if (environment.find("PARLAVANT_DESKTOP=" + Desktop() + '\0') == std::string::npos) {
        continue;
      }
      const std::string stat = testsupport::FileText(entry.path() / "stat");
      const std::size_t open = stat.find('('), close = stat.rfind(')');
      if (open == std::string::npos || close == std::string::npos) continue;
      if (stat.substr(open + 1, close - open - 1) == name && stat.substr(close + 2, 1) != "Z") {
        return pid;
      }
    }
    return 0;
  }

  static std::string Xdo(const std::vector<std::string>& words) {
    std::vector<std::string> argv{"/usr/bin/xdotool"};
    argv.insert(argv.end(), words.begin(), words.end());
    bool ok = false;
    std::string out = testsupport::RunProgram(argv, "", ok);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return ok ? out : std::string();
  }
  std::string Window() {
    std::string id;
    PumpUntil(
        [&] {
          id = Xdo({"search", "--onlyvisible", "--name", "Parlavant 1.0:04 - " + kAlice});
          return !id.empty();
        },
        30000);
    return id.substr(0, id.find('\n'));
  }
  // The window's client height, for the places of the text box and the Send button (anchored
  // to the bottom left).
  int Height(const std::string& window) {
    const std::string shell = Xdo({"getwindowgeometry", "--shell", window});
    const std::size_t at = shell.find("HEIGHT=");
    return at == std::string::npos ? 0 : std::atoi(shell.c_str() + at + 7);
  }

  // The user: brings the window forward, turns pages (Ctrl+Tab) until `contact`'s is on show,
  // types `text` into the box and clicks Send.
  bool Answer(const std::string& contact, const std::string& text) {
    const std::string window = Window();
    if (window.empty()) return false;
    Xdo({"windowfocus", "--sync", window});
    for (int turns = 0; turns < 8 && Shown() != contact; ++turns) {
      Xdo({"key", "ctrl+Tab"});
      PumpUntil([&] { return Shown() == contact; }, 1000);
    }
    if (Shown() != contact) return false;
    const int h = Height(window);
    Xdo({"mousemove", "--window", window, "60", std::to_string(h - 45), "click", "1"});
    Xdo({"type", "--delay", "10", text});
    Xdo({"mousemove", "--window", window, "30", std::to_string(h - 12), "click", "1"});
    return true;
  }

  app::SqliteHistory& History() {
    if (!history_) {
      history_ = std::make_unique<app::SqliteHistory>(Dir() + "/data/parlavant/history.sqlite3");
    }
    history_->Open(kAlice);
    return *history_;
  }
  std::string Shown() { return History().Shown(); }
  // The lines of a contact's page as kept, in UTF-8.
  std::vector<std::string> Page(const std::string& contact) {
    std::vector<std::string> lines;
    for (const app::KeptLine& kept : History().Lines(contact, 0, 1000)) {
      lines.push_back(platform::Utf8Encode(kept.line.text));
    }
    return lines;
  }
  // How many lines of the contact's page hold `text`.
  int Count(const std::string& contact, const std::string& text) {
    int n = 0;
    for (const std::string& line : Page(contact)) n += line.find(text) != std::string::npos;
    return n;
  }
  bool Shows(const std::string& contact, const std::string& text) {
    return PumpUntil([&] { return Count(contact, text) > 0; }, 30000);
  }
  int Notified(const QString& summary) const {
    int n = 0;
    for (const auto& shown : recorder_.Notifications()) n += shown.summary == summary;
    return n;
  }

  testsupport::TempDir temp_{"pday"};
  testsupport::PrivateSessionBus bus_{Dir()};
  testsupport::KeyringDaemon keyring_{Dir()};
  testsupport::NotificationRecorder recorder_{bus_.Address()};
  testsupport::VirtualDisplay display_{Dir()};
  ScopedVariable desktop_{"PARLAVANT_DESKTOP", Dir() + "/d"};
  ScopedVariable config_{"XDG_CONFIG_HOME", Dir() + "/config"};
  ScopedVariable state_{"XDG_STATE_HOME", Dir() + "/state"};
  ScopedVariable language_{"LANGUAGE", "en"};
  ScopedVariable platform_{"QT_QPA_PLATFORM", "xcb"};
  std::unique_ptr<testsupport::ProsodyServer> server_;
  std::unique_ptr<app::SqliteHistory> history_;
};

TEST_F(DayTest, ADayOfConversationsThroughTheRealPrograms) {
  auto launcher = std::make_unique<ChildProcess>(EntryCommand(), Dir() + "/launcher.out",
                                                 Dir() + "/launcher.err");
  const std::string ca = Dir() + "/cert.pem";
  testsupport::XmppPeer bob(Dir(), "bob@localhost", "bob-secret", server_->Port(), ca);
  testsupport::XmppPeer carol(Dir(), "carol@localhost", "carol-secret", server_->Port(), ca);
  testsupport::XmppPeer dave(Dir(), "dave@localhost", "dave-secret", server_->Port(), ca);
  for (auto* peer : {&bob, &carol, &dave}) ASSERT_TRUE(peer->WaitReady());
  ASSERT_FALSE(Window().empty()) << testsupport::FileText(Dir() + "/launcher.err");
  ASSERT_TRUE(testsupport::WaitUntilListening(4357, 30000));

  // Morning: three people write while the window stands unnoticed; a thumbs-up too.
  bob.Send(kAlice, "Hola Alice, ¿vienes mañana a la estación?");
  ASSERT_TRUE(Shows("bob@localhost", "(Hola Alice"));
  carol.Send(kAlice, "Bonjour Alice, tu es libre ce soir ?");
  dave.Send(kAlice, "Hi Alice, lunch at noon?");
  ASSERT_TRUE(Shows("carol@localhost", "(Bonjour Alice"));
  ASSERT_TRUE(Shows("dave@localhost", "(Hi Alice, lunch at noon?)"));
  bob.Send(kAlice, "👍");
  ASSERT_TRUE(Shows("bob@localhost", "👍(👍)"));
  EXPECT_TRUE(PumpUntil([&] { return Notified("bob@localhost") == 2; }, 10000));
  EXPECT_EQ(Notified("carol@localhost"), 1);
  EXPECT_EQ(Notified("dave@localhost"), 1);

  // The user answers dave in his language (no signature: nothing was translated), then bob.
  ASSERT_TRUE(Answer("dave@localhost", "Sure, see you at noon."));
  ASSERT_TRUE(dave.WaitFor([](const std::string& line) { return line.starts_with("recv "); }));
  ASSERT_TRUE(Answer("bob@localhost", "Yes, I am coming tomorrow."));
  ASSERT_TRUE(bob.WaitFor([](const std::string& line) { return line.starts_with("recv "); }));

  // Lunch: the window closed. carol's message is told by the chat client and counted; a click on
  // the notification brings the window back with it.
  const pid_t window = Process("parlavant");
  ASSERT_GT(window, 0);
  ::kill(window, SIGTERM);
  ASSERT_TRUE(PumpUntil([&] { return Process("parlavant") == 0; }, 10000));
  QTest::qWait(1500);
  const std::size_t before = recorder_.Notifications().size();
  carol.Send(kAlice, "Tu m'entends ?");
  ASSERT_TRUE(PumpUntil([&] { return recorder_.Notifications().size() > before; }, 20000));
  const auto told = recorder_.Notifications().back();
  EXPECT_EQ(told.summary, "carol@localhost");
  EXPECT_EQ(told.body, QString::fromUtf8("Tu m'entends ?"));
  recorder_.Click(recorder_.Notifications().size() - 1);
  ASSERT_TRUE(Shows("carol@localhost", "(Tu m'entends ?)"));

  // Afternoon: the server crashes and comes back; told in words, and nothing is lost.
  server_->Crash();
  ASSERT_TRUE(PumpUntil([&] { return Notified("Connection lost") == 1; }, 30000));
  QString lost;
  for (const auto& shown : recorder_.Notifications()) {
    if (shown.summary == "Connection lost") lost = shown.body;
  }
  EXPECT_THAT(lost.toStdString(), HasSubstr("the server closed the connection"));
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(PumpUntil([&] { return Notified("Connection restored") == 1; }, 60000));
  for (auto* peer : {&bob, &carol, &dave}) {
    ASSERT_TRUE(peer->WaitFor([&](const std::string&) { return peer->ReadyCount() >= 2; }, 30000));
  }
  bob.Send(kAlice, "¿Sigues ahí?");
  ASSERT_TRUE(Shows("bob@localhost", "(¿Sigues ahí?)"));

  // The translator dies: the message comes untranslated with the reason in words, the box says
  // the service's own words once, and the translator is back by itself.
  const pid_t translator = Process("parlavant-trans");
  ASSERT_GT(translator, 0);
  const std::string environment = testsupport::FileText(
      "/proc/" + std::to_string(Process("parlavant")) + "/environ");
  const std::size_t at = environment.find("PARLAVANT_TRANSLATOR_STATE=");
  ASSERT_NE(at, std::string::npos);
  const std::string stateFile(environment.c_str() + at + 27);
  ::kill(translator, SIGKILL);
  // Once the launcher has seen it go (a message in the very moment of the death is told in the
  // service's words only).
  ASSERT_TRUE(PumpUntil(
      [&] { return testsupport::FileText(stateFile) == "restarting\n"; }, 10000));
  bob.Send(kAlice, "Una pregunta más");
  ASSERT_TRUE(Shows("bob@localhost", "Una pregunta más (untranslated: "));
  EXPECT_EQ(Count("bob@localhost", "the translator stopped and is being started again"), 1);
  std::string box;
  ASSERT_TRUE(PumpUntil(
      [&] { return !(box = Xdo({"search", "--onlyvisible", "--name", "^parlavant$"})).empty(); },
      20000));
  box = box.substr(0, box.find('\n'));
  EXPECT_THAT(Xdo({"getwindowname", box}), HasSubstr("parlavant"));
  Xdo({"windowfocus", "--sync", box});
  Xdo({"key", "Return"});
  ASSERT_TRUE(PumpUntil([&] { return Process("parlavant-trans") > 0; }, 30000));
  ASSERT_TRUE(testsupport::WaitUntilListening(4357, 30000));
  QTest::qWait(500);
  bob.Send(kAlice, "Hasta mañana");
  ASSERT_TRUE(Shows("bob@localhost", "(Hasta mañana)"));

  // Evening: Quit. Every program ends; every message was shown once, every reply reached the
  // one it was written to, with the signature only where something was translated.
  EXPECT_EQ(launcher->Stop(), 0);
  EXPECT_TRUE(PumpUntil([&] { return Process("parlavant") == 0 && Process("parlavant-trans") == 0; },
                        10000));
  for (const char* text : {"(Hola Alice", "👍(👍)", "(¿Sigues ahí?)", "Una pregunta más (",
                           "(Hasta mañana)"}) {
    EXPECT_EQ(Count("bob@localhost", text), 1) << text;
  }
  for (const char* text : {"(Bonjour Alice", "(Tu m'entends ?)"}) {
    EXPECT_EQ(Count("carol@localhost", text), 1) << text;
  }
  EXPECT_EQ(Count("dave@localhost", "(Hi Alice, lunch at noon?)"), 1);
  EXPECT_THAT(dave.Received(kAlice), ElementsAre("Sure, see you at noon."));
  const std::vector<std::string> toBob = bob.Received(kAlice);
  ASSERT_EQ(toBob.size(), 1u);
  EXPECT_TRUE(toBob[0].ends_with(kSignature)) << toBob[0];
  EXPECT_TRUE(carol.Received(kAlice).empty());
  EXPECT_EQ(Count("dave@localhost", "alice@localhost: Sure, see you at noon."), 1);
  EXPECT_EQ(Count("bob@localhost", "alice@localhost: Yes, I am coming tomorrow."), 1);
}

}  // namespace
