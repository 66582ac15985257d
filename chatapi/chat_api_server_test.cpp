#include "chatapi/chat_api_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace chatapi
