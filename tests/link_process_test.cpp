// The program's side of the link against the stand-in chat client running as its own process,
// over a socket desktop of the test's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "chatlink/skype_control.h"
#include "platform/app_window.h"
#include "testsupport/child_process.h"
#include "testsupport/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;

class LinkProcessTest : public ::testing::Test {
 protected:
  LinkProcessTest() {
    desktop = platform::OpenDesktop(dir_ + "/d");
    app = std::make_unique<platform::ApplicationWindow>(*desktop, "Parlavant");
    link = std::make_unique<chatlink::TSkypeControl>(*app);
    link->IdentName = "Parlavant";
    link->AutoReAttach = true;
    link->OnAttachSuccess = [this](chatlink::TSkypeControl& l) {
      ++successes;
      l.Search(chatlink::stFriends, "");
    };
    link->OnCurrentUserHandle = [this](const std::string& h) { users.push_back(h); };
    link->OnSearchResult = [this](chatlink::TSkypeSearchType, chatlink::TStringList list) {
      contacts = std::move(list);
    };
    link->OnChatMsgInfo = [this](int id, chatlink::TSkypeChatMsgProperty p, const std::string& d) {
      if (p == chatlink::cmStatus && d == "RECEIVED") {
        inRequest = true;
        link->GetChatMessageProperty(id, chatlink::cmFromHandle);
        link->GetChatMessageProperty(id, chatlink::cmBody);
        inRequest = false;
        return;
      }
      if (p == chatlink::cmFromHandle) {
        from[id] = d;
        answeredInsideRequest += inRequest;
      }
      if (p == chatlink::cmBody) {
        body[id] = d;
        answeredInsideRequest += inRequest;
      }
    };
  }
  ~LinkProcessTest() override {
    client.reset();
    link.reset();
    app.reset();
    desktop.reset();
  }

  std::unique_ptr<ChildProcess> StartClient(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {CHATCLIENT_PATH, "--desktop", dir_ + "/d", "--transcript",
                                     Transcript()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto child = std::make_unique<ChildProcess>(argv);
    EXPECT_TRUE(child->Running());
    return child;
  }
  std::string Transcript() const { return dir_ + "/transcript"; }
  std::vector<std::string> TranscriptLines() const {
    std::ifstream in(Transcript());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Serves the desktop until `done` holds; at most 20 s.
  bool PumpUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 400 && !done(); ++i) desktop->WaitAndProcess(50);
    return done();
  }

  testsupport::TempDir temp_{"plink"};
  const std::string dir_ = temp_.Path();
  std::unique_ptr<platform::Desktop> desktop;
  std::unique_ptr<platform::ApplicationWindow> app;
  std::unique_ptr<chatlink::TSkypeControl> link;
  std::unique_ptr<ChildProcess> client;
  int successes = 0;
  std::vector<std::string> users;
  chatlink::TStringList contacts;
  std::map<int, std::string> from, body;
  bool inRequest = false;
  int answeredInsideRequest = 0;
};

TEST_F(LinkProcessTest, AttachesIdentifiesAndFetchesAChatMessageWhileAskingForIt) {
  client = StartClient({"--user", "alice", "--contacts", "bob,carol"});
  link->Attach(4);
  ASSERT_TRUE(PumpUntil([&] { return !contacts.empty() && !users.empty(); }));
  EXPECT_THAT(contacts, ::testing::ElementsAre("bob", "carol"));
  EXPECT_EQ(users.back(), "alice");
  EXPECT_EQ(link->ProtocolNumber, 4);

  ASSERT_TRUE(client->Write("receive bob Hola  amigo \\xC3\\xA9\n"));
  ASSERT_TRUE(PumpUntil([&] { return body.size() == 1 && from.size() == 1; }));
  const int id = body.begin()->first;
  EXPECT_EQ(from[id], "bob");
  EXPECT_EQ(body[id], "Hola  amigo \xC3\xA9");
  EXPECT_EQ(answeredInsideRequest, 2);

  std::vector<std::string> in;
  for (const auto& line : TranscriptLines()) {
    if (line.rfind("in ", 0) == 0) in.push_back(line);
  }
  ASSERT_GE(in.size(), 3u);
  // The identification goes out first, whichever side started the attach.
  EXPECT_THAT(std::vector<std::string>(in.begin(), in.begin() + 3),
              ::testing::ElementsAre("in NAME Parlavant", "in PROTOCOL 4", "in SEARCH FRIENDS "));
}

TEST_F(LinkProcessTest, AClientThatNestsWithoutEndIsAnsweredZeroPastTheBound) {
  client = StartClient({"--contacts", "bob"});
  link->Attach(4);
  ASSERT_TRUE(PumpUntil([&] { return !contacts.empty(); }));
  // Each message of the chain arrives while the link asks for the body of the one before.
  int depth = 0, deepest = 0;
  auto fetch = link->OnChatMsgInfo;
  link->OnChatMsgInfo = [&](int id, chatlink::TSkypeChatMsgProperty p, const std::string& d) {
    deepest = std::max(deepest, ++depth);
    fetch(id, p, d);
    --depth;
  };
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(client->Write("nest 200 bob deep\nreceive bob after\n"));
  const bool after = PumpUntil([&] {
    return std::any_of(body.begin(), body.end(), [](const auto& b) { return b.second == "after"; });
  });
  const std::string errors = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(after);
  const auto deep = std::count_if(body.begin(), body.end(), [&](const auto& b) {
    return b.second == "deep" && from[b.first] == "bob";
  });
  EXPECT_GE(deep, platform::kMaxNestedDeliveries / 2);
  EXPECT_LT(deep, platform::kMaxNestedDeliveries);
  EXPECT_GT(deepest, platform::kMaxNestedDeliveries / 2);
  EXPECT_LE(deepest, platform::kMaxNestedDeliveries);
  // Reported once, however many messages were refused.
  const std::string report = "nested more than 64 deep";
  ASSERT_NE(errors.find(report), std::string::npos) << errors;
  EXPECT_EQ(errors.find(report, errors.find(report) + 1), std::string::npos) << errors;
  EXPECT_TRUE(client->Alive());
}

TEST_F(LinkProcessTest, ReattachesWhenTheClientComesBack) {
  client = StartClient({"--user", "alice"});
  link->Attach(4);
  ASSERT_TRUE(PumpUntil([&] { return successes >= 1 && !users.empty(); }));
  const platform::Hwnd first = link->SkypeWindow();
  client->Kill();

  // A command to the vanished client is dropped without waiting, and the owner is told: the link
  // is no longer attached until the client comes back.
  int gone = 0;
  link->OnClientGone = [&](chatlink::TSkypeControl&) { ++gone; };
  EXPECT_FALSE(link->SendChatMessage("bob", "anyone there?"));
  EXPECT_FALSE(link->Attached());
  EXPECT_FALSE(link->SendChatMessage("bob", "still nobody?"));
  EXPECT_EQ(gone, 1);

  users.clear();
  client = StartClient({"--user", "dave", "--contacts", "erin"});
  ASSERT_TRUE(
      PumpUntil([&] { return !users.empty() && contacts == chatlink::TStringList{"erin"}; }));
  EXPECT_EQ(users.back(), "dave");
  EXPECT_NE(link->SkypeWindow(), first);
  EXPECT_TRUE(link->Attached());

  ASSERT_TRUE(client->Write("receive erin back again\n"));
  ASSERT_TRUE(PumpUntil([&] { return !body.empty() && !from.empty(); }));
  EXPECT_EQ(body.begin()->second, "back again");
}

TEST_F(LinkProcessTest, TheConsoleDemoAttachesPrintsWhatArrivesAndSendsWhatIsTyped) {
  client = StartClient({"--user", "alice", "--contacts", "bob,carol"});
  const std::string out = dir_ + "/demo.out";
  ChildProcess demo({LINKDEMO_PATH, "--desktop", dir_ + "/d"}, out);
  auto printed = [&](const std::string& text) {
    std::string lines = testsupport::FileText(out);
    // Windows ends a console program's lines with CR LF.
    lines.erase(std::remove(lines.begin(), lines.end(), '\r'), lines.end());
    return lines.find(text) != std::string::npos;
  };
  // The test's own link attaches too when the client announces itself: it is served meanwhile.
  ASSERT_TRUE(PumpUntil([&] { return printed("contacts: bob carol\n"); }));
  EXPECT_TRUE(printed("signed in as alice\n"));
  ASSERT_TRUE(demo.Write("to carol Hello there\n"));
  ASSERT_TRUE(PumpUntil([&] {
    for (const auto& line : TranscriptLines()) {
      if (line == "in MESSAGE carol Hello there") return true;
    }
    return false;
  }));
  ASSERT_TRUE(client->Write("receive bob Hola\n"));
  ASSERT_TRUE(PumpUntil([&] { return printed("bob: Hola\n"); }));
  EXPECT_EQ(demo.Stop(), 0);  // the end of its input ends it
}

TEST_F(LinkProcessTest, RefusedAttachLeavesTheLinkDetached) {
  bool refused = false;
  link->OnAttachRefused = [&](chatlink::TSkypeControl&) { refused = true; };
  client = StartClient({"--attach", "refused"});
  link->Attach(4);
  ASSERT_TRUE(PumpUntil([&] { return refused; }));
  EXPECT_FALSE(link->Attached());
}

#if CHATCLIENT_HAS_WINDOW
TEST_F(LinkProcessTest, TheClientsWindowModeAttachesToo) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // for the client's window
  client = StartClient({"--window", "--user", "alice", "--contacts", "bob"});
  link->Attach(4);
  ASSERT_TRUE(PumpUntil([&] { return !contacts.empty() && !users.empty(); }));
  EXPECT_THAT(contacts, ::testing::ElementsAre("bob"));
  EXPECT_TRUE(client->Alive());
  EXPECT_EQ(client->Stop(), 0);  // SIGTERM ends the window too, in good order
}
#endif

}  // namespace
