#pragma once

// The stand-in chat client: plays the client's side of the desktop API for tests and the demo. Its
// chat network is make-believe: the user plays the contacts, whose messages arrive when told
// (Receive), and what the program sends is recorded (Sent). The desktop API itself is the
// library's (chatapi::ChatApiServer); this class is its backend.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "chatapi/chat_api_server.h"
#include "platform/desktop.h"

namespace standin {

using chatapi::AttachMode;
using chatapi::Direction;
using chatapi::TranscriptSink;

struct ClientOptions {
  std::string user = "alice";
  std::vector<std::string> contacts = {"bob", "carol"};
  int protocol = 4;
  AttachMode attach = AttachMode::kSuccess;
  // The keyword of the line that answers a friends search: "USERS" or "FRIENDS".
  std::string searchReply = "USERS";
};

class StandInClient final : private chatapi::ChatBackend {
 public:
  StandInClient(platform::Desktop& desktop, ClientOptions options, TranscriptSink transcript = {});
  StandInClient(const StandInClient&) = delete;
  StandInClient& operator=(const StandInClient&) = delete;

  platform::Hwnd Window() const { return server_.Window(); }
  // Program windows that have been told of a successful attach.
  const std::set<platform::Hwnd>& Programs() const { return server_.Programs(); }

  // Broadcasts that the API has become available (status 0x8001).
  void AnnounceApi() { server_.AnnounceApi(); }
  // A chat message from `from` arrives: it gets the next id and every attached program is told
  // "CHATMESSAGE id STATUS RECEIVED". Returns the id. With `chain` > 1 it is the first of a chain
  // of that many: when a program asks for a message's BODY, the next message of the chain
  // arrives before the answer, from inside the program's request, so each one nests a level
  // deeper in the program than the one before.
  std::int32_t Receive(const std::string& from, const std::string& body, int chain = 1);
  // Sends a line as it stands to every attached program.
  void SendRaw(const std::string& line) { server_.SendRaw(line); }
  void SetProtocol(int protocol);
  void SetContacts(std::vector<std::string> contacts) { options_.contacts = std::move(contacts); }
  void SetUser(std::string user) { options_.user = std::move(user); }
  const ClientOptions& Options() const { return options_; }

  // What the program sent with "MESSAGE handle text", in order.
  struct SentMessage {
    std::string handle;
    std::string text;
  };
  const std::vector<SentMessage>& Sent() const { return sent_; }
  // Called after each "MESSAGE" command is recorded.
  std::function<void(const SentMessage&)> OnMessageSent;

 private:
  std::string UserHandle() override { return options_.user; }
  std::vector<std::string> Contacts() override { return options_.contacts; }
  Property ChatMessageProperty(std::int32_t id, std::string_view property) override;
  std::optional<std::int32_t> SendChatMessage(const std::string& handle,
                                              const std::string& text) override;

  ClientOptions options_;
  chatapi::ChatApiServer server_;
  struct ChatMessage {
    std::string from;
    std::string body;
    int chainAfter = 0;  // messages of its chain still to come
  };
  std::map<std::int32_t, ChatMessage> messages_;
  std::int32_t nextMessageId_ = 1000;
  std::vector<SentMessage> sent_;
};

// Every byte visible: printable ASCII as itself, a backslash doubled, anything else as \xHH.
std::string EscapeBytes(std::string_view bytes);
// The reverse of EscapeBytes for command arguments; also knows \n, \r and \t.
std::string UnescapeArgument(std::string_view text);

}  // namespace standin
