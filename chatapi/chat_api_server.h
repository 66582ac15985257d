#pragma once

// The chat client's side of the desktop API: what a chat client does for the programs that attach
// to it. It owns one API window on a desktop, answers discovery broadcasts with its attach status,
// accepts attaches, reads the programs' commands and answers them with synchronous sends while the
// command is still in flight, as a real client does, and sends notifications to every attached
// program. It does not own a loop: the host program pumps the desktop from its own, and may raise
// notifications from there at any time (from inside a command's handling too, which nests).
//
// What it answers comes from a backend that the host implements: the user's handle, the contacts,
// a chat message's properties, and the sending of a message.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop.h"

namespace chatapi {

// What the client knows and does, behind the API.
class ChatBackend {
 public:
  virtual ~ChatBackend() = default;
  virtual std::string UserHandle() = 0;
  virtual std::vector<std::string> Contacts() = 0;
  // A chat message's property ("FROM_HANDLE", "BODY", "STATUS"); nothing for an unknown id, and
  // an empty optional inside for a property the client does not know.
  struct Property {
    bool knownMessage = false;
    std::optional<std::string> value;
  };
  virtual Property ChatMessageProperty(std::int32_t id, std::string_view property) = 0;
  // Sends `text` to `handle`; returns the new chat message's id, or nothing when `handle` is not
  // one the client can send to (the program is told "ERROR 26 Invalid user handle").
  virtual std::optional<std::int32_t> SendChatMessage(const std::string& handle,
                                                      const std::string& text) = 0;
};

enum class AttachMode { kSuccess, kPendingThenSuccess, kRefused, kNotAvailable };

struct ServerOptions {
  int protocol = 4;  // the highest protocol version the client speaks
  AttachMode attach = AttachMode::kSuccess;
  // The keyword of the line that answers a friends search: "USERS" or "FRIENDS".
  std::string searchReply = "USERS";
};

// One line of traffic, for a transcript: kIn is a command from a program, kOut a line to it.
enum class Direction { kIn, kOut, kAttach, kDiscover };
using TranscriptSink = std::function<void(Direction, std::string_view line)>;

class ChatApiServer {
 public:
  ChatApiServer(platform::Desktop& desktop, ChatBackend& backend, ServerOptions options,
                TranscriptSink transcript = {});
  ~ChatApiServer();
  ChatApiServer(const ChatApiServer&) = delete;
  ChatApiServer& operator=(const ChatApiServer&) = delete;

  platform::Hwnd Window() const { return window_; }
  // Program windows that have been told of a successful attach and are still there.
  const std::set<platform::Hwnd>& Programs() const { return programs_; }
  ServerOptions& Options() { return options_; }

  // Broadcasts that the API has become available (status 0x8001).
  void AnnounceApi();
  // Tells every attached program "CHATMESSAGE id STATUS RECEIVED"; returns how many took it (a
  // window that has gone, or answers 0, did not).
  int NotifyReceived(std::int32_t id);
  // Sends a line as it stands to every attached program.
  void SendRaw(const std::string& line);

 private:
  platform::LResult WindowProc(platform::MsgId msg, platform::WParam wParam,
                               platform::LParam lParam);
  void Answer(platform::Hwnd program);
  void HandleCommand(platform::Hwnd program, const std::string& line);
  void HandleGet(platform::Hwnd program, std::string_view rest);
  void HandleMessage(platform::Hwnd program, const std::string& line);
  // True when the program's window answered non-zero.
  bool SendLine(platform::Hwnd program, const std::string& line);
  void Log(Direction direction, std::string_view line);

  platform::Desktop& desktop_;
  ChatBackend& backend_;
  ServerOptions options_;
  TranscriptSink transcript_;
  platform::MsgId attachMessage_ = 0;
  platform::MsgId discoverMessage_ = 0;
  platform::Hwnd window_ = 0;
  std::set<platform::Hwnd> programs_;
};

}  // namespace chatapi
