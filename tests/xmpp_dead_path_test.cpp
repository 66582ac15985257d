// A path to the server that drops every packet without a word, as a cable pulled or a network
// left behind does: only the kernel can fake it, so the test runs in a network namespace of its
// own (CTest starts it under "unshare -n") and drops the client's packets with nft. The client
// notices within its deadlines, tries again while the path is dead, and once it is back nothing
// is lost either way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "tests/api_program.h"
#include "tests/xmpp_support.h"

namespace {

using Clock = std::chrono::steady_clock;

class XmppDeadPathTest : public testsupport::XmppAccountTest {
 protected:
  XmppDeadPathTest() { server.secondPort = testsupport::FreeLoopbackPort(); }
  ~XmppDeadPathTest() override { std::system("nft delete table inet parlavant_test 2>/dev/null"); }

  // Every packet to or from the client's port goes nowhere (the other port stays for Bob).
  static bool Drop(std::uint16_t port) {
    const std::string p = std::to_string(port);
    return std::system(
               ("nft add table inet parlavant_test && nft add chain inet parlavant_test out "
                "'{ type filter hook output priority 0; }' && nft add rule inet "
                "parlavant_test out tcp dport " +
                p +
                " drop && nft add rule inet "
                "parlavant_test out tcp sport " +
                p + " drop")
                   .c_str()) == 0;
  }
  static bool Restore() { return std::system("nft delete table inet parlavant_test") == 0; }
};

TEST_F(XmppDeadPathTest, ASilentlyDeadPathIsNoticedAndNothingIsLostWhenItComesBack) {
  // Only in a namespace of its own: the rule must not touch the machine's loopback.
  ASSERT_EQ(std::getenv("PARLAVANT_PRIVATE_NETWORK") != nullptr, true)
      << "run through CTest, which starts this test under unshare -n";
  StartXmpp();
  testsupport::ApiProgram program(*desktop);
  ASSERT_TRUE(program.PumpUntil([&] { return program.Attached(); }, 30000)) << Errors();
  testsupport::XmppPeer bob(Dir(), "bob@localhost", "bob-secret", server.secondPort);
  ASSERT_TRUE(bob.WaitReady());
  ASSERT_TRUE(bob.Send("alice@localhost", "before"));
  ASSERT_TRUE(program.PumpUntil([&] { return program.ReceivedMessages().size() == 1; }, 20000));

  ASSERT_TRUE(Drop(server.Port()));
  const auto dropped = Clock::now();
  const std::int32_t sent = program.Send("bob@localhost", "into the void");
  ASSERT_TRUE(bob.Send("alice@localhost", "while dead"));
  ASSERT_TRUE(program.PumpUntil(
      [&] { return Errors().find("connection lost") != std::string::npos; }, 30000))
      << Errors();
  const auto noticed = Clock::now();
  EXPECT_EQ(program.Status(sent), "SENDING");  // written, never acknowledged
  program.Pump(4000);                          // attempts meanwhile run into the dead path
  ASSERT_TRUE(Restore());
  ASSERT_TRUE(program.PumpUntil(
      [&] { return program.Status(sent) == "SENT" && program.ReceivedMessages().size() == 2; },
      30000))
      << Errors();
  program.Pump(1000);
  ASSERT_EQ(program.ReceivedMessages().size(), 2u);
  EXPECT_EQ(program.ReceivedMessages()[1].body, "while dead");
  EXPECT_TRUE(
      bob.WaitFor([&](const std::string&) { return bob.Received("alice@localhost").size() == 1; }));
  program.Pump(500);
  EXPECT_THAT(bob.Received("alice@localhost"), ::testing::ElementsAre("into the void"));
  std::printf(
      "a silently dead path was noticed after %lld ms (ping every 1 s, answer within 2 s)\n",
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(noticed - dropped).count()));
}

}  // namespace
