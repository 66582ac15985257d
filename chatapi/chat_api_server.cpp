#include "chatapi/chat_api_server.h"

#include <algorithm>
#include <charconv>

#include "chatlink/skype_control_const.h"

namespace chatapi {
namespace {

using namespace chatlink;  // the desktop API's words

std::string_view TakeWord(std::string_view& s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  std::size_t end = s.find(' ');
  if (end == std::string_view::npos) end = s.size();
  std::string_view word = s.substr(0, end);
  s.remove_prefix(end);
  return word;
}

bool ParseInt(std::string_view word, int& out) {
  auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), out);
  return ec == std::errc() && end == word.data() + word.size();
}

}  // namespace

ChatApiServer::ChatApiServer(platform::Desktop& desktop, ChatBackend& backend,
                             ServerOptions options, TranscriptSink transcript)
    : desktop_(desktop),
      backend_(backend),
      options_(std::move(options)),
      transcript_(std::move(transcript)) {
  attachMessage_ = desktop_.RegisterMessage(kAttachMessageName);
  discoverMessage_ = desktop_.RegisterMessage(kDiscoverMessageName);
  window_ = desktop_.MakeWindow("Chat client API",
                                [this](platform::Hwnd, platform::MsgId msg, platform::WParam w,
                                       platform::LParam l) { return WindowProc(msg, w, l); });
}

ChatApiServer::~ChatApiServer() {
  if (window_ != 0) desktop_.DestroyWindow(window_);
}

void ChatApiServer::Log(Direction direction, std::string_view line) {
  if (transcript_) transcript_(direction, line);
}

void ChatApiServer::AnnounceApi() {
  Log(Direction::kAttach, std::to_string(kAttachApiAvailable) + " broadcast");
  desktop_.SendNotify(platform::kHwndBroadcast, attachMessage_, window_, kAttachApiAvailable);
}

int ChatApiServer::NotifyReceived(std::int32_t id) {
  const std::string line = ChatMessageLine(id, WireWord(cmStatus), kStatusReceived);
  const auto programs = programs_;
  int took = 0;
  for (platform::Hwnd program : programs) took += SendLine(program, line) ? 1 : 0;
  return took;
}

void ChatApiServer::SendRaw(const std::string& line) {
  // Copied: a program may attach or go away while we are sending.
  const auto programs = programs_;
  for (platform::Hwnd program : programs) SendLine(program, line);
}

bool ChatApiServer::SendLine(platform::Hwnd program, const std::string& line) {
  Log(Direction::kOut, line);
  std::string payload = line;
  payload.push_back('\0');
  platform::CopyDataStruct data;
  data.cbData = static_cast<std::uint32_t>(payload.size());
  data.lpData = payload.data();
  if (desktop_.Send(program, platform::kWmCopyData, window_,
                    reinterpret_cast<platform::LParam>(&data)) != 0) {
    return true;
  }
  if (!desktop_.IsWindow(program)) programs_.erase(program);  // gone until it attaches again
  return false;
}

platform::LResult ChatApiServer::WindowProc(platform::MsgId msg, platform::WParam wParam,
                                            platform::LParam lParam) {
  if (msg == discoverMessage_ && discoverMessage_ != 0) {
    Log(Direction::kDiscover, std::to_string(wParam));
    Answer(static_cast<platform::Hwnd>(wParam));
    return 1;
  }
  if (msg == platform::kWmCopyData) {
    // Only a program that has attached may command the client.
    if (!programs_.count(static_cast<platform::Hwnd>(wParam))) return 0;
    const std::string line =
        platform::CopiedLine(reinterpret_cast<const platform::CopyDataStruct*>(lParam));
    Log(Direction::kIn, line);
    HandleCommand(static_cast<platform::Hwnd>(wParam), line);
    return 1;
  }
  return 0;
}

void ChatApiServer::Answer(platform::Hwnd program) {
  auto attach = [&](platform::LParam status) {
    Log(Direction::kAttach, std::to_string(status));
    if (status == kAttachSuccess) programs_.insert(program);
    desktop_.Send(program, attachMessage_, window_, status);
  };
  switch (options_.attach) {
    case AttachMode::kSuccess:
      attach(kAttachSuccess);
      break;
    case AttachMode::kPendingThenSuccess:
      attach(kAttachPendingAuthorization);
      attach(kAttachSuccess);
      break;
    case AttachMode::kRefused:
      attach(kAttachRefused);
      break;
    case AttachMode::kNotAvailable:
      attach(kAttachNotAvailable);
      break;
  }
}

void ChatApiServer::HandleCommand(platform::Hwnd program, const std::string& line) {
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
    SendLine(program, "CURRENTUSERHANDLE " + backend_.UserHandle());
  } else if (command == "PING") {
    SendLine(program, "PONG");
  } else if (command == "SEARCH") {
    const std::string_view type = TakeWord(rest);
    if (type != "FRIENDS" && type != "USERS") {
      SendLine(program, "ERROR 4 Search type not supported");
      return;
    }
    std::string reply = options_.searchReply;
    const std::vector<std::string> contacts = backend_.Contacts();
    for (std::size_t i = 0; i < contacts.size(); ++i) {
      reply += (i == 0 ? " " : ", ") + contacts[i];
    }
    SendLine(program, reply);
  } else if (command == "GET") {
    HandleGet(program, rest);
  } else if (command == "MESSAGE") {
    HandleMessage(program, line);
  } else {
    SendLine(program, "ERROR 2 Unknown command");
  }
}

void ChatApiServer::HandleGet(platform::Hwnd program, std::string_view rest) {
  const std::string_view object = TakeWord(rest);
  const std::string_view idWord = TakeWord(rest);
  const std::string_view property = TakeWord(rest);
  int id = 0;
  if (object != kChatMessageWord || !ParseInt(idWord, id)) {
    SendLine(program, "ERROR 7 Invalid GET command");
    return;
  }
  // The backend may raise notifications of its own before it answers (they nest).
  const ChatBackend::Property answer = backend_.ChatMessageProperty(id, property);
  if (!answer.knownMessage) {
    SendLine(program, "ERROR 14 Invalid message id");
  } else if (!answer.value) {
    SendLine(program, "ERROR 15 Invalid property");
  } else {
    SendLine(program, ChatMessageLine(id, property, *answer.value));
  }
}

void ChatApiServer::HandleMessage(platform::Hwnd program, const std::string& line) {
  // The text is everything after the one space that ends the handle, byte for byte.
  const std::string_view args =
      std::string_view(line).substr(std::min(line.size(), std::string_view("MESSAGE ").size()));
  const std::size_t space = args.find(' ');
  const std::string_view handle = args.substr(0, space);
  if (handle.empty() || space == std::string_view::npos) {
    SendLine(program, "ERROR 26 Invalid user handle");
    return;
  }
  const std::optional<std::int32_t> id =
      backend_.SendChatMessage(std::string(handle), std::string(args.substr(space + 1)));
  if (!id) {
    SendLine(program, "ERROR 26 Invalid user handle");
    return;
  }
  SendLine(program, ChatMessageLine(*id, WireWord(cmStatus), kStatusSending));
}

}  // namespace chatapi
