// parlavant-xmpp.exe under Wine against a real Prosody that requires TLS, with certificates of an
// authority of the test's own: the Windows build's libstrophe, with the project's patches, signs
// in, and refuses what the Linux build refuses, in the same words. Run by scripts/test-windows.sh
// (in its network namespace, with Wine's server up), which names the program in
// PARLAVANT_XMPP_EXE.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "tests/xmpp_support.h"
#include "testsupport/child_process.h"
#include "testsupport/run_program.h"
#include "testsupport/temp_dir.h"

namespace {

using testsupport::ChildProcess;
using testsupport::ProsodyServer;

class XmppWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = std::getenv("PARLAVANT_XMPP_EXE") != nullptr ? std::getenv("PARLAVANT_XMPP_EXE") : "";
    ASSERT_FALSE(exe_.empty()) << "run by scripts/test-windows.sh, which names the program";
    bool ok = false;
    testsupport::RunProgram({CERTS_SCRIPT, Dir()}, "", ok);
    ASSERT_TRUE(ok) << "the certificates could not be made";
  }
  std::string Dir() const { return temp_.Path(); }
  // Wine shows the Unix file system as drive Z:.
  std::string WindowsPath(std::string path) const {
    for (char& c : path) c = c == '/' ? '\\' : c;
    return "Z:" + path;
  }
  // Prosody with this certificate, and alice on it.
  void Serve(const std::string& certificate) {
    server_.reset();
    server_ = std::make_unique<ProsodyServer>(
        Dir() + "/" + certificate,
        ProsodyServer::Tls{Dir() + "/" + certificate + ".crt", Dir() + "/" + certificate + ".key"});
    ::mkdir((Dir() + "/" + certificate).c_str(), 0700);
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(server_->Register("alice", "alice-secret"));
  }
  // The client's standard error once it has ended by itself, or after `ms` (it is stopped then).
  std::string Run(const std::string& password, bool trustTestAuthority, int ms) {
    ::setenv("PARLAVANT_TEST_PASSWORD", password.c_str(), 1);
    std::vector<std::string> argv = {"wine",           exe_,
                                     "--jid",          "alice@localhost",
                                     "--server",       server_->Server(),
                                     "--password-env", "PARLAVANT_TEST_PASSWORD",
                                     "--settings",     WindowsPath(Dir() + "/none.ini"),
                                     "--connect-timeout", "20"};
    if (trustTestAuthority) {
      argv.insert(argv.end(), {"--ca-file", WindowsPath(Dir() + "/ca.pem")});
    }
    const std::string err = Dir() + "/xmpp.err";
    ChildProcess xmpp(argv, Dir() + "/xmpp.out", err);
    for (int waited = 0; waited < ms && xmpp.Alive(); waited += 50) {
      if (testsupport::FileText(err).find("signed in as") != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    xmpp.Stop();
    return testsupport::FileText(err);
  }

  testsupport::TempDir temp_{"pxmpp-win"};
  std::string exe_;
  std::unique_ptr<ProsodyServer> server_;
};

TEST_F(XmppWindowsTest, SignsInOverTlsAndRefusesWhatLinuxRefusesInTheSameWords) {
  Serve("good");
  EXPECT_THAT(Run("alice-secret", true, 60000), ::testing::HasSubstr("signed in as alice@localhost"))
      << testsupport::FileText(Dir() + "/good/prosody.log");
  const std::string refused = "the server's certificate was not accepted: ";
  EXPECT_THAT(Run("alice-secret", false, 60000),
              ::testing::HasSubstr(refused + "unable to get local issuer certificate"));
  EXPECT_THAT(Run("wrong", true, 60000), ::testing::HasSubstr("the server refused the login"));
  Serve("wrongname");
  EXPECT_THAT(Run("alice-secret", true, 60000), ::testing::HasSubstr(refused + "hostname mismatch"));
  Serve("expired");
  EXPECT_THAT(Run("alice-secret", true, 60000),
              ::testing::HasSubstr(refused + "certificate has expired"));
  Serve("unknown");
  EXPECT_THAT(Run("alice-secret", true, 60000),
              ::testing::HasSubstr(refused + "unable to get local issuer certificate"));
}

}  // namespace
