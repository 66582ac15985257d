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
  void SendChat(OutgoingChat message) override { sent.push_back(std::move(message)); }
  void SetArchivePoint(const std::string&) override {}
  std::vector<OutgoingChat> sent;
};

// The bridge behind a chat API server, with Parlavant's link as the program.
class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() {
    bridge.SetUser("alice@example.org");
    bridge.SetServer(&server);
    bridge.OnNotice = [this](const std::string& text) { notices.push_back(text); };
    bridge.OnDelivered = [this](const std::string& id) { delivered.push_back(id); };
    StartProgram();
  }
  void StartProgram() {
    link.reset();
    app = std::make_unique<platform::ApplicationWindow>(*desktop, "Parlavant");
    link = std::make_unique<chatlink::TSkypeControl>(*app);
    link->OnCopyData = [this](const std::string& line) { lines.push_back(line); };
  }
  void Attach() {
    link->Attach(4);
    lines.clear();
  }

  std::unique_ptr<platform::Desktop> desktop = platform::MakeInProcessDesktop();
  std::unique_ptr<platform::ApplicationWindow> app;
  std::unique_ptr<chatlink::TSkypeControl> link;
  FakeNetwork network;
  Bridge bridge{network, [] {
                  BridgeLimits l;
                  l.maxBodyBytes = 64;
                  l.maxStanzaBytes = 400;
                  l.maxHeldReceived = 3;
                  l.maxHeldBytes = 10;
                  l.maxUnacknowledged = 2;
                  l.maxKeptMessages = 3;
                  l.maxKeptBytes = 12;
                  l.maxContacts = 3;
                  return l;
                }()};
  chatapi::ChatApiServer server{*desktop, bridge, {}};
  std::vector<std::string> lines, notices, delivered;
};

TEST_F(BridgeTest, AReceivedMessageIsAnnouncedAndItsPropertiesAnswered) {
  Attach();
  bridge.Received("bob@example.org", "Hola \xF0\x9F\x98\x80", "archive-1");
  link->GetChatMessageProperty(1000, chatlink::cmFromHandle);
  link->GetChatMessageProperty(1000, chatlink::cmBody);
  link->GetChatMessageProperty(1000, chatlink::cmStatus);
  EXPECT_THAT(lines, ElementsAre("CHATMESSAGE 1000 STATUS RECEIVED",
                                 "CHATMESSAGE 1000 FROM_HANDLE bob@example.org",
                                 "CHATMESSAGE 1000 BODY Hola \xF0\x9F\x98\x80",
                                 "CHATMESSAGE 1000 STATUS RECEIVED"));
  EXPECT_THAT(delivered, ElementsAre("archive-1"));
  // Only a sent message has a recipient; a message without an archive id gives no archive point.
  EXPECT_FALSE(bridge.ChatMessageProperty(1000, "TO_HANDLE").value);
  bridge.Received("bob@example.org", "sin archivo");
  EXPECT_THAT(delivered, ElementsAre("archive-1"));
}

TEST_F(BridgeTest, HeldMessagesAreBoundedByCountAndBytesAndGoFirst) {
  bridge.Received("bob@example.org", "1234");
  bridge.Received("bob@example.org", "5678");
  bridge.Received("bob@example.org", "abcd");  // 12 bytes: the oldest goes
  EXPECT_EQ(bridge.HeldCount(), 2u);
  EXPECT_THAT(notices,
              ElementsAre("no program takes messages: the oldest held message was dropped"));
  // A program attaches; a new message comes before the held ones were announced: it waits
  // behind them, so the program hears them in the order they came.
  Attach();
  bridge.Received("bob@example.org", "e");
  EXPECT_THAT(lines, IsEmpty());
  bridge.Flush();
  EXPECT_THAT(lines,
              ElementsAre("CHATMESSAGE 1001 STATUS RECEIVED", "CHATMESSAGE 1002 STATUS RECEIVED",
                          "CHATMESSAGE 1003 STATUS RECEIVED"));
  EXPECT_EQ(bridge.HeldCount(), 0u);
}

TEST_F(BridgeTest, AMessageAnnouncedToAProgramThatHasGoneStaysHeldForTheNext) {
  Attach();
  bridge.Received("bob@example.org", "one", "archive-1");
  // Parlavant's window goes without a word: the chat client learns it only from the next send.
  link.reset();
  app.reset();
  bridge.Received("bob@example.org", "two", "archive-2");
  bridge.Flush();
  EXPECT_EQ(bridge.HeldCount(), 1u);
  EXPECT_THAT(delivered, ElementsAre("archive-1"));

  StartProgram();
  Attach();
  bridge.Flush();
  EXPECT_THAT(lines, ElementsAre("CHATMESSAGE 1001 STATUS RECEIVED"));
  EXPECT_THAT(delivered, ElementsAre("archive-1", "archive-2"));
}

TEST_F(BridgeTest, SentOnlyOnceAcknowledgedAndFailedWhenAnErrorFollows) {
  Attach();
  link->SendChatMessage("bob@example.org", "Hello \xF0\x9F\x98\x80");
  link->SendChatMessage("bob@", "x");
  ASSERT_EQ(network.sent.size(), 1u);
  EXPECT_EQ(network.sent[0].to, "bob@example.org");
  EXPECT_EQ(network.sent[0].body, "Hello \xF0\x9F\x98\x80");
  EXPECT_THAT(lines,
              ElementsAre("CHATMESSAGE 1000 STATUS SENDING", "ERROR 26 Invalid user handle"));
  lines.clear();
  bridge.Flush();
  EXPECT_THAT(lines, IsEmpty());  // written is not acknowledged
  bridge.MessageAcknowledged(network.sent[0].id);
  // The recipient's server bounces it later.
  bridge.MessageFailed(network.sent[0].id, "the server answered item-not-found");
  link->GetChatMessageProperty(1000, chatlink::cmFromHandle);
  EXPECT_THAT(lines, ElementsAre("CHATMESSAGE 1000 STATUS SENT", "CHATMESSAGE 1000 STATUS FAILED",
                                 "CHATMESSAGE 1000 FROM_HANDLE alice@example.org"));
  EXPECT_THAT(notices, ElementsAre("a message to bob@example.org was not delivered: the server "
                                   "answered item-not-found"));
  EXPECT_EQ(*bridge.ChatMessageProperty(1000, "TO_HANDLE").value, "bob@example.org");
  // A second error for the same message, and one for a message nobody knows, change nothing.
  lines.clear();
  bridge.MessageFailed(network.sent[0].id, "the server answered item-not-found");
  bridge.MessageFailed("pv-unknown-1", "the server answered item-not-found");
  EXPECT_THAT(lines, IsEmpty());
  EXPECT_EQ(notices.size(), 2u);
}

TEST_F(BridgeTest, WhatTheServerCannotCarryFailsBeforeItGoesOut) {
  Attach();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"bell \x07", "U+0007"},
      {"cut \xC3", "not valid UTF-8"},
      {"\xEF\xBF\xBE", "U+FFFE"},
      {"\xED\xA0\x80", "U+D800"},                       // a lone surrogate
      {std::string(40, '<'), "past the bound of 400"},  // 160 bytes once escaped
      {std::string(65, 'y'), "past the bound of 64"},
  };
  // At the bound is within it, both ways.
  link->SendChatMessage("bob@example.org", std::string(64, 'y'));
  bridge.Received("bob@example.org", std::string(64, 'z'));
  bridge.Received("bob@example.org", std::string(65, 'z'));
  EXPECT_EQ(network.sent.size(), 1u);
  EXPECT_EQ(lines.back(), "CHATMESSAGE 1001 STATUS RECEIVED");
  EXPECT_EQ(notices.size(), 1u);
  network.sent.clear();
  notices.clear();
  for (const auto& [body, why] : cases) {
    const std::int32_t id = *bridge.SendChatMessage("bob@example.org", body);
    bridge.Flush();
    EXPECT_EQ(lines.back(), "CHATMESSAGE " + std::to_string(id) + " STATUS FAILED") << why;
    EXPECT_THAT(notices.back(), ::testing::HasSubstr(why));
  }
  EXPECT_THAT(network.sent, IsEmpty());
  // Tab, line ends and characters beyond U+FFFF go.
  link->SendChatMessage("bob@example.org", "a\tb\r\nc \xF0\x9F\x98\x80");
  EXPECT_EQ(network.sent.size(), 1u);
}

TEST_F(BridgeTest, UnacknowledgedMessagesAreBounded) {
  Attach();
  for (int i = 0; i < 3; ++i) link->SendChatMessage("bob@example.org", "m");
  bridge.Flush();
  EXPECT_EQ(network.sent.size(), 2u);
  EXPECT_EQ(lines.back(), "CHATMESSAGE 1002 STATUS FAILED");
  bridge.MessageAcknowledged(network.sent[0].id);
  link->SendChatMessage("bob@example.org", "m");
  EXPECT_EQ(network.sent.size(), 3u);
}

TEST_F(BridgeTest, TheRosterLeavesOutWhatCannotTravelAndIsBounded) {
  bridge.SetRoster({"bob@example.org", "o,dd@example.org", "carol@example.org",
                    "d\xC3\xA9@example.org", "eve@example.org", "frank@example.org"});
  EXPECT_THAT(bridge.Contacts(),
              ElementsAre("bob@example.org", "carol@example.org", "d\xC3\xA9@example.org"));
  EXPECT_EQ(notices.size(), 2u);
  Attach();
  link->Search(chatlink::stFriends, "");
  EXPECT_THAT(lines,
              ElementsAre("USERS bob@example.org, carol@example.org, d\xC3\xA9@example.org"));
}

TEST_F(BridgeTest, OnlyTheNewestMessagesAreKeptByCountAndBytes) {
  Attach();
  for (int i = 0; i < 4; ++i) bridge.Received("bob@example.org", "m" + std::to_string(i));
  bridge.Received("bob@example.org", "0123456789");  // 12 bytes with m3's two
  lines.clear();
  link->GetChatMessageProperty(1000, chatlink::cmBody);
  link->GetChatMessageProperty(1002, chatlink::cmBody);
  link->GetChatMessageProperty(1003, chatlink::cmBody);
  link->GetChatMessageProperty(1004, chatlink::cmBody);
  EXPECT_THAT(lines, ElementsAre("ERROR 14 Invalid message id", "ERROR 14 Invalid message id",
                                 "CHATMESSAGE 1003 BODY m3", "CHATMESSAGE 1004 BODY 0123456789"));
}

// A message still held when the bound on kept messages forgot it is never announced: a program
// would ask about an id the client no longer knows.
TEST_F(BridgeTest, AHeldMessageForgottenMeanwhileIsNotAnnounced) {
  bridge.Received("bob@example.org", "a");
  for (int i = 0; i < 3; ++i) {
    bridge.SendChatMessage("bob@example.org", "m");
    bridge.MessageAcknowledged(network.sent.back().id);
  }
  Attach();
  bridge.Received("bob@example.org", "b");
  bridge.Flush();
  EXPECT_THAT(lines, ElementsAre("CHATMESSAGE 1004 STATUS RECEIVED"));
  EXPECT_EQ(bridge.HeldCount(), 0u);
}

TEST(Jid, ValidAndBare) {
  for (const char* good :
       {"bob@example.org", "example.org", "bob@example.org/phone 1", "d\xC3\xA9@example.org"}) {
    EXPECT_TRUE(IsValidJid(good)) << good;
  }
  for (const char* bad :
       {"", "bob@", "@example.org", "bob example.org", "a@b@c", "bob@x/", "a<b@example.org",
        "a>b@example.org", "a&b@example.org", "a\"b@example.org", "a'b@example.org",
        "a\x7F@example.org", "a\tb@example.org", "bob@.org", "bob@example.org."}) {
    EXPECT_FALSE(IsValidJid(bad)) << bad;
  }
  // The bound is 3071 bytes, the three parts' bounds together.
  const std::string longest = std::string(3071 - 12, 'a') + "@example.org";
  EXPECT_TRUE(IsValidJid(longest));
  EXPECT_FALSE(IsValidJid(longest + "a"));
  EXPECT_EQ(BareJid("bob@example.org/phone"), "bob@example.org");
  EXPECT_EQ(BareJid("bob@example.org"), "bob@example.org");
}

}  // namespace
}  // namespace xmpp
