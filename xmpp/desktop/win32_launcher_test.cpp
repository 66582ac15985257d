// The Windows launcher's account dialog, in this process, against the Prosody the Linux side
// started for it (tests/xmpp_windows_test.cpp runs this under Wine): PARLAVANT_TEST_SERVER is its
// address, PARLAVANT_TEST_CA the authority that signed its certificate, PARLAVANT_TEST_DIR a
// directory of the test's own, and PARLAVANT_TEST_REFUSAL what the right password is refused
// with there (empty: a server with a good certificate).
#include "xmpp/desktop/win32_launcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/keyring.h"
#include "platform/profile.h"
#include "xmpp/desktop/account_form.h"

// clang-format off
#include <windows.h>
#undef OpenDesktop
// clang-format on

namespace xmpp::desktop {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::optional<std::string> Kept(const std::string& account) {
  platform::KeyringAnswer answer;
  return platform::KeyringLookup(account, answer);
}

std::string TextOf(HWND control) {
  char text[4096] = {};
  SendMessageA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

class Win32LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(server_.empty()) << "run by tests/xmpp_windows_test.cpp, which starts a server";
    settingsExisted_ = std::filesystem::exists(platform::ProfilePath("parlavant.ini"));
    ServiceOptions options;
    options.stateFile = dir_ + "\\xmpp.state";
    options.client.connectTimeoutMs = 20000;
    AccountSettings account;
    account.settingsFile = dir_ + "\\parlavant-xmpp.ini";
    launcher_ = std::make_unique<Win32Launcher>(account, options, LauncherCore::Programs{});
  }
  void TearDown() override {
    launcher_.reset();
    platform::KeyringForget("alice@localhost");
    if (!settingsExisted_) std::filesystem::remove(platform::ProfilePath("parlavant.ini"));
    ForgetHistory();
  }
  // The window's history in this prefix, which is the tests': each conversation starts anew.
  static void ForgetHistory() {
    std::error_code ignored;  // none is as good
    for (const char* name : {"history.sqlite3", "history.sqlite3-wal", "history.sqlite3-shm"})
      std::filesystem::remove(platform::DataPath(name), ignored);
  }
  HWND Dialog() const { return static_cast<HWND>(launcher_->DialogWindow()); }
  HWND Item(int id) const { return GetDlgItem(Dialog(), id); }
  // Fills the dialog as a person would, presses "Sign in", and waits for the outcome.
  bool SignIn(const std::string& password, bool trustTestAuthority, int portGiven = 0) {
    std::string host;
    int port = 0;
    SplitServer(server_, host, port);
    if (portGiven != 0) port = portGiven;
    SetWindowTextA(Item(kJidField), "alice@localhost");
    SetWindowTextA(Item(kPasswordField), password.c_str());
    SetWindowTextA(Item(kServerField), host.c_str());
    SetWindowTextA(Item(kPortField), std::to_string(port).c_str());
    SetWindowTextA(Item(kCaFileField), trustTestAuthority ? ca_.c_str() : "");
    SendMessageA(Item(kSignInButton), BM_CLICK, 0, 0);
    return launcher_->RunUntil(
        [&] { return Dialog() == nullptr || IsWindowEnabled(Item(kSignInButton)); }, 90000);
  }
  std::string Problem() const { return TextOf(Item(kProblemText)); }

  const std::string server_ = Variable("PARLAVANT_TEST_SERVER");
  const std::string ca_ = Variable("PARLAVANT_TEST_CA");
  const std::string dir_ = Variable("PARLAVANT_TEST_DIR");
  const std::string refusal_ = Variable("PARLAVANT_TEST_REFUSAL");
  bool settingsExisted_ = false;
  std::unique_ptr<Win32Launcher> launcher_;
};

TEST_F(Win32LauncherTest, TheDialogSaysWhyNotOrSignsInAndKeepsThePassword) {
  launcher_->Core().Start();
  ASSERT_NE(Dialog(), nullptr);
  // No translator comes with the program here: the dialog asks for the service too.
  ASSERT_NE(Item(kServiceField), nullptr);
  EXPECT_EQ(launcher_->MenuItems().front(), "Not signed in");

  if (!refusal_.empty()) {
    ASSERT_TRUE(SignIn("alice-secret", true));
    ASSERT_NE(Dialog(), nullptr);
    EXPECT_THAT(Problem(), StartsWith("Certificate not trusted: "));
    EXPECT_THAT(Problem(), HasSubstr(refusal_));
    EXPECT_EQ(GetFocus(), Item(kCaFileField));
    return;
  }
  // Nothing listens on port 1 here: refused, in the words Linux uses.
  ASSERT_TRUE(SignIn("alice-secret", true, 1));
  EXPECT_THAT(Problem(), StartsWith("Server unreachable: "));
  EXPECT_THAT(Problem(), HasSubstr("the server cannot be reached (connection refused)"));
  EXPECT_EQ(GetFocus(), Item(kServerField));

  ASSERT_TRUE(SignIn("wrong", true));
  EXPECT_THAT(Problem(), StartsWith("Wrong password: the server refused the login for alice@"));
  EXPECT_EQ(GetFocus(), Item(kPasswordField));
  EXPECT_EQ(Kept("alice@localhost"), std::nullopt);

  // An authority the system does not know.
  ASSERT_TRUE(SignIn("alice-secret", false));
  EXPECT_THAT(Problem(), StartsWith("Certificate not trusted: "));
  EXPECT_THAT(Problem(), HasSubstr("unable to get local issuer certificate"));

  SetWindowTextA(Item(kServiceField), "https://translate.example.org");
  SetWindowTextA(Item(kApiKeyField), "office-key");
  ASSERT_TRUE(SignIn("alice-secret", true));
  EXPECT_EQ(Dialog(), nullptr);
  ASSERT_TRUE(launcher_->RunUntil(
      [&] { return launcher_->Core().Status().state == "Signed in as alice@localhost"; }, 60000))
      << launcher_->Core().Status().state;
  EXPECT_EQ(launcher_->MenuItems().front(), "Signed in as alice@localhost");
  EXPECT_EQ(Kept("alice@localhost"), "alice-secret");
  std::stringstream settings;
  settings << std::ifstream(dir_ + "\\parlavant-xmpp.ini").rdbuf();
  EXPECT_THAT(settings.str(), HasSubstr("Jid=alice@localhost"));
  EXPECT_THAT(settings.str(), ::testing::Not(HasSubstr("alice-secret")));
  const platform::ProfileFile window(platform::ProfilePath("parlavant.ini"));
  EXPECT_EQ(window.ReadString("General", "WebService", ""), "https://translate.example.org");
  EXPECT_EQ(window.ReadString("General", "WebApiKey", ""), "office-key");

  // Quit ends the loop.
  launcher_->Core().Quit();
  EXPECT_EQ(launcher_->Run(), 0);
}


// A person's message, waiting on the server, comes to Parlavant's Win32 window (started by the
// launcher) translated by the web service; the user answers in the window, and quits. The Linux
// side (tests/xmpp_windows_test.cpp) is the person: it wrote before and reads the answer after.
// PARLAVANT_TEST_WINDOW names parlavant.exe, PARLAVANT_WEB_TRANSLATOR the service.
TEST_F(Win32LauncherTest, APersonsMessageIsTranslatedInTheWindowAndTheAnswerGoesOut) {
  const std::string window = Variable("PARLAVANT_TEST_WINDOW");
  const std::string web = Variable("PARLAVANT_WEB_TRANSLATOR");
  if (window.empty()) GTEST_SKIP() << "the conversation is run with parlavant.exe named";
  ASSERT_FALSE(web.empty());
  ForgetHistory();
  std::ofstream(dir_ + "\\parlavant-xmpp.ini", std::ios::binary)
      << "[Account]\r\nJid=alice@localhost\r\nServer=" << server_ << "\r\nCaFile=" << ca_
      << "\r\nPasswordEnv=PARLAVANT_TEST_PASSWORD\r\n";
  platform::ProfileFile settings(platform::ProfilePath("parlavant.ini"));
  ASSERT_TRUE(settings.WriteString("General", "WebService", web));
  ASSERT_TRUE(settings.WriteString("General", "Receive", "1"));
  ASSERT_TRUE(settings.WriteString("General", "Send", "2"));
  launcher_.reset();
  ServiceOptions options;
  options.stateFile = dir_ + "\\xmpp.state";
  AccountSettings account;
  account.settingsFile = dir_ + "\\parlavant-xmpp.ini";
  launcher_ = std::make_unique<Win32Launcher>(account, options,
                                              LauncherCore::Programs{"", window});
  launcher_->Core().Start();
  EXPECT_EQ(Dialog(), nullptr);  // the saved account
  HWND form = nullptr, memo = nullptr;
  ASSERT_TRUE(launcher_->RunUntil(
      [&] {
        form = FindWindowA("ParlavantMainForm", nullptr);
        for (HWND c = form != nullptr ? GetWindow(form, GW_CHILD) : nullptr; c != nullptr;
             c = GetWindow(c, GW_HWNDNEXT)) {
          if (ClassOf(c) == "Edit" && TextOf(c).find("bob@localhost: ") == 0) memo = c;
        }
        return memo != nullptr;
      },
      90000))
      << launcher_->Core().Status().state;
  EXPECT_EQ(TextOf(memo), "bob@localhost: [en] Hola(Hola)");
  EXPECT_EQ(launcher_->Core().Status().state, "Signed in as alice@localhost");

  HWND typing = nullptr, send = nullptr;
  for (HWND c = GetWindow(form, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    if (ClassOf(c) == "Edit" && c != memo) typing = c;
    if (ClassOf(c) == "Button" && TextOf(c) == "Send") send = c;
  }
  ASSERT_NE(send, nullptr);
  SendMessageA(typing, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>("See you"));
  ASSERT_TRUE(launcher_->RunUntil([&] { return IsWindowEnabled(send) != FALSE; }, 30000));
  PostMessageA(send, BM_CLICK, 0, 0);
  ASSERT_TRUE(launcher_->RunUntil(
      [&] { return TextOf(memo).find("alice@localhost: See you") != std::string::npos; }, 60000))
      << TextOf(memo);

  // Quit ends the window it started, as a user closes it.
  launcher_->Core().Quit();
  EXPECT_EQ(FindWindowA("ParlavantMainForm", nullptr), nullptr);
}

}  // namespace
}  // namespace xmpp::desktop
