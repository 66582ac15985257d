#include "tools/chatclient/stand_in_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chatlink/skype_control.h"

namespace standin {
namespace {

using ::testing::ElementsAre;

struct Traffic {
  std::vector<std::string> lines;
  TranscriptSink Sink() {
    return [this](Direction d, std::string_view line) {
      static const char* names[] = {"in", "out", "attach", "discover"};
      lines.push_back(std::string(names[static_cast<int>(d)]) + " " + std::string(line));
    };
  }
};

// The program's link and the stand-in client on one in-process desktop.
class ClientTest : public ::testing::Test {
 protected:
  void Start(ClientOptions options = {}) {
    client = std::make_unique<StandInClient>(*desktop, options, traffic.Sink());
    link.IdentName = "Parlavant";
    link.AutoReAttach = true;
    link.OnAttachSuccess = [](chatlink::TSkypeControl& l) { l.Search(chatlink::stFriends, ""); };
    link.OnCurrentUserHandle = [this](const std::string& h) { events.push_back("user " + h); };
    link.OnSearchResult = [this](chatlink::TSkypeSearchType t, chatlink::TStringList list) {
      std::string s = "search " + std::to_string(t);
      for (const auto& w : list) s += " " + w;
      events.push_back(s);
    };
    link.OnChatMsgInfo = [this](int id, chatlink::TSkypeChatMsgProperty p, const std::string& d) {
      if (p == chatlink::cmStatus && d == "RECEIVED") {
        link.GetChatMessageProperty(id, chatlink::cmFromHandle);
        link.GetChatMessageProperty(id, chatlink::cmBody);
      }
      events.push_back("chatmsg " + std::to_string(id) + " " + std::to_string(p) + " " + d);
    };
    link.OnError = [this](int code, const std::string& d) {
      events.push_back("error " + std::to_string(code) + " " + d);
    };
  }

  std::unique_ptr<platform::Desktop> desktop = platform::MakeInProcessDesktop();
  platform::ApplicationWindow app{*desktop, "Parlavant"};
  chatlink::TSkypeControl link{app};
  Traffic traffic;
  std::unique_ptr<StandInClient> client;
  std::vector<std::string> events;
};

TEST_F(ClientTest, PlaysTheWholeExchange) {
  Start();
  link.Attach(4);
  const std::int32_t id = client->Receive("bob", "Hallo  Welt ");
  link.SendChatMessage("bob", " Hello\r\nworld");
  EXPECT_THAT(
      traffic.lines,
      ElementsAre("discover " + std::to_string(app.Handle()), "attach 0", "in NAME Parlavant",
                  "out OK", "in PROTOCOL 4", "out PROTOCOL 4", "out CURRENTUSERHANDLE alice",
                  "in SEARCH FRIENDS ", "out USERS bob, carol",
                  "out CHATMESSAGE 1000 STATUS RECEIVED", "in GET CHATMESSAGE 1000 FROM_HANDLE",
                  "out CHATMESSAGE 1000 FROM_HANDLE bob", "in GET CHATMESSAGE 1000 BODY",
                  "out CHATMESSAGE 1000 BODY Hallo  Welt ", "in MESSAGE bob  Hello\r\nworld",
                  "out CHATMESSAGE 1001 STATUS SENDING"));
  EXPECT_EQ(id, 1000);
  EXPECT_THAT(events, ElementsAre("user alice", "search 0 bob carol", "chatmsg 1000 2 bob",
                                  "chatmsg 1000 7 Hallo  Welt ", "chatmsg 1000 8 RECEIVED",
                                  "chatmsg 1001 8 SENDING"));
  ASSERT_EQ(client->Sent().size(), 1u);
  EXPECT_EQ(client->Sent()[0].handle, "bob");
  EXPECT_EQ(client->Sent()[0].text, " Hello\r\nworld");
}

TEST_F(ClientTest, AgreesOnTheLowerProtocolAndAnswersFriendsSearchesAsConfigured) {
  ClientOptions options;
  options.protocol = 3;
  options.searchReply = "FRIENDS";
  options.contacts = {};
  options.user = "zoe";
  Start(options);
  link.Attach(4);
  EXPECT_EQ(link.ProtocolNumber, 3);
  EXPECT_THAT(events, ElementsAre("user zoe", "search 1"));
}

TEST_F(ClientTest, AttachModes) {
  ClientOptions options;
  options.attach = AttachMode::kPendingThenSuccess;
  Start(options);
  std::vector<std::string> statuses;
  link.OnAttachPending = [&](chatlink::TSkypeControl&) { statuses.push_back("pending"); };
  link.OnAttachSuccess = [&](chatlink::TSkypeControl&) { statuses.push_back("success"); };
  link.Attach(4);
  EXPECT_THAT(statuses, ElementsAre("pending", "success"));

  for (auto [mode, expected] : {std::pair{AttachMode::kRefused, "refused"},
                                std::pair{AttachMode::kNotAvailable, "unavailable"}}) {
    auto other = platform::MakeInProcessDesktop();
    platform::ApplicationWindow otherApp(*other, "Parlavant");
    chatlink::TSkypeControl otherLink(otherApp);
    ClientOptions o;
    o.attach = mode;
    StandInClient otherClient(*other, o);
    std::string seen;
    otherLink.OnAttachRefused = [&](chatlink::TSkypeControl&) { seen = "refused"; };
    otherLink.OnAPINotAvailable = [&](chatlink::TSkypeControl&) { seen = "unavailable"; };
    otherLink.Attach(4);
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(otherLink.Attached());
    EXPECT_TRUE(otherClient.Programs().empty());
  }
}

TEST_F(ClientTest, AnnouncementBringsAReattach) {
  Start();
  link.Attach(4);
  traffic.lines.clear();
  client->AnnounceApi();
  EXPECT_THAT(traffic.lines, ::testing::Contains("in NAME Parlavant"));
  EXPECT_EQ(std::count(events.begin(), events.end(), "user alice"), 2);
}

TEST_F(ClientTest, AChainNestsEachMessageInsideTheRequestForThePreviousBody) {
  Start();
  link.Attach(4);
  int depth = 0, deepest = 0;
  auto fetch = link.OnChatMsgInfo;
  link.OnChatMsgInfo = [&](int id, chatlink::TSkypeChatMsgProperty p, const std::string& d) {
    deepest = std::max(deepest, ++depth);
    fetch(id, p, d);
    --depth;
  };
  events.clear();
  client->Receive("bob", "deep", 3);
  // The third message's announcement runs three deep; its sender's answer one deeper still.
  EXPECT_EQ(deepest, 4);
  int bodies = 0;
  for (const auto& e : events) bodies += e.ends_with(" 7 deep");
  EXPECT_EQ(bodies, 3);
}

TEST(Escaping, EveryByteIsVisibleAndArgumentsUnescape) {
  EXPECT_EQ(EscapeBytes(std::string("a\\b\n\0\xC3\xA9~", 8)), "a\\\\b\\x0A\\x00\\xC3\\xA9~");
  EXPECT_EQ(UnescapeArgument("line\\none\\ttab\\x41\\\\\\q\\x4"), "line\none\ttabA\\q\\x4");
  EXPECT_EQ(UnescapeArgument("end\\"), "end\\");
}

}  // namespace
}  // namespace standin
