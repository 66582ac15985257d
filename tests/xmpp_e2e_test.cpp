// Parlavant, unchanged, in a real conversation: parlavant-xmpp signs in to an account on a
// Prosody server of the test's own, a remote person on another account writes and reads through
// a small XMPP client of their own, and the stand-in translator's echo engine makes every
// translation exact.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "tests/parlavant_fixture.h"
#include "tests/xmpp_support.h"
#include "testsupport/net_util.h"
#include "testsupport/qt_support.h"
#include "testsupport/temp_dir.h"

namespace {

using testsupport::ChildProcess;
using testsupport::ProsodyServer;
using testsupport::XmppPeer;

const std::string kAlice = "alice@localhost", kBob = "bob@localhost";

class XmppEndToEndTest : public testsupport::ParlavantFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.Register("alice", "alice-secret"));
    ASSERT_TRUE(server.Register("bob", "bob-secret"));
    std::ofstream(PasswordFile()) << "alice-secret\n";
    ::chmod(PasswordFile().c_str(), 0600);
  }

  std::string Dir() const { return temp_.Path(); }
  std::string PasswordFile() const { return Dir() + "/alice.password"; }
  std::string XmppErrors() const { return testsupport::FileText(Dir() + "/xmpp.err"); }

  // Alice's contacts, as another client of hers would have added them.
  void AddBobToAlicesRoster() {
    XmppPeer aliceElsewhere(Dir(), kAlice, "alice-secret", server.Port());
    ASSERT_TRUE(aliceElsewhere.WaitReady());
    ASSERT_TRUE(aliceElsewhere.Add(kBob));
    aliceElsewhere.Quit();
  }

  std::unique_ptr<ChildProcess> StartXmpp(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {XMPP_PATH,         "--jid",         kAlice,
                                     "--server",        server.Server(), "--plain",
                                     "--password-file", PasswordFile(),  "--desktop",
                                     DesktopDir(),      "--settings",    Dir() + "/none.ini"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<ChildProcess>(argv, Dir() + "/xmpp.out", Dir() + "/xmpp.err");
  }

  void StartTranslator() {
    // The port is fixed, and the translator shares it (SO_REUSEPORT) with any still there.
    ASSERT_TRUE(testsupport::WaitUntilNotListening(translate::kLocalTranslatorPort));
    translator = std::make_unique<ChildProcess>(
        std::vector<std::string>{TRANSLATOR_PATH, "--desktop", DesktopDir(), "--engine", "echo"});
    ASSERT_TRUE(testsupport::WaitUntilListening(translate::kLocalTranslatorPort));
  }

  ProsodyServer server{Dir()};
  std::unique_ptr<ChildProcess> translator, xmpp;
};

TEST_F(XmppEndToEndTest, AConversationWithARemotePersonBothWays) {
  // Bob writes before alice's client is running (stored offline).
  AddBobToAlicesRoster();
  XmppPeer bob(Dir(), kBob, "bob-secret", server.Port());
  ASSERT_TRUE(bob.WaitReady());
  ASSERT_TRUE(bob.Send(kAlice, "Hola, \xC2\xBFqu\xC3\xA9 tal?"));

  StartTranslator();
  xmpp = StartXmpp();
  // Signed in, but no program attached yet: the next message waits in the client.
  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return XmppErrors().find("signed in as") != std::string::npos; }, 30000));
  ASSERT_TRUE(bob.Send(kAlice,
                       "\xC2\xBF"
                       "Est\xC3\xA1s ah\xC3\xAD?"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  // Reads English, sends Spanish, signs.
  app::TMainForm& form = StartParlavant(*desktop, testsupport::FreeLoopbackPort());
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form.ToUsers->count() == 1; }, 30000))
      << XmppErrors();
  EXPECT_EQ(form.ToUsers->itemText(0), QString::fromStdString(kBob));
  EXPECT_EQ(form.CaptionAnsi(), "Parlavant 1.0:04 - " + kAlice);

  const QString tab = QString::fromStdString(kBob);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return Memo(form, tab).count('\n') == 1; }, 30000));
  EXPECT_EQ(Memo(form, tab),
            QString::fromUtf8("bob@localhost: [en] Hola, ¿qué tal?(Hola, ¿qué tal?)\n"
                              "bob@localhost: [en] ¿Estás ahí?(¿Estás ahí?)"));

  // An emoji survives both ways.
  ASSERT_TRUE(bob.Send(kAlice, "Bien \xF0\x9F\x98\x80"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return Memo(form, tab).count('\n') == 2; }));
  EXPECT_TRUE(Memo(form, tab).endsWith(QString::fromUtf8("[en] Bien 😀(Bien 😀)")))
      << Memo(form, tab).toStdString();

  form.SendMessage->setPlainText(QString::fromUtf8("Très bien 😀"));
  form.btnSend->click();
  ASSERT_TRUE(bob.WaitFor([&](const std::string&) { return !bob.Received(kAlice).empty(); }));
  EXPECT_THAT(
      bob.Received(kAlice),
      ::testing::ElementsAre("[es] Tr\xC3\xA8s bien \xF0\x9F\x98\x80 - Translated with Parlavant"));
  EXPECT_THAT(boxes, ::testing::IsEmpty());
}

TEST_F(XmppEndToEndTest, ApertiumTranslatesARealMessage) {
  // Apertium is installed with the project's dependencies; without it there is nothing to smoke.
  ASSERT_EQ(std::system("command -v apertium >/dev/null 2>&1"), 0);
  AddBobToAlicesRoster();
  ASSERT_TRUE(testsupport::WaitUntilNotListening(translate::kLocalTranslatorPort));
  translator = std::make_unique<ChildProcess>(
      std::vector<std::string>{TRANSLATOR_PATH, "--desktop", DesktopDir()});
  ASSERT_TRUE(testsupport::WaitUntilListening(translate::kLocalTranslatorPort));
  xmpp = StartXmpp();
  app::TMainForm& form = StartParlavant(*desktop, testsupport::FreeLoopbackPort());
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form.ToUsers->count() == 1; }, 30000))
      << XmppErrors();
  XmppPeer bob(Dir(), kBob, "bob-secret", server.Port());
  ASSERT_TRUE(bob.WaitReady());
  ASSERT_TRUE(bob.Send(kAlice, "El perro come la manzana."));
  const QString tab = QString::fromStdString(kBob);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !Memo(form, tab).isEmpty(); }, 30000));
  EXPECT_TRUE(Memo(form, tab).contains("dog")) << Memo(form, tab).toStdString();
  EXPECT_THAT(boxes, ::testing::IsEmpty());
}

TEST_F(XmppEndToEndTest, TheNextMessageArrivesAfterTheServerIsKilledAndRestarted) {
  AddBobToAlicesRoster();
  StartTranslator();
  xmpp = StartXmpp();
  app::TMainForm& form = StartParlavant(*desktop, testsupport::FreeLoopbackPort());
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form.ToUsers->count() == 1; }, 30000))
      << XmppErrors();

  server.Crash();
  ASSERT_TRUE(server.Restart());
  XmppPeer bob(Dir(), kBob, "bob-secret", server.Port());
  ASSERT_TRUE(bob.WaitReady());
  // The client is back within its longest pause; a message sent meanwhile is stored for it.
  ASSERT_TRUE(bob.Send(kAlice, "Sigo aqu\xC3\xAD"));
  const QString tab = QString::fromStdString(kBob);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !Memo(form, tab).isEmpty(); }, 30000))
      << XmppErrors();
  EXPECT_EQ(Memo(form, tab), QString::fromUtf8("bob@localhost: [en] Sigo aquí(Sigo aquí)"));
  EXPECT_THAT(XmppErrors(), ::testing::HasSubstr("connection lost"));

  // And the answer goes out on the new connection.
  form.SendMessage->setPlainText("Bien");
  form.btnSend->click();
  ASSERT_TRUE(bob.WaitFor([&](const std::string&) { return !bob.Received(kAlice).empty(); }))
      << XmppErrors() << ::testing::PrintToString(boxes) << Memo(form, tab).toStdString();
}

TEST_F(XmppEndToEndTest, ALoginRefusedOnReconnectEndsTheAttemptsButKeepsTheClient) {
  xmpp = StartXmpp();
  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return XmppErrors().find("signed in as") != std::string::npos; }, 30000));
  // The password changes on the server while the client is away.
  server.Crash();
  ASSERT_TRUE(server.Unregister("alice"));
  ASSERT_TRUE(server.Register("alice", "changed"));
  ASSERT_TRUE(server.Restart());
  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return XmppErrors().find("no more attempts") != std::string::npos; }, 30000))
      << XmppErrors();
  EXPECT_THAT(XmppErrors(),
              ::testing::HasSubstr("the server refused the login for alice@localhost"));
  EXPECT_TRUE(xmpp->Alive());
  EXPECT_EQ(xmpp->Stop(), 0);
}

TEST_F(XmppEndToEndTest, AWrongPasswordAnOpenPasswordFileOrNoServerIsAClearError) {
  std::ofstream(PasswordFile(), std::ios::trunc) << "wrong\n";
  xmpp = StartXmpp();
  EXPECT_EQ(xmpp->Wait(20000), 1);
  EXPECT_THAT(XmppErrors(),
              ::testing::HasSubstr("the server refused the login for alice@localhost"));

  ::chmod(PasswordFile().c_str(), 0644);
  xmpp = StartXmpp();
  EXPECT_EQ(xmpp->Wait(20000), 1);
  EXPECT_THAT(XmppErrors(), ::testing::HasSubstr("may be read by others (mode 0644)"));

  // A server that is not there.
  ::chmod(PasswordFile().c_str(), 0600);
  xmpp = std::make_unique<ChildProcess>(
      std::vector<std::string>{XMPP_PATH, "--jid", kAlice, "--server",
                               "127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort()),
                               "--plain", "--password-file", PasswordFile(), "--settings",
                               Dir() + "/none.ini", "--desktop", DesktopDir()},
      Dir() + "/xmpp.out", Dir() + "/xmpp.err");
  EXPECT_EQ(xmpp->Wait(20000), 1);
  EXPECT_THAT(XmppErrors(),
              ::testing::HasSubstr("cannot sign in as alice@localhost: the server cannot be "
                                   "reached (connection refused)"));

  // Plain text goes only to this machine: every address of the name must be loopback, and a
  // name that merely begins like one is no loopback address.
  for (const std::string host : {"192.0.2.1", "127.attacker.example"}) {
    xmpp = std::make_unique<ChildProcess>(
        std::vector<std::string>{XMPP_PATH, "--jid", "alice@example.org", "--server", host,
                                 "--plain", "--password-env", "HOME", "--settings",
                                 Dir() + "/none.ini"},
        Dir() + "/xmpp.out", Dir() + "/xmpp.err");
    EXPECT_EQ(xmpp->Wait(20000), 1);
    EXPECT_THAT(XmppErrors(),
                ::testing::AnyOf(::testing::HasSubstr("--plain is refused for " + host),
                                 ::testing::HasSubstr("Cannot resolve " + host)));
  }
}

}  // namespace

namespace {

// A server whose certificate is its own (made here with openssl): not trusted by default, trusted
// when named with --ca-file.
class XmppTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ChildProcess openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                          "-keyout", Dir() + "/key.pem", "-out", Dir() + "/cert.pem", "-days", "2",
                          "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost"},
                         Dir() + "/openssl.out", Dir() + "/openssl.err");
    ASSERT_EQ(openssl.Wait(60000), 0);
    server = std::make_unique<ProsodyServer>(
        Dir(), ProsodyServer::Tls{Dir() + "/cert.pem", Dir() + "/key.pem"});
    ASSERT_TRUE(server->Start());
    ASSERT_TRUE(server->Register("alice", "alice-secret"));
  }
  std::string Dir() const { return temp_.Path(); }
  std::string Errors() const { return testsupport::FileText(Dir() + "/xmpp.err"); }
  std::unique_ptr<ChildProcess> StartXmpp(std::vector<std::string> extra) {
    ::setenv("PARLAVANT_TEST_PASSWORD", "alice-secret", 1);
    std::vector<std::string> argv = {XMPP_PATH,
                                     "--jid",
                                     kAlice,
                                     "--server",
                                     server->Server(),
                                     "--password-env",
                                     "PARLAVANT_TEST_PASSWORD",
                                     "--desktop",
                                     Dir() + "/d",
                                     "--settings",
                                     Dir() + "/none.ini"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<ChildProcess>(argv, Dir() + "/xmpp.out", Dir() + "/xmpp.err");
  }

  testsupport::TempDir temp_{"pxmpp-tls"};
  std::unique_ptr<ProsodyServer> server;
};

TEST_F(XmppTlsTest, AServersOwnCertificateIsRefusedUnlessItsAuthorityIsNamed) {
  auto xmpp = StartXmpp({});
  EXPECT_EQ(xmpp->Wait(20000), 1);
  EXPECT_THAT(Errors(), ::testing::HasSubstr("cannot sign in as alice@localhost: the server's "
                                             "certificate was not accepted: self-signed"));

  xmpp = StartXmpp({"--ca-file", Dir() + "/cert.pem"});
  bool signedIn = false;
  for (int i = 0; i < 1000 && !signedIn; ++i) {
    signedIn = Errors().find("signed in as alice@localhost") != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(signedIn) << Errors();
  EXPECT_EQ(xmpp->Stop(), 0);
}

}  // namespace
