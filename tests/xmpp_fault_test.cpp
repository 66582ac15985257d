// parlavant-xmpp through a path that fails: a proxy of the test's own between it and a real
// Prosody closes, resets, cuts in the middle and falls silent, and the server is killed and
// started again, while a remote person and a program on the desktop API write to each other.
// Three servers: with stream management and the archive, with stream management only, with
// neither. Everywhere every message the program sends ends SENT, and SENT only when the person
// has it. With the archive every message either way arrives exactly once and in order, and with
// stream management every one received arrives once; what is lost or doubled elsewhere is
// counted and said. The deadlines are seconds here.
//
// PARLAVANT_FAULT_ROUNDS (default 1) runs the faults that many times (scripts/xmpp-faults.sh).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "tests/api_program.h"
#include "tests/xmpp_support.h"
#include "testsupport/tcp_proxy.h"
#include "testsupport/temp_dir.h"

namespace {

using testsupport::ChildProcess;
using testsupport::TcpProxy;
using testsupport::XmppPeer;

const std::string kAlice = "alice@localhost", kBob = "bob@localhost";
constexpr int kPerFault = 20;

int Rounds() {
  const char* value = std::getenv("PARLAVANT_FAULT_ROUNDS");
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : 1;
}

class XmppFaultTest : public testsupport::XmppAccountTest {
 protected:
  // What the faults did to the messages.
  struct Outcome {
    std::vector<std::string> receivedMissing, receivedDoubled, sentLost, sentDoubled;
    bool inOrder = true;
    int sent = 0, failed = 0;
    std::size_t each = 0;
  };
  void RunFaults();
  void Report(const char* setup) const {
    const Outcome& o = outcome;
    std::printf(
        "faults, %s: %d rounds, %zu messages each way; received: %zu lost, %zu doubled; "
        "sent: %d SENT, %d FAILED, %zu lost, %zu doubled\n",
        setup, Rounds(), o.each, o.receivedMissing.size(), o.receivedDoubled.size(), o.sent,
        o.failed, o.sentLost.size(), o.sentDoubled.size());
  }
  Outcome outcome;
};

class XmppFaultWithoutArchiveTest : public XmppFaultTest {
 protected:
  XmppFaultWithoutArchiveTest() { server.archive = false; }
};

class XmppFaultWithNeitherTest : public XmppFaultTest {
 protected:
  XmppFaultWithNeitherTest() {
    server.archive = false;
    server.streamManagement = false;
  }
};

TEST_F(XmppFaultTest, NothingIsLostOrDoubledThroughCutsSilenceAndAServerCrash) {
  ASSERT_NO_FATAL_FAILURE(RunFaults());
  Report("stream management and archive");
  const Outcome& o = outcome;
  EXPECT_THAT(o.receivedMissing, ::testing::IsEmpty()) << "never arrived";
  EXPECT_THAT(o.receivedDoubled, ::testing::IsEmpty()) << "arrived more than once";
  EXPECT_TRUE(o.inOrder) << "out of order";
  EXPECT_THAT(o.sentLost, ::testing::IsEmpty()) << "SENT but never arrived";
  EXPECT_THAT(o.sentDoubled, ::testing::IsEmpty()) << "arrived twice";
  EXPECT_EQ(o.failed, 0) << Errors();  // every fault here passes: nothing need fail
}

// Without the archive a message written again after a cut may arrive twice; and without
// resumption what the server wrote into a connection that fell silent is gone with it (the
// server gives the session up only after the client has signed in anew). Both are counted.
// What the server wrote into a dead connection, unacknowledged, reaches the next one through its
// offline store; what the client wrote and the server took unacknowledged goes twice, as nothing
// tells the client which it took (counted).
TEST_F(XmppFaultWithoutArchiveTest, WithStreamManagementOnlyNothingIsLost) {
  ASSERT_NO_FATAL_FAILURE(RunFaults());
  Report("stream management only");
  EXPECT_THAT(outcome.receivedMissing, ::testing::IsEmpty()) << "never arrived";
  EXPECT_THAT(outcome.receivedDoubled, ::testing::IsEmpty()) << "arrived more than once";
  EXPECT_THAT(outcome.sentLost, ::testing::IsEmpty()) << "SENT but never arrived";
  EXPECT_EQ(outcome.failed, 0) << Errors();
}

TEST_F(XmppFaultWithNeitherTest, WithNeitherNothingSentIsLost) {
  ASSERT_NO_FATAL_FAILURE(RunFaults());
  Report("neither");
  EXPECT_THAT(outcome.sentLost, ::testing::IsEmpty()) << "SENT but never arrived";
  EXPECT_EQ(outcome.failed, 0) << Errors();
}

void XmppFaultTest::RunFaults() {
  TcpProxy proxy(server.Port());
  StartXmpp(proxy.Address());
  testsupport::ApiProgram program(*desktop);
  ASSERT_TRUE(program.PumpUntil([&] { return program.Attached(); }, 30000)) << Errors();
  auto bobPeer = Peer("bob");
  XmppPeer& bob = *bobPeer;

  enum Fault { kFin, kReset, kMidStream, kSilence, kServerKilled };
  const char* names[] = {"FIN", "RST", "mid-stream cut", "silence", "server killed"};
  std::vector<std::string> bobSent;
  std::vector<std::pair<std::int32_t, std::string>> programSent;
  int n = 0;
  for (int round = 0; round < Rounds(); ++round) {
    for (Fault fault : {kFin, kReset, kMidStream, kSilence, kServerKilled}) {
      SCOPED_TRACE(names[fault]);
      const int readyBefore = bob.ReadyCount();
      const int connectionsBefore = proxy.Accepted();
      std::chrono::steady_clock::time_point faultAt;
      for (int i = 0; i < kPerFault; ++i, ++n) {
        char body[32];
        if (i == kPerFault / 2) {
          faultAt = std::chrono::steady_clock::now();
          if (fault == kServerKilled) {
            program.Pump(500);  // what bob wrote has reached the server
            server.Crash();
          } else {
            proxy.Inject(fault == kFin         ? TcpProxy::Fault::kFin
                         : fault == kReset     ? TcpProxy::Fault::kReset
                         : fault == kMidStream ? TcpProxy::Fault::kMidStream
                                               : TcpProxy::Fault::kSilence);
          }
        }
        // Bob's own connection goes with a killed server: he writes again once he is back.
        if (fault != kServerKilled || i < kPerFault / 2) {
          std::snprintf(body, sizeof body, "b-%04d", n);
          ASSERT_TRUE(bob.Send(kAlice, body));
          bobSent.push_back(body);
        }
        std::snprintf(body, sizeof body, "a-%04d", n);
        const std::int32_t id = program.Send(kBob, body);
        ASSERT_GE(id, 0);
        programSent.emplace_back(id, body);
        program.Pump(40);
      }
      if (fault == kSilence) {
        // The client notices by itself; the silent path's ends give up later.
        program.Pump(4000);
        proxy.EndSilence();
      }
      if (fault == kServerKilled) {
        ASSERT_TRUE(server.Restart());
        ASSERT_TRUE(
            bob.WaitFor([&](const std::string&) { return bob.ReadyCount() > readyBefore; }, 30000));
      }
      // How long the client took to connect again (for a killed server: from its restart).
      ASSERT_TRUE(program.PumpUntil([&] { return proxy.Accepted() > connectionsBefore; }, 30000))
          << Errors();
      std::printf("%s: connected again %lld ms after the fault\n", names[fault],
                  static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             proxy.LastAccepted() - faultAt)
                                             .count()));
    }
  }

  // Settled: every message sent has its outcome, and every one received is here, or (where the
  // server may have lost some) nothing more has come for a while.
  std::size_t lastCount = 0;
  auto lastChange = std::chrono::steady_clock::now();
  const auto settled = [&] {
    for (const auto& [id, body] : programSent) {
      const std::string status = program.Status(id);
      if (status != "SENT" && status != "FAILED") return false;
    }
    const std::size_t count = program.ReceivedMessages().size();
    const auto now = std::chrono::steady_clock::now();
    if (count != lastCount) {
      lastCount = count;
      lastChange = now;
    }
    return count >= bobSent.size() ||
           (!server.archive && now - lastChange > std::chrono::seconds(5));
  };
  EXPECT_TRUE(program.PumpUntil(settled, 120000)) << [&] {
    std::string unsettled;
    for (const auto& [id, body] : programSent) {
      const std::string status = program.Status(id);
      if (status != "SENT" && status != "FAILED") unsettled += body + " " + status + "; ";
    }
    return unsettled;
  }();
  program.Pump(1500);  // a late duplicate would come now

  std::vector<std::string> received;
  for (const auto& r : program.ReceivedMessages()) {
    EXPECT_EQ(r.from, kBob);
    received.push_back(r.body);
  }
  Outcome& o = outcome;
  o.each = programSent.size();
  // Said as what went wrong: the lists run to thousands.
  std::map<std::string, int> times;
  for (const std::string& body : received) ++times[body];
  for (const std::string& body : bobSent) {
    if (times[body] == 0) o.receivedMissing.push_back(body);
    if (times[body] > 1) o.receivedDoubled.push_back(body);
  }
  o.inOrder = std::is_sorted(received.begin(), received.end());
  const std::vector<std::string> bobGot = bob.Received(kAlice);
  const std::multiset<std::string> bobGotSet(bobGot.begin(), bobGot.end());
  for (const auto& [id, body] : programSent) {
    if (bobGotSet.count(body) > 1) o.sentDoubled.push_back(body);
    if (program.Status(id) == "SENT") {
      ++o.sent;
      if (bobGotSet.count(body) == 0) o.sentLost.push_back(body);
    } else {
      ++o.failed;
    }
  }
  std::printf("%d connections\n", proxy.Accepted());
  bob.Quit();
}

}  // namespace
