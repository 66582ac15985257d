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
  // The client, started.
  std::unique_ptr<ChildProcess> Start(const std::string& password, bool trustTestAuthority) {
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
    return std::make_unique<ChildProcess>(argv, Dir() + "/xmpp.out", Dir() + "/xmpp.err");
  }
  // Until `file` holds `text`, the process ends, or `ms` pass.
  static bool Says(const std::string& file, const std::string& text, ChildProcess& process,
                   int ms) {
    for (int waited = 0; waited < ms; waited += 50) {
      if (testsupport::FileText(file).find(text) != std::string::npos) return true;
      if (!process.Alive()) return testsupport::FileText(file).find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // The client's standard error once it has ended by itself, or after `ms` (it is stopped then).
  std::string Run(const std::string& password, bool trustTestAuthority, int ms) {
    auto xmpp = Start(password, trustTestAuthority);
    Says(Dir() + "/xmpp.err", "signed in as", *xmpp, ms);
    xmpp->Stop();
    return testsupport::FileText(Dir() + "/xmpp.err");
  }

  // alice signed in through the client, the link demo (Parlavant's side of the desktop API, a
  // Windows program on the same desktop) attached to it, and bob on the server.
  void Converse() {
    const char* demo = std::getenv("PARLAVANT_LINKDEMO_EXE");
    ASSERT_NE(demo, nullptr) << "run by scripts/test-windows.sh, which names the link demo";
    Serve("good");
    ASSERT_TRUE(server_->Register("bob", "bob-secret"));
    xmpp_ = Start("alice-secret", true);
    ASSERT_TRUE(Says(Dir() + "/xmpp.err", "signed in as alice@localhost", *xmpp_, 60000))
        << testsupport::FileText(Dir() + "/xmpp.err");
    link_ = std::make_unique<ChildProcess>(std::vector<std::string>{"wine", demo}, Said(),
                                           Dir() + "/demo.err");
    ASSERT_TRUE(Says(Said(), "attached", *link_, 60000)) << testsupport::FileText(Said());
    bob_ = std::make_unique<testsupport::XmppPeer>(Dir(), "bob@localhost", "bob-secret",
                                                   server_->Port(), Dir() + "/ca.pem");
    ASSERT_TRUE(bob_->WaitReady());
  }
  std::string Said() const { return Dir() + "/demo.out"; }

  testsupport::TempDir temp_{"pxmpp-win"};
  std::string exe_;
  std::unique_ptr<ProsodyServer> server_;
  std::unique_ptr<ChildProcess> xmpp_, link_;
  std::unique_ptr<testsupport::XmppPeer> bob_;
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

// Parlavant's side of the link is the console demo, a Windows program on the same desktop.
TEST_F(XmppWindowsTest, APersonsMessageReachesTheLinkAndTheAnswerReachesThePerson) {
  Converse();
  if (HasFatalFailure()) return;
  ChildProcess& link = *link_;
  testsupport::XmppPeer& bob = *bob_;
  const std::string said = Said();
  ASSERT_TRUE(bob.Send("alice@localhost", "Hola desde Linux \u00bfqu\u00e9 tal?"));
  EXPECT_TRUE(Says(said, "bob@localhost: Hola desde Linux \u00bfqu\u00e9 tal?", link, 60000))
      << testsupport::FileText(said);
  ASSERT_TRUE(link.Write("to bob@localhost Hello from Windows\n"));
  EXPECT_TRUE(bob.WaitFor([](const std::string& line) {
    return line.rfind("recv alice@localhost ", 0) == 0;
  }, 60000));
  EXPECT_EQ(bob.Received("alice@localhost"), std::vector<std::string>{"Hello from Windows"});
  link.CloseInput();
  EXPECT_EQ(link.Wait(20000), 0);
  // A signal to Wine's loader ends the client as a crash would: how it ends on request is the
  // launcher's to show, on Windows.
  xmpp_->Stop();
}

TEST_F(XmppWindowsTest, ThroughAServerCrashNothingSentOrReceivedIsLostOrDoubled) {
  Converse();
  if (HasFatalFailure()) return;
  ChildProcess& link = *link_;
  testsupport::XmppPeer& bob = *bob_;
  const std::string said = Said();

  std::vector<std::string> sent;
  auto send = [&](int from, int to) {
    for (int i = from; i <= to; ++i) {
      sent.push_back("m" + std::to_string(i));
      ASSERT_TRUE(link.Write("to bob@localhost " + sent.back() + "\n"));
    }
  };
  send(1, 5);
  ASSERT_TRUE(bob.WaitFor([&](const std::string&) {
    return bob.Received("alice@localhost").size() >= 5;
  }, 60000));
  // Sent while the server is down: held, and delivered once it is back.
  server_->Crash();
  send(6, 8);
  ASSERT_TRUE(server_->Restart());
  ASSERT_TRUE(bob.WaitFor([&](const std::string&) { return bob.ReadyCount() >= 2; }, 60000));
  ASSERT_TRUE(bob.Send("alice@localhost", "back"));
  EXPECT_TRUE(bob.WaitFor([&](const std::string&) {
    return bob.Received("alice@localhost").size() >= sent.size();
  }, 90000)) << testsupport::FileText(Dir() + "/xmpp.err");
  EXPECT_TRUE(Says(said, "bob@localhost: back", link, 60000)) << testsupport::FileText(said);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // anything doubled has come by now
  EXPECT_EQ(bob.Received("alice@localhost"), sent);
  const std::string shown = testsupport::FileText(said);
  EXPECT_EQ(shown.find("bob@localhost: back"), shown.rfind("bob@localhost: back")) << shown;
  link.CloseInput();
  link.Wait(20000);
  xmpp_->Stop();
}

TEST_F(XmppWindowsTest, AServerThatStopsIsToldAsOnLinux) {
  Serve("good");
  auto xmpp = Start("alice-secret", true);
  ASSERT_TRUE(Says(Dir() + "/xmpp.err", "signed in as alice@localhost", *xmpp, 60000));
  server_->Kill();  // asked to stop: it closes its streams as it should
  EXPECT_TRUE(Says(Dir() + "/xmpp.err",
                   "connection lost (the server closed the connection); connecting again", *xmpp,
                   60000))
      << testsupport::FileText(Dir() + "/xmpp.err");
  xmpp->Stop();
}

// Schannel's handshake runs inside libstrophe's connect, on the thread that also serves the chat
// API: a program asking the client meanwhile must still be answered. The longest wait is said,
// for the record; the test asks only that every PING is answered and the client is back.
TEST_F(XmppWindowsTest, WhileTlsStartsAgainTheChatApiKeepsAnswering) {
  Converse();
  if (HasFatalFailure()) return;
  ChildProcess& link = *link_;
  const auto pinged = [&](int nth) {
    for (int waited = 0; waited < 120000; waited += 50) {
      const std::string said = testsupport::FileText(Said());
      std::size_t at = 0;
      for (int i = 0; i < nth; ++i) {
        at = said.find(" pings, the longest wait ", at);
        if (at == std::string::npos) break;
        ++at;
      }
      if (at != std::string::npos && at != 0) {
        const std::size_t start = said.rfind('\n', at) + 1;
        return said.substr(start, said.find('\n', at) - start);
      }
      if (said.find("no PONG") != std::string::npos) return std::string("no PONG");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::string("no answer");
  };
  ASSERT_TRUE(link.Write("pings 3000\n"));
  const std::string quiet = pinged(1);
  ASSERT_THAT(quiet, ::testing::HasSubstr("pings, the longest wait")) << quiet;
  server_->Crash();
  ASSERT_TRUE(server_->Restart());
  // Pings long enough for the client's next attempts; bob's message, written while alice is
  // away, reaches the link once the client is back, which is to happen while the pings go on.
  ASSERT_TRUE(link.Write("pings 20000\n"));
  ASSERT_TRUE(bob_->Send("alice@localhost", "back"));
  const std::string reconnecting = pinged(2);
  ASSERT_THAT(reconnecting, ::testing::HasSubstr("pings, the longest wait")) << reconnecting;
  const std::string said = testsupport::FileText(Said());
  ASSERT_NE(said.find("bob@localhost: back"), std::string::npos) << said;
  EXPECT_LT(said.find("bob@localhost: back"), said.find(reconnecting)) << said;
  std::cout << "the chat API's longest wait: with the connection up " << quiet
            << "; while it is made again over TLS " << reconnecting << std::endl;
  link.CloseInput();
  link.Wait(20000);
  xmpp_->Stop();
}

// Schannel's handshake waits for a silent server inside one call: the client's guard cuts the
// connection at the attempt's deadline, and the handshake ends with it.
TEST_F(XmppWindowsTest, AServerSilentInTheTlsHandshakeIsGivenUpAtTheDeadline) {
  testsupport::SilentHandshakeServer silent;
  ::setenv("PARLAVANT_TEST_PASSWORD", "alice-secret", 1);
  ChildProcess xmpp({"wine", exe_, "--jid", "alice@localhost", "--server", silent.Address(),
                     "--password-env", "PARLAVANT_TEST_PASSWORD", "--settings",
                     WindowsPath(Dir() + "/none.ini"), "--connect-timeout", "3"},
                    Dir() + "/xmpp.out", Dir() + "/xmpp.err");
  EXPECT_EQ(xmpp.Wait(120000), 1) << testsupport::FileText(Dir() + "/xmpp.err");
  EXPECT_THAT(testsupport::FileText(Dir() + "/xmpp.err"),
              ::testing::HasSubstr(
                  "cannot sign in as alice@localhost: no answer from the server within 3 s"));
}

// The launcher's Win32 dialog, in a test program of the Windows build, on each server.
TEST_F(XmppWindowsTest, TheLaunchersDialogSignsInOrSaysWhyNotOnEveryServer) {
  const char* test = std::getenv("PARLAVANT_LAUNCHER_TEST_EXE");
  ASSERT_NE(test, nullptr) << "run by scripts/test-windows.sh, which names the dialog's test";
  const std::string refused[][2] = {{"good", ""},
                                    {"wrongname", "hostname mismatch"},
                                    {"expired", "certificate has expired"},
                                    {"unknown", "unable to get local issuer certificate"}};
  for (const auto& [certificate, refusal] : refused) {
    Serve(certificate);
    if (HasFatalFailure()) return;
    ::setenv("PARLAVANT_TEST_SERVER", server_->Server().c_str(), 1);
    ::setenv("PARLAVANT_TEST_CA", WindowsPath(Dir() + "/ca.pem").c_str(), 1);
    ::setenv("PARLAVANT_TEST_DIR", WindowsPath(Dir() + "/" + certificate).c_str(), 1);
    ::setenv("PARLAVANT_TEST_REFUSAL", refusal.c_str(), 1);
    ChildProcess dialog({"wine", test, "--gtest_brief=1", "--gtest_filter=*Dialog*"},
                        Dir() + "/dialog.out",
                        Dir() + "/dialog.err");
    EXPECT_EQ(dialog.Wait(300000), 0) << certificate << ": "
                                      << testsupport::FileText(Dir() + "/dialog.out")
                                      << testsupport::FileText(Dir() + "/dialog.err");
  }
}

// The whole road on Windows: bob writes while alice is away; the launcher signs her in with the
// saved account and starts Parlavant's Win32 window, which shows the message translated by the
// web service; she answers there and quits; bob receives the answer, translated and signed.
TEST_F(XmppWindowsTest, APersonWritesTheWindowTranslatesAndTheAnswerArrivesSigned) {
  const char* test = std::getenv("PARLAVANT_LAUNCHER_TEST_EXE");
  const char* window = std::getenv("PARLAVANT_WINDOW_EXE");
  const char* web = std::getenv("PARLAVANT_WEB_TRANSLATOR");
  ASSERT_TRUE(test != nullptr && window != nullptr && web != nullptr)
      << "run by scripts/test-windows.sh, which names the programs and the web service";
  Serve("good");
  if (HasFatalFailure()) return;
  ASSERT_TRUE(server_->Register("bob", "bob-secret"));
  testsupport::XmppPeer bob(Dir(), "bob@localhost", "bob-secret", server_->Port(),
                            Dir() + "/ca.pem");
  ASSERT_TRUE(bob.WaitReady());
  ASSERT_TRUE(bob.Send("alice@localhost", "Hola"));
  ::setenv("PARLAVANT_TEST_SERVER", server_->Server().c_str(), 1);
  ::setenv("PARLAVANT_TEST_CA", WindowsPath(Dir() + "/ca.pem").c_str(), 1);
  ::setenv("PARLAVANT_TEST_DIR", WindowsPath(Dir() + "/good").c_str(), 1);
  ::setenv("PARLAVANT_TEST_WINDOW", WindowsPath(window).c_str(), 1);
  ::setenv("PARLAVANT_TEST_PASSWORD", "alice-secret", 1);
  ChildProcess alice({"wine", test, "--gtest_brief=1", "--gtest_filter=*APersonsMessage*"},
                     Dir() + "/alice.out", Dir() + "/alice.err");
  EXPECT_EQ(alice.Wait(300000), 0) << testsupport::FileText(Dir() + "/alice.out")
                                   << testsupport::FileText(Dir() + "/alice.err");
  ::unsetenv("PARLAVANT_TEST_WINDOW");
  EXPECT_TRUE(bob.WaitFor([&](const std::string&) { return !bob.Received("alice@localhost").empty(); },
                          60000));
  EXPECT_EQ(bob.Received("alice@localhost"),
            std::vector<std::string>{"[es] See you - Translated with Parlavant"});
}

}  // namespace
