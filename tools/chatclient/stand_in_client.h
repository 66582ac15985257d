#pragma once

// The stand-in chat client: plays the client's side of the desktop API for tests and the demo.
// It owns one API window on a desktop, answers discovery broadcasts with its attach status,
// answers the program's commands with synchronous sends while the program's command is still in
// flight (as the real client does), and can be told to deliver received chat messages.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop.h"

namespace standin {

enum class AttachMode { kSuccess, kPendingThenSuccess, kRefused, kNotAvailable };

struct ClientOptions {
  std::string user = "alice";
  std::vector<std::string> contacts = {"bob", "carol"};
  int protocol = 4;
  AttachMode attach = AttachMode::kSuccess;
  // The keyword of the line that answers a friends search: "USERS" or "FRIENDS".
  std::string searchReply = "USERS";
};

// One line of traffic, for the transcript: kIn is a command from the program, kOut a line to it.
enum class Direction { kIn, kOut, kAttach, kDiscover };
using TranscriptSink = std::function<void(Direction, std::string_view line)>;

class StandInClient {
 public:
  StandInClient(platform::Desktop& desktop, ClientOptions options, TranscriptSink transcript = {});
  ~StandInClient();
  StandInClient(const StandInClient&) = delete;
  StandInClient& operator=(const StandInClient&) = delete;

  platform::Hwnd Window() const { return window_; }
  // Program windows that have been told of a successful attach.
  const std::set<platform::Hwnd>& Programs() const { return programs_; }

  // Broadcasts that the API has become available (status 0x8001).
  void AnnounceApi();
  // A chat message from `from` arrives: it gets the next id and every attached program is told
  // "CHATMESSAGE id STATUS RECEIVED". Returns the id. With `chain` > 1 it is the first of a chain
  // of that many: when a program asks for a message's BODY, the next message of the chain
  // arrives before the answer, from inside the program's request, so each one nests a level
  // deeper in the program than the one before.
  std::int32_t Receive(const std::string& from, const std::string& body, int chain = 1);
  // Sends a line as it stands to every attached program.
  void SendRaw(const std::string& line);
  void SetProtocol(int protocol) { options_.protocol = protocol; }
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
  platform::LResult WindowProc(platform::MsgId msg, platform::WParam wParam,
                               platform::LParam lParam);
  void Answer(platform::Hwnd program);
  void HandleCommand(platform::Hwnd program, const std::string& line);
  void SendLine(platform::Hwnd program, const std::string& line);
  void Log(Direction direction, std::string_view line);

  platform::Desktop& desktop_;
  ClientOptions options_;
  TranscriptSink transcript_;
  platform::MsgId attachMessage_ = 0;
  platform::MsgId discoverMessage_ = 0;
  platform::Hwnd window_ = 0;
  std::set<platform::Hwnd> programs_;
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
