#include "xmpp/bridge.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chatlink/skype_control.h"
#include "platform/app_window.h"

namespace xmpp {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class FakeNetwork : public Network {
 public:
  bool SendChat(const std::string& to, const std::string& body) override {
    if (!up) return false;
    sent.push_back(to + "|" + body);
    return true;
  }
  bool up = true;
  std::vector<std::string> sent;
};

// The bridge behind a chat API server, with Parlavant's link as the program.
class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() {
    bridge.SetUser("alice@example.org");
    bridge.SetServer(&server);
    bridge.OnNotice = [this](const std::string& text) { notices.push_back(text); };
    link.OnCopyData = [this](const std::string& line) { lines.push_back(line); };
  }
  void Attach() {
    link.Attach(4);
    lines.clear();
  }

  std::unique_ptr<platform::Desktop> desktop = platform::MakeInProcessDesktop();
  platform::ApplicationWindow app{*desktop, "Parlavant"};
  chatlink::TSkypeControl link{app};
  FakeNetwork network;
  Bridge bridge{network, [] {
                  BridgeLimits l;
                  l.maxBodyBytes = 64;
                  l.maxHeldReceived = 2;
                  l.maxQueuedOutgoing = 2;
                  l.maxKeptMessages = 3;
                  l.maxContacts = 3;
                  return l;
                }()};
  chatapi::ChatApiServer server{*desktop, bridge, {}};
  std::vector<std::string> lines, notices;
};

TEST_F(BridgeTest, AReceivedMessageIsAnnouncedAndItsPropertiesAnswered) {
  Attach();
  bridge.Received("bob@example.org", "Hola \xF0\x9F\x98\x80");
  link.GetChatMessageProperty(1000, chatlink::cmFromHandle);
  link.GetChatMessageProperty(1000, chatlink::cmBody);
  link.GetChatMessageProperty(1000, chatlink::cmStatus);
  EXPECT_THAT(lines, ElementsAre("CHATMESSAGE 1000 STATUS RECEIVED",
                                 "CHATMESSAGE 1000 FROM_HANDLE bob@example.org",
                                 "CHATMESSAGE 1000 BODY Hola \xF0\x9F\x98\x80",
                                 "CHATMESSAGE 1000 STATUS RECEIVED"));
}

TEST_F(BridgeTest, MessagesWaitForAProgramAndTheOldestGoPastTheBound) {
  bridge.Received("bob@example.org", "one");
  bridge.Received("bob@example.org", "two");
  bridge.Received("bob@example.org", "three");
  EXPECT_EQ(bridge.HeldCount(), 2u);
  EXPECT_THAT(notices, ElementsAre("no program attached: the oldest held message was dropped"));
  Attach();
  bridge.Flush();
  EXPECT_THAT(lines,
              ElementsAre("CHATMESSAGE 1001 STATUS RECEIVED", "CHATMESSAGE 1002 STATUS RECEIVED"));
  // Held ones go first: a message that comes while some are still held queues behind them.
  EXPECT_EQ(bridge.HeldCount(), 0u);
}

TEST_F(BridgeTest, SendingThenSentOnceWrittenAndErrorsForBadHandles) {
  Attach();
  link.SendChatMessage("bob@example.org", "Hello \xF0\x9F\x98\x80");
  link.SendChatMessage("bob@", "x");
  link.SendChatMessage("@example.org", "x");
  EXPECT_THAT(network.sent, ElementsAre("bob@example.org|Hello \xF0\x9F\x98\x80"));
  bridge.AllWritten();
  link.GetChatMessageProperty(1000, chatlink::cmFromHandle);
  EXPECT_THAT(lines, ElementsAre("CHATMESSAGE 1000 STATUS SENDING", "ERROR 26 Invalid user handle",
                                 "ERROR 26 Invalid user handle", "CHATMESSAGE 1000 STATUS SENT",
                                 "CHATMESSAGE 1000 FROM_HANDLE alice@example.org"));
}

TEST_F(BridgeTest, WhileTheConnectionIsDownMessagesQueueBoundedAndGoOutInOrder) {
  Attach();
  network.up = false;
  link.SendChatMessage("bob@example.org", "first");
  link.SendChatMessage("bob@example.org", "second");
  link.SendChatMessage("bob@example.org", "third");  // past the bound: failed
  EXPECT_EQ(bridge.QueuedCount(), 2u);
  bridge.Flush();
  EXPECT_EQ(lines.back(), "CHATMESSAGE 1002 STATUS FAILED");
  network.up = true;
  bridge.Connected();
  EXPECT_THAT(network.sent, ElementsAre("bob@example.org|first", "bob@example.org|second"));
  bridge.AllWritten();
  EXPECT_THAT(std::vector<std::string>(lines.end() - 2, lines.end()),
              ElementsAre("CHATMESSAGE 1000 STATUS SENT", "CHATMESSAGE 1001 STATUS SENT"));
}

TEST_F(BridgeTest, BodiesPastTheBoundAreRefusedBothWays) {
  Attach();
  bridge.Received("bob@example.org", std::string(65, 'x'));
  EXPECT_THAT(lines, IsEmpty());
  link.SendChatMessage("bob@example.org", std::string(65, 'y'));
  bridge.Flush();
  EXPECT_THAT(network.sent, IsEmpty());
  EXPECT_THAT(lines,
              ElementsAre("CHATMESSAGE 1000 STATUS SENDING", "CHATMESSAGE 1000 STATUS FAILED"));
  EXPECT_EQ(notices.size(), 2u);
  // A body at the bound passes whole.
  bridge.Received("bob@example.org", std::string(64, 'z'));
  link.GetChatMessageProperty(1001, chatlink::cmBody);
  EXPECT_EQ(lines.back(), "CHATMESSAGE 1001 BODY " + std::string(64, 'z'));
}

TEST_F(BridgeTest, TheRosterLeavesOutWhatCannotTravelAndIsBounded) {
  bridge.SetRoster({"bob@example.org", "o,dd@example.org", "carol@example.org",
                    "d\xC3\xA9@example.org", "eve@example.org"});
  EXPECT_THAT(bridge.Contacts(),
              ElementsAre("bob@example.org", "carol@example.org", "d\xC3\xA9@example.org"));
  EXPECT_EQ(notices.size(), 2u);
  Attach();
  link.Search(chatlink::stFriends, "");
  EXPECT_THAT(lines,
              ElementsAre("USERS bob@example.org, carol@example.org, d\xC3\xA9@example.org"));
}

TEST_F(BridgeTest, OnlyTheNewestIdsAreKept) {
  Attach();
  for (int i = 0; i < 4; ++i) bridge.Received("bob@example.org", "m" + std::to_string(i));
  lines.clear();
  link.GetChatMessageProperty(1000, chatlink::cmBody);
  link.GetChatMessageProperty(1003, chatlink::cmBody);
  EXPECT_THAT(lines, ElementsAre("ERROR 14 Invalid message id", "CHATMESSAGE 1003 BODY m3"));
}

TEST(Jid, ValidAndBare) {
  for (const char* good :
       {"bob@example.org", "example.org", "bob@example.org/phone 1", "d\xC3\xA9@example.org"}) {
    EXPECT_TRUE(IsValidJid(good)) << good;
  }
  for (const char* bad : {"", "bob@", "@example.org", "bob example.org", "a@b@c", "bob@x/",
                          "<b>@example.org", "bob@.org"}) {
    EXPECT_FALSE(IsValidJid(bad)) << bad;
  }
  EXPECT_EQ(BareJid("bob@example.org/phone"), "bob@example.org");
  EXPECT_EQ(BareJid("bob@example.org"), "bob@example.org");
}

}  // namespace
}  // namespace xmpp
