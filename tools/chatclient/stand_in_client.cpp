#include "tools/chatclient/stand_in_client.h"

#include <algorithm>
#include <charconv>

#include "platform/ascii.h"

namespace standin {
namespace {

// The names under which the desktop API's two messages are registered.
constexpr std::string_view kAttachName = "SkypeControlAPIAttach";
constexpr std::string_view kDiscoverName = "SkypeControlAPIDiscover";
constexpr platform::LParam kApiAvailable = 0x8001;

std::string_view TakeWord(std::string_view& s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  std::size_t end = s.find(' ');
  if (end == std::string_view::npos) end = s.size();
  std::string_view word = s.substr(0, end);
  s.remove_prefix(end);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return word;
}

bool ParseInt(std::string_view word, int& out) {
  auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), out);
  return ec == std::errc() && end == word.data() + word.size() && !word.empty();
}

}  // namespace

std::string EscapeBytes(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

std::string UnescapeArgument(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    const char next = text[++i];
    if (next == 'n')
      out.push_back('\n');
    else if (next == 'r')
      out.push_back('\r');
    else if (next == 't')
      out.push_back('\t');
    else if (next == 'x' && i + 2 < text.size() && platform::HexDigitValue(text[i + 1]) >= 0 &&
             platform::HexDigitValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(platform::HexDigitValue(text[i + 1]) * 16 +
                                      platform::HexDigitValue(text[i + 2])));
      i += 2;
    } else if (next == 'x') {
      out += "\\x";  // not a whole \xHH: kept as written
    } else {
      out.push_back(next);
    }
  }
  return out;
}

StandInClient::StandInClient(platform::Desktop& desktop, ClientOptions options,
                             TranscriptSink transcript)
    : desktop_(desktop), options_(std::move(options)), transcript_(std::move(transcript)) {
  attachMessage_ = desktop_.RegisterMessage(kAttachName);
  discoverMessage_ = desktop_.RegisterMessage(kDiscoverName);
  window_ = desktop_.MakeWindow("Chat client API",
                                [this](platform::Hwnd, platform::MsgId msg, platform::WParam w,
                                       platform::LParam l) { return WindowProc(msg, w, l); });
}

StandInClient::~StandInClient() {
  if (window_ != 0) desktop_.DestroyWindow(window_);
}

void StandInClient::Log(Direction direction, std::string_view line) {
  if (transcript_) transcript_(direction, line);
}

void StandInClient::AnnounceApi() {
  Log(Direction::kAttach, std::to_string(kApiAvailable) + " broadcast");
  desktop_.SendNotify(platform::kHwndBroadcast, attachMessage_, window_, kApiAvailable);
}

std::int32_t StandInClient::Receive(const std::string& from, const std::string& body, int chain) {
  const std::int32_t id = nextMessageId_++;
  messages_[id] = ChatMessage{from, body, std::max(chain, 1) - 1};
  SendRaw("CHATMESSAGE " + std::to_string(id) + " STATUS RECEIVED");
  return id;
}

void StandInClient::SendRaw(const std::string& line) {
  // Copied: a program may attach or go away while we are sending.
  const auto programs = programs_;
  for (platform::Hwnd program : programs) SendLine(program, line);
}

void StandInClient::SendLine(platform::Hwnd program, const std::string& line) {
  Log(Direction::kOut, line);
  std::string payload = line;
  payload.push_back('\0');
  platform::CopyDataStruct data;
  data.cbData = static_cast<std::uint32_t>(payload.size());
  data.lpData = payload.data();
  if (desktop_.Send(program, platform::kWmCopyData, window_,
                    reinterpret_cast<platform::LParam>(&data)) == 0 &&
      !desktop_.IsWindow(program)) {
    programs_.erase(program);  // gone: forgotten until it attaches again
  }
}

platform::LResult StandInClient::WindowProc(platform::MsgId msg, platform::WParam wParam,
                                            platform::LParam lParam) {
  if (msg == discoverMessage_ && discoverMessage_ != 0) {
    Log(Direction::kDiscover, std::to_string(wParam));
    Answer(static_cast<platform::Hwnd>(wParam));
    return 1;
  }
  if (msg == platform::kWmCopyData) {
    // Only a program that has attached may command the client.
    if (!programs_.count(static_cast<platform::Hwnd>(wParam))) return 0;
    const auto* data = reinterpret_cast<const platform::CopyDataStruct*>(lParam);
    std::string line;
    if (data != nullptr && data->lpData != nullptr) {
      const char* bytes = static_cast<const char*>(data->lpData);
      std::size_t n = 0;
      while (n < data->cbData && bytes[n] != '\0') ++n;
      line.assign(bytes, n);
    }
    Log(Direction::kIn, line);
    HandleCommand(static_cast<platform::Hwnd>(wParam), line);
    return 1;
  }
  return 0;
}

void StandInClient::Answer(platform::Hwnd program) {
  auto attach = [&](platform::LParam status) {
    Log(Direction::kAttach, std::to_string(status));
    if (status == 0) programs_.insert(program);
    desktop_.Send(program, attachMessage_, window_, status);
  };
  switch (options_.attach) {
    case AttachMode::kSuccess:
      attach(0);
      break;
    case AttachMode::kPendingThenSuccess:
      attach(1);
      attach(0);
      break;
    case AttachMode::kRefused:
      attach(2);
      break;
    case AttachMode::kNotAvailable:
      attach(3);
      break;
  }
}

void StandInClient::HandleCommand(platform::Hwnd program, const std::string& line) {
  std::string_view rest = line;
  const std::string_view command = TakeWord(rest);
  if (command == "NAME") {
    SendLine(program, "OK");
  } else if (command == "PROTOCOL") {
    int wanted = 0;
    if (!ParseInt(TakeWord(rest), wanted)) {
      SendLine(program, "ERROR 3 Invalid protocol number");
      return;
    }
    SendLine(program, "PROTOCOL " + std::to_string(std::min(wanted, options_.protocol)));
    SendLine(program, "CURRENTUSERHANDLE " + options_.user);
  } else if (command == "PING") {
    SendLine(program, "PONG");
  } else if (command == "SEARCH") {
    const std::string_view type = TakeWord(rest);
    if (type != "FRIENDS" && type != "USERS") {
      SendLine(program, "ERROR 4 Search type not supported");
      return;
    }
    std::string reply = options_.searchReply;
    for (std::size_t i = 0; i < options_.contacts.size(); ++i) {
      reply += (i == 0 ? " " : ", ") + options_.contacts[i];
    }
    SendLine(program, reply);
  } else if (command == "GET") {
    const std::string_view object = TakeWord(rest);
    const std::string_view idWord = TakeWord(rest);
    const std::string_view property = TakeWord(rest);
    int id = 0;
    if (object != "CHATMESSAGE" || !ParseInt(idWord, id)) {
      SendLine(program, "ERROR 7 Invalid GET command");
      return;
    }
    auto it = messages_.find(id);
    if (it == messages_.end()) {
      SendLine(program, "ERROR 14 Invalid message id");
      return;
    }
    const std::string prefix = "CHATMESSAGE " + std::to_string(id) + " ";
    if (property == "FROM_HANDLE")
      SendLine(program, prefix + "FROM_HANDLE " + it->second.from);
    else if (property == "BODY") {
      const ChatMessage message = it->second;  // the nested traffic below may add messages
      if (message.chainAfter > 0) {
        it->second.chainAfter = 0;  // a chain goes on once, whoever asks again
        Receive(message.from, message.body, message.chainAfter);
      }
      SendLine(program, prefix + "BODY " + message.body);
    } else if (property == "STATUS")
      SendLine(program, prefix + "STATUS RECEIVED");
    else
      SendLine(program, "ERROR 15 Invalid property");
  } else if (command == "MESSAGE") {
    // The text is everything after the one space that ends the handle, byte for byte.
    std::string_view args =
        std::string_view(line).substr(std::min(line.size(), command.size() + 1));
    const std::size_t space = args.find(' ');
    const std::string_view handle = args.substr(0, space);
    if (handle.empty() || space == std::string_view::npos) {
      SendLine(program, "ERROR 26 Invalid user handle");
      return;
    }
    sent_.push_back(SentMessage{std::string(handle), std::string(args.substr(space + 1))});
    if (OnMessageSent) OnMessageSent(sent_.back());
    SendLine(program, "CHATMESSAGE " + std::to_string(nextMessageId_++) + " STATUS SENDING");
  } else {
    SendLine(program, "ERROR 2 Unknown command");
  }
}

}  // namespace standin
