#include "tools/chatclient/stand_in_client.h"

#include <algorithm>

#include "platform/ascii.h"

namespace standin {

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
    : options_(std::move(options)),
      server_(desktop, *this,
              chatapi::ServerOptions{options_.protocol, options_.attach, options_.searchReply},
              std::move(transcript)) {}

void StandInClient::SetProtocol(int protocol) {
  options_.protocol = protocol;
  server_.Options().protocol = protocol;
}

std::int32_t StandInClient::Receive(const std::string& from, const std::string& body, int chain) {
  const std::int32_t id = nextMessageId_++;
  messages_[id] = ChatMessage{from, body, std::max(chain, 1) - 1};
  server_.NotifyReceived(id);
  return id;
}

chatapi::ChatBackend::Property StandInClient::ChatMessageProperty(std::int32_t id,
                                                                  std::string_view property) {
  auto it = messages_.find(id);
  if (it == messages_.end()) return {};
  if (property == "FROM_HANDLE") return {true, it->second.from};
  if (property == "STATUS") return {true, std::string("RECEIVED")};
  if (property != "BODY") return {true, std::nullopt};
  const ChatMessage message = it->second;  // the nested traffic below may add messages
  if (message.chainAfter > 0) {
    it->second.chainAfter = 0;  // a chain goes on once, whoever asks again
    Receive(message.from, message.body, message.chainAfter);
  }
  return {true, message.body};
}

std::optional<std::int32_t> StandInClient::SendChatMessage(const std::string& handle,
                                                           const std::string& text) {
  sent_.push_back(SentMessage{handle, text});
  if (OnMessageSent) OnMessageSent(sent_.back());
  return nextMessageId_++;
}

}  // namespace standin
