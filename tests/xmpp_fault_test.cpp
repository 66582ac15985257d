// parlavant-xmpp through a path that fails: a proxy of the test's own between it and a real
// Prosody (stream management and the archive on) closes, resets, cuts in the middle and falls
// silent, and the server is killed and started again, while a remote person and a program on the
// desktop API write to each other. Every message from the remote person reaches the program
// exactly once and in order; every message the program sends ends SENT or FAILED, SENT only
// when the person has it, and none arrives twice. The deadlines are seconds here.
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

using XmppFaultTest = testsupport::XmppAccountTest;

int Rounds() {
  const char* value = std::getenv("PARLAVANT_FAULT_ROUNDS");
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : 1;
}

TEST_F(XmppFaultTest, NothingIsLostOrDoubledThroughCutsSilenceAndAServerCrash) {
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

  const auto settled = [&] {
    for (const auto& [id, body] : programSent) {
      const std::string status = program.Status(id);
      if (status != "SENT" && status != "FAILED") return false;
    }
    return program.ReceivedMessages().size() >= bobSent.size();
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
  // Said as what went wrong: the lists run to thousands.
  std::map<std::string, int> times;
  for (const std::string& body : received) ++times[body];
  std::vector<std::string> missing, doubled;
  for (const std::string& body : bobSent) {
    if (times[body] == 0) missing.push_back(body);
    if (times[body] > 1) doubled.push_back(body);
  }
  EXPECT_THAT(missing, ::testing::IsEmpty()) << "never arrived";
  EXPECT_THAT(doubled, ::testing::IsEmpty()) << "arrived more than once";
  EXPECT_TRUE(std::is_sorted(received.begin(), received.end())) << "out of order";
  EXPECT_EQ(received.size(), bobSent.size());

  const std::vector<std::string> bobGot = bob.Received(kAlice);
  const std::multiset<std::string> bobGotSet(bobGot.begin(), bobGot.end());
  int sent = 0, failed = 0;
  for (const auto& [id, body] : programSent) {
    EXPECT_LE(bobGotSet.count(body), 1u) << body << " arrived twice";
    if (program.Status(id) == "SENT") {
      ++sent;
      EXPECT_EQ(bobGotSet.count(body), 1u) << body << " is SENT but never arrived";
    } else {
      ++failed;
    }
  }
  // Every fault here passes: nothing need fail.
  EXPECT_EQ(failed, 0) << Errors();
  std::printf("faults: %d rounds, %zu messages each way; %d SENT, %d FAILED, %d connections\n",
              Rounds(), programSent.size(), sent, failed, proxy.Accepted());
  bob.Quit();
}

}  // namespace
