#include "chatapi/chat_api_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "chatlink/skype_control.h"
#include "platform/app_window.h"

namespace chatapi {
namespace {

using ::testing::ElementsAre;

// A backend whose every answer is the test's, so that what reaches the program can be traced.
class Backend : public ChatBackend {
 public:
  std::string UserHandle() override { return "zed"; }
  std::vector<std::string> Contacts() override { return {"x", "y"}; }
  Property ChatMessageProperty(std::int32_t id, std::string_view property) override {
    asked.push_back(std::to_string(id) + " " + std::string(property));
    if (id != 7) return {};
    if (property == "BODY") return {true, std::string("  spaced body ")};
    return {true, std::nullopt};
  }
  std::optional<std::int32_t> SendChatMessage(const std::string& handle,
                                              const std::string& text) override {
    sent.push_back(handle + "|" + text);
    if (handle == "bad") return std::nullopt;
    return 42;
  }
  std::vector<std::string> asked, sent;
};

TEST(ChatApiServer, AnswersFromItsBackendWhileTheCommandIsInFlight) {
  auto desktop = platform::MakeInProcessDesktop();
  platform::ApplicationWindow app(*desktop, "Parlavant");
  chatlink::TSkypeControl link(app);
  std::vector<std::string> lines;
  link.OnCopyData = [&](const std::string& line) { lines.push_back(line); };
  Backend backend;
  ChatApiServer server(*desktop, backend, ServerOptions{3, AttachMode::kSuccess, "FRIENDS"});
  link.Attach(4);
  ASSERT_THAT(server.Programs(), ElementsAre(app.Handle()));
  link.Search(chatlink::stFriends, "");
  link.GetChatMessageProperty(7, chatlink::cmBody);
  link.GetChatMessageProperty(7, chatlink::cmTimestamp);
  link.GetChatMessageProperty(8, chatlink::cmBody);
  link.SendChatMessage("x", "hi there ");
  link.SendChatMessage("bad", "refused");
  server.NotifyReceived(9);
  EXPECT_THAT(lines, ElementsAre("OK", "PROTOCOL 3", "CURRENTUSERHANDLE zed", "FRIENDS x, y",
                                 "CHATMESSAGE 7 BODY   spaced body ", "ERROR 15 Invalid property",
                                 "ERROR 14 Invalid message id", "CHATMESSAGE 42 STATUS SENDING",
                                 "ERROR 26 Invalid user handle", "CHATMESSAGE 9 STATUS RECEIVED"));
  EXPECT_THAT(backend.asked, ElementsAre("7 BODY", "7 TIMESTAMP", "8 BODY"));
  EXPECT_THAT(backend.sent, ElementsAre("x|hi there ", "bad|refused"));
}

// A program of the test's own on the desktop: it discovers and sends raw lines, and records
// every attach status and line it gets; its window answers a line with `answer`.
class RawProgram {
 public:
  explicit RawProgram(platform::Desktop& desktop) : desktop_(desktop) {
    attach_ = desktop.RegisterMessage("SkypeControlAPIAttach");
    window = desktop.MakeWindow("program", [this](platform::Hwnd, platform::MsgId msg,
                                                  platform::WParam w, platform::LParam l) {
      if (msg == attach_) {
        statuses.push_back(l);
        senders.push_back(static_cast<platform::Hwnd>(w));
        return platform::LResult{1};
      }
      if (msg == platform::kWmCopyData) {
        const auto* data = reinterpret_cast<const platform::CopyDataStruct*>(l);
        lines.push_back(platform::CopiedLine(data));
        // Programs written in C read the line as a string: it must carry its NUL.
        unterminated +=
            data->cbData == 0 || static_cast<const char*>(data->lpData)[data->cbData - 1] != '\0';
        return answer;
      }
      return platform::LResult{0};
    });
  }
  void Discover() {
    desktop_.SendNotify(platform::kHwndBroadcast,
                        desktop_.RegisterMessage("SkypeControlAPIDiscover"), window, 0);
  }
  // The server's answer to the line, as its window procedure gave it.
  platform::LResult Command(std::string line) {
    line.push_back('\0');
    platform::CopyDataStruct data;
    data.cbData = static_cast<std::uint32_t>(line.size());
    data.lpData = line.data();
    return desktop_.Send(senders.at(0), platform::kWmCopyData, window,
                         reinterpret_cast<platform::LParam>(&data));
  }

  platform::Hwnd window = 0;
  platform::LResult answer = 1;
  std::vector<platform::LParam> statuses;
  std::vector<platform::Hwnd> senders;
  std::vector<std::string> lines;
  int unterminated = 0;

 private:
  platform::Desktop& desktop_;
  platform::MsgId attach_ = 0;
};

platform::Hwnd ApiWindow(platform::Desktop& desktop) {
  platform::Hwnd found = 0;
  desktop.EnumWindows([&](platform::Hwnd window) {
    char title[64] = {};
    desktop.GetTitle(window, title, sizeof title);
    if (std::string(title) == "Chat client API") found = window;
    return found == 0;
  });
  return found;
}

TEST(ChatApiServer, ReadsCommandsWordByWordAndRefusesWhatItDoesNotKnow) {
  auto desktop = platform::MakeInProcessDesktop();
  Backend backend;
  ChatApiServer server(*desktop, backend, ServerOptions{7, AttachMode::kSuccess, "USERS"});
  RawProgram program(*desktop);
  program.Discover();
  ASSERT_THAT(program.statuses, ElementsAre(0));
  for (const char* line :
       {"  PING  ", "PROTOCOL 5x", "PROTOCOL", "PROTOCOL  9 ", "SEARCH USERS", "SEARCH  FRIENDS ",
        "SEARCH CHATS", "GET USER 7 BODY", "GET CHATMESSAGE 7x BODY", "GET  CHATMESSAGE  7  BODY",
        "MESSAGE x", "MESSAGE  x hi", "PONG"}) {
    EXPECT_EQ(program.Command(line), 1) << line;
  }
  EXPECT_THAT(program.lines,
              ElementsAre("PONG", "ERROR 3 Invalid protocol number",
                          "ERROR 3 Invalid protocol number", "PROTOCOL 7", "CURRENTUSERHANDLE zed",
                          "USERS x, y", "USERS x, y", "ERROR 4 Search type not supported",
                          "ERROR 7 Invalid GET command", "ERROR 7 Invalid GET command",
                          "CHATMESSAGE 7 BODY   spaced body ", "ERROR 26 Invalid user handle",
                          "ERROR 26 Invalid user handle", "ERROR 2 Unknown command"));
  EXPECT_EQ(program.unterminated, 0);
  EXPECT_THAT(backend.sent, ElementsAre());
}

// Only an attached program may command the client; one that was refused, or never asked, is
// answered 0 and nothing else. A program is forgotten only once its window is gone, not because
// it answered 0 to one line (busy); a gone program does not keep the others from hearing.
TEST(ChatApiServer, AttachedProgramsAreKeptUntilTheirWindowIsGone) {
  auto desktop = platform::MakeInProcessDesktop();
  Backend backend;
  auto refusing =
      std::make_unique<ChatApiServer>(*desktop, backend, ServerOptions{3, AttachMode::kRefused});
  RawProgram stranger(*desktop);
  stranger.Discover();
  ASSERT_THAT(stranger.statuses, ElementsAre(2));
  EXPECT_EQ(stranger.Command("PING"), 0);
  EXPECT_THAT(stranger.lines, ElementsAre());
  refusing.reset();

  ChatApiServer server(*desktop, backend, ServerOptions{3, AttachMode::kPendingThenSuccess});
  auto first = std::make_unique<RawProgram>(*desktop);
  RawProgram second(*desktop);
  first->Discover();
  second.Discover();
  ASSERT_THAT(second.statuses, ElementsAre(1, 0));
  EXPECT_EQ(second.senders.at(1), ApiWindow(*desktop));
  first->answer = 0;  // busy
  EXPECT_EQ(server.NotifyReceived(1), 1);
  first->answer = 1;
  EXPECT_EQ(server.NotifyReceived(2), 2);
  EXPECT_THAT(first->lines,
              ElementsAre("CHATMESSAGE 1 STATUS RECEIVED", "CHATMESSAGE 2 STATUS RECEIVED"));
  desktop->DestroyWindow(first->window);
  EXPECT_EQ(server.NotifyReceived(3), 1);
  server.SendRaw("CHATMESSAGE 3 STATUS READ");
  EXPECT_EQ(server.Programs().size(), 1u);
  EXPECT_THAT(second.lines,
              ElementsAre("CHATMESSAGE 1 STATUS RECEIVED", "CHATMESSAGE 2 STATUS RECEIVED",
                          "CHATMESSAGE 3 STATUS RECEIVED", "CHATMESSAGE 3 STATUS READ"));
}

// A status goes to every attached program, and one whose window went is dropped on the way
// without disturbing the walk over the others.
TEST(ChatApiServer, EveryStatusReachesEveryProgramAndOneThatWentIsDroppedOnTheWay) {
  auto desktop = platform::MakeInProcessDesktop();
  Backend backend;
  ChatApiServer server(*desktop, backend, ServerOptions{3, AttachMode::kSuccess});
  std::vector<std::unique_ptr<RawProgram>> programs;
  for (int i = 0; i < 3; ++i) {
    programs.push_back(std::make_unique<RawProgram>(*desktop));
    programs.back()->Discover();
  }
  ASSERT_EQ(server.Programs().size(), 3u);
  server.SendRaw("CHATMESSAGE 1 STATUS READ");
  for (const auto& program : programs) {
    EXPECT_THAT(program->lines, ElementsAre("CHATMESSAGE 1 STATUS READ"));
  }
  // Each broadcast meets a program that has just gone, wherever it stands in the set.
  for (const platform::Hwnd gone : {*std::next(server.Programs().begin()),
                                    *server.Programs().begin()}) {
    desktop->DestroyWindow(gone);
    server.SendRaw("CHATMESSAGE 2 STATUS READ");
  }
  ASSERT_EQ(server.Programs().size(), 1u);
  RawProgram& last = **std::find_if(programs.begin(), programs.end(), [&](const auto& p) {
    return p->window == *server.Programs().begin();
  });
  EXPECT_THAT(last.lines, ElementsAre("CHATMESSAGE 1 STATUS READ", "CHATMESSAGE 2 STATUS READ",
                                      "CHATMESSAGE 2 STATUS READ"));
  desktop->DestroyWindow(last.window);
  EXPECT_EQ(server.NotifyReceived(3), 0);
  EXPECT_TRUE(server.Programs().empty());
}

// The client says it is there from its API window, which goes with it.
TEST(ChatApiServer, TheAnnouncementComesFromTheApiWindowWhichGoesOnShutdown) {
  auto desktop = platform::MakeInProcessDesktop();
  Backend backend;
  RawProgram program(*desktop);
  platform::Hwnd api = 0;
  {
    ChatApiServer server(*desktop, backend, ServerOptions{});
    api = ApiWindow(*desktop);
    ASSERT_NE(api, 0u);
    server.AnnounceApi();
    EXPECT_THAT(program.statuses, ElementsAre(0x8001));
    EXPECT_THAT(program.senders, ElementsAre(api));
  }
  EXPECT_FALSE(desktop->IsWindow(api));
  EXPECT_EQ(ApiWindow(*desktop), 0u);
}

}  // namespace
}  // namespace chatapi
