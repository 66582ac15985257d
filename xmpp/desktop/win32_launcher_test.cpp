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
  char text[1024] = {};
  GetWindowTextA(control, text, sizeof text);
  return text;
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
  }
  HWND Dialog() const { return static_cast<HWND>(launcher_->DialogWindow()); }
  HWND Item(int id) const { return GetDlgItem(Dialog(), id); }
  // Fills the dialog as a person would, presses "Sign in", and waits for the outcome.
  bool SignIn(const std::string& password, bool trustTestAuthority) {
    std::string host;
    int port = 0;
    SplitServer(server_, host, port);
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

}  // namespace
}  // namespace xmpp::desktop
