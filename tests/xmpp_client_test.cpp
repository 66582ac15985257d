// parlavant-xmpp against a real Prosody (stream management and the archive on), with a remote
// person and a program on the desktop API: what a server, a contact or the user's own other
// clients send never ends it, and no message is lost on the way to the program or passed off
// as delivered.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "tests/api_program.h"
#include "tests/xmpp_support.h"
#include "testsupport/tcp_proxy.h"

namespace {

using ::testing::ElementsAre;
using testsupport::ApiProgram;

const std::string kAlice = "alice@localhost", kBob = "bob@localhost";

class XmppClientTest : public testsupport::XmppAccountTest {
 protected:
  std::vector<std::string> Bodies(const ApiProgram& program) {
    std::vector<std::string> bodies;
    for (const auto& r : program.ReceivedMessages()) bodies.push_back(r.body);
    return bodies;
  }
  bool ReceivedCount(ApiProgram& program, std::size_t count) {
    return program.PumpUntil([&] { return program.ReceivedMessages().size() >= count; }, 30000);
  }
};

TEST_F(XmppClientTest, RosterChangesFromElsewhereAndAnUnsubscribingContactKeepItRunning) {
  StartXmpp();
  auto program = Attach();
  // The user edits contacts in another client: the server pushes each change, without a sender.
  auto aliceElsewhere = Peer("alice");
  ASSERT_TRUE(aliceElsewhere->Add(kBob));
  ASSERT_TRUE(aliceElsewhere->Add("carol@localhost"));
  ASSERT_TRUE(aliceElsewhere->Remove("carol@localhost"));
  auto bob = Peer("bob");
  ASSERT_TRUE(bob->Unsubscribe(kAlice));
  program->Pump(500);
  ASSERT_TRUE(xmpp->Alive()) << Errors();
  ASSERT_TRUE(bob->Send(kAlice, "still there?"));
  ASSERT_TRUE(ReceivedCount(*program, 1)) << Errors();
  EXPECT_THAT(Bodies(*program), ElementsAre("still there?"));
}

TEST_F(XmppClientTest, AMessageSayingAuthFailedDoesNotEndTheReconnection) {
  StartXmpp();
  auto program = Attach();
  auto bob = Peer("bob");
  // libstrophe logs every stanza in full; this one reads like its own line of a refused login.
  ASSERT_TRUE(bob->Send(kAlice, "SASL PLAIN auth failed"));
  ASSERT_TRUE(ReceivedCount(*program, 1)) << Errors();
  server.Crash();
  ASSERT_TRUE(server.Restart());
  bob = Peer("bob");
  ASSERT_TRUE(bob->Send(kAlice, "back"));
  ASSERT_TRUE(ReceivedCount(*program, 2)) << Errors();
  EXPECT_THAT(Bodies(*program), ElementsAre("SASL PLAIN auth failed", "back"));
  EXPECT_THAT(Errors(), ::testing::Not(::testing::HasSubstr("refused")));
}

// Prosody's archive cannot store a stanza nested past a hundred levels or so and drops it; one
// without the archive passes it on.
class XmppWithoutArchiveTest : public XmppClientTest {
 protected:
  XmppWithoutArchiveTest() { server.archive = false; }
};

TEST_F(XmppWithoutArchiveTest, TheDeepestStanzaAServerPassesDoesNotEndIt) {
  // Prosody takes its time over this stanza, the more on a busy machine: without an archive, a
  // connection taken down meanwhile would lose it.
  ackTimeoutS = "60";
  StartXmpp();
  ASSERT_TRUE(ErrorsSay("the server keeps no message archive")) << Errors();
  auto program = Attach();
  auto bob = Peer("bob");
  // As deep as 256 KiB holds: "<a>" and "</a>" a level.
  const int depth = 37000;
  std::string nested;
  nested.reserve(depth * 7);
  for (int i = 0; i < depth; ++i) nested += "<a>";
  for (int i = 0; i < depth; ++i) nested += "</a>";
  ASSERT_TRUE(
      bob->Raw("<message to='alice@localhost' type='chat' id='deep'><body>deep</body>"
               "<x xmlns='urn:example:deep'>" +
               nested + "</x></message>"));
  ASSERT_TRUE(bob->Send(kAlice, "after"));
  ASSERT_TRUE(ReceivedCount(*program, 2))
      << Errors() << ::testing::PrintToString(Bodies(*program))
      << testsupport::FileText(Dir() + "/prosody.log")
      << testsupport::FileText(Dir() + "/peer-bob@localhost.out.err");
  EXPECT_THAT(Bodies(*program), ElementsAre("deep", "after"));
  EXPECT_TRUE(xmpp->Alive());
}

TEST_F(XmppClientTest, TheFirstMessageAfterTheProgramHasGoneWaitsForTheNextOne) {
  StartXmpp();
  auto program = Attach();
  auto bob = Peer("bob");
  ASSERT_TRUE(bob->Send(kAlice, "one"));
  ASSERT_TRUE(ReceivedCount(*program, 1));
  program.reset();  // gone without a word, as a crashed program goes
  ASSERT_TRUE(bob->Send(kAlice, "two"));
  ASSERT_TRUE(bob->Send(kAlice, "three"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  program = Attach();
  ASSERT_TRUE(ReceivedCount(*program, 2)) << Errors();
  program->Pump(300);
  EXPECT_THAT(Bodies(*program), ElementsAre("two", "three"));
}

TEST_F(XmppClientTest, WhatArrivedButWasNeverShownComesFromTheArchiveAfterACrash) {
  StartXmpp();
  auto program = Attach();
  auto bob = Peer("bob");
  ASSERT_TRUE(bob->Send(kAlice, "shown"));
  ASSERT_TRUE(ReceivedCount(*program, 1));
  program.reset();
  // The client has these and has acknowledged them to the server, but no program has them.
  ASSERT_TRUE(bob->Send(kAlice, "held 1"));
  ASSERT_TRUE(bob->Send(kAlice, "held 2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  xmpp->Kill();
  ASSERT_TRUE(bob->Send(kAlice, "while away"));  // stored offline, and archived
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  StartXmpp();
  program = Attach();
  ASSERT_TRUE(ReceivedCount(*program, 3)) << Errors();
  ASSERT_TRUE(bob->Send(kAlice, "live"));
  ASSERT_TRUE(ReceivedCount(*program, 4)) << Errors();
  program->Pump(500);  // a second copy would come now
  EXPECT_THAT(Bodies(*program), ElementsAre("held 1", "held 2", "while away", "live"));
}

TEST_F(XmppClientTest, AnErrorFromTheServerMakesAMessageFailed) {
  StartXmpp();
  auto program = Attach();
  auto bob = Peer("bob");
  const std::int32_t toBob = program->Send(kBob, "hello");
  const std::int32_t toNobody = program->Send("nobody@localhost", "hello?");
  const std::int32_t toNowhere = program->Send("bob@nowhere.invalid", "hello?");
  ASSERT_TRUE(program->PumpUntil(
      [&] {
        return program->Status(toBob) == "SENT" && program->Status(toNobody) == "FAILED" &&
               program->Status(toNowhere) == "FAILED";
      },
      30000))
      << program->Status(toBob) << program->Status(toNobody) << program->Status(toNowhere)
      << Errors();
  EXPECT_THAT(Errors(), ::testing::HasSubstr("a message to nobody@localhost was not delivered"));
  EXPECT_TRUE(bob->WaitFor([&](const std::string&) { return bob->Received(kAlice).size() == 1; }));
}

TEST_F(XmppClientTest, NoCoreFileCanHoldThePasswordAndTheConnectionIsKeptAlive) {
  StartXmpp();
  ASSERT_TRUE(ErrorsSay("signed in as"));
  const std::string limits =
      testsupport::FileText("/proc/" + std::to_string(xmpp->Pid()) + "/limits");
  EXPECT_THAT(limits, ::testing::ContainsRegex("Max core file size +0 +0"));
  // The client's end of its connection to the server carries TCP keep-alive probes.
  const std::string out = Dir() + "/ss.out";
  ASSERT_EQ(std::system(("ss -tnoH state established '( dport = :" + std::to_string(server.Port()) +
                         " )' >" + out)
                            .c_str()),
            0);
  EXPECT_THAT(testsupport::FileText(out), ::testing::HasSubstr("timer:(keepalive"));
}

TEST_F(XmppClientTest, AServerThatAcceptsButNeverSpeaksDoesNotHoldTheReconnection) {
  testsupport::TcpProxy proxy(server.Port());
  StartXmpp(proxy.Address());
  auto program = Attach();
  proxy.HoldNew(true);
  proxy.Inject(testsupport::TcpProxy::Fault::kReset);
  ASSERT_TRUE(program->PumpUntil([&] { return proxy.Accepted() >= 2; }, 10000));
  proxy.HoldNew(false);  // the next attempt, after the held one's deadline, gets through
  auto bob = Peer("bob");
  ASSERT_TRUE(bob->Send(kAlice, "back"));
  ASSERT_TRUE(ReceivedCount(*program, 1)) << Errors();
}

// libstrophe's handshake waits for the server inside one call, which Stop cannot end: the
// client's own guard gives it up at the attempt's deadline, and at a stop.
TEST_F(XmppClientTest, AServerSilentInTheTlsHandshakeIsGivenUpAndHoldsNoStop) {
  testsupport::SilentHandshakeServer silent;
  StartXmpp(silent.Address(), false);
  // A first attempt decides whether the account works at all.
  EXPECT_EQ(xmpp->Wait(60000), 1);
  EXPECT_THAT(Errors(), ::testing::HasSubstr(
                            "cannot sign in as alice@localhost: no answer from the server within 3 s"));
  // Asked to end while a handshake waits: it ends, and cleanly.
  StartXmpp(silent.Address(), false);
  ASSERT_TRUE(WaitFor([&] { return silent.Proceeded() >= 2; }, 30000)) << Errors();
  ASSERT_EQ(::kill(xmpp->Pid(), SIGTERM), 0);
  EXPECT_EQ(xmpp->Wait(60000), 0) << Errors();
}

}  // namespace
