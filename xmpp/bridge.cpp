#include "xmpp/bridge.h"

#include <algorithm>

namespace xmpp {
namespace {

bool AllowedInJid(unsigned char c) {
  // Blanks, controls and the characters an XML address cannot hold unescaped.
  return c > 0x20 && c != 0x7F && c != '"' && c != '&' && c != '\'' && c != '<' && c != '>';
}

}  // namespace

bool IsValidJid(std::string_view jid) {
  if (jid.empty() || jid.size() > 3071) return false;
  const std::size_t slash = jid.find('/');
  const std::string_view bare = jid.substr(0, slash);
  if (slash != std::string_view::npos && slash + 1 == jid.size()) return false;
  const std::size_t at = bare.find('@');
  const std::string_view domain = at == std::string_view::npos ? bare : bare.substr(at + 1);
  if (at == 0 || domain.empty() || domain.find('@') != std::string_view::npos) return false;
  if (domain.front() == '.' || domain.back() == '.') return false;
  return std::all_of(bare.begin(), bare.end(),
                     [](char c) { return AllowedInJid(static_cast<unsigned char>(c)); });
}

std::string BareJid(std::string_view jid) {
  return std::string(jid.substr(0, jid.find('/')));
}

Bridge::Bridge(Network& network, BridgeLimits limits) : network_(network), limits_(limits) {}

void Bridge::Notice(const std::string& text) {
  if (OnNotice) OnNotice(text);
}

void Bridge::SetRoster(const std::vector<std::string>& jids) {
  contacts_.clear();
  for (const std::string& jid : jids) {
    if (jid.find(',') != std::string::npos) {
      Notice("contact " + jid + " left out: a ',' cannot travel in the contact list");
      continue;
    }
    if (contacts_.size() == limits_.maxContacts) {
      Notice("contacts past the first " + std::to_string(limits_.maxContacts) + " left out");
      break;
    }
    contacts_.push_back(jid);
  }
  hasRoster_ = true;
}

std::int32_t Bridge::Keep(ChatMessage message) {
  const std::int32_t id = nextId_++;
  messages_[id] = std::move(message);
  // The oldest ids are forgotten first; a program asks about a message right after hearing of it.
  while (messages_.size() > limits_.maxKeptMessages) messages_.erase(messages_.begin());
  return id;
}

void Bridge::SetStatus(std::int32_t id, const std::string& status) {
  auto it = messages_.find(id);
  if (it == messages_.end() || it->second.status == status) return;
  it->second.status = status;
  if (server_ != nullptr && !server_->Programs().empty()) {
    server_->SendRaw("CHATMESSAGE " + std::to_string(id) + " STATUS " + status);
  }
}

void Bridge::Received(const std::string& from, const std::string& body) {
  if (body.size() > limits_.maxBodyBytes) {
    Notice("a message from " + from + " of " + std::to_string(body.size()) +
           " bytes was refused (the bound is " + std::to_string(limits_.maxBodyBytes) + ")");
    return;
  }
  const std::int32_t id = Keep({from, "", body, "RECEIVED"});
  if (server_ != nullptr && !server_->Programs().empty() && held_.empty()) {
    server_->NotifyReceived(id);
    return;
  }
  if (held_.size() == limits_.maxHeldReceived) {
    Notice("no program attached: the oldest held message was dropped");
    held_.pop_front();
  }
  held_.push_back(id);
}

void Bridge::Flush() {
  std::vector<std::int32_t> failed;
  failed.swap(failed_);
  for (std::int32_t id : failed) SetStatus(id, "FAILED");
  if (server_ == nullptr) return;
  // Taken one at a time: a program's requests during an announcement may bring more.
  while (!held_.empty() && !server_->Programs().empty()) {
    const std::int32_t id = held_.front();
    held_.pop_front();
    if (messages_.count(id)) server_->NotifyReceived(id);
  }
}

void Bridge::Fail(std::int32_t id, const std::string& why) {
  Notice("a message to " + messages_.at(id).to + " was not sent: " + why);
  failed_.push_back(id);
}

void Bridge::Connected() {
  std::deque<std::int32_t> waiting;
  waiting.swap(queued_);
  while (!waiting.empty()) {
    const std::int32_t id = waiting.front();
    waiting.pop_front();
    auto it = messages_.find(id);
    if (it == messages_.end()) continue;
    if (!network_.SendChat(it->second.to, it->second.body)) {
      // Down again: what is left waits for the next time, in its order.
      waiting.push_front(id);
      for (auto rest = waiting.rbegin(); rest != waiting.rend(); ++rest) queued_.push_front(*rest);
      return;
    }
    sending_.push_back(id);
  }
}

void Bridge::AllWritten() {
  std::vector<std::int32_t> written;
  written.swap(sending_);
  for (std::int32_t id : written) SetStatus(id, "SENT");
}

chatapi::ChatBackend::Property Bridge::ChatMessageProperty(std::int32_t id,
                                                           std::string_view property) {
  auto it = messages_.find(id);
  if (it == messages_.end()) return {};
  const ChatMessage& message = it->second;
  const bool received = message.status == "RECEIVED";
  if (property == "FROM_HANDLE") return {true, received ? message.from : user_};
  if (property == "TO_HANDLE" && !received) return {true, message.to};
  if (property == "BODY") return {true, message.body};
  if (property == "STATUS") return {true, message.status};
  return {true, std::nullopt};
}

std::optional<std::int32_t> Bridge::SendChatMessage(const std::string& handle,
                                                    const std::string& text) {
  if (!IsValidJid(handle)) return std::nullopt;
  const std::int32_t id = Keep({"", handle, text, "SENDING"});
  if (text.size() > limits_.maxBodyBytes) {
    Fail(id, std::to_string(text.size()) + " bytes is past the bound of " +
                 std::to_string(limits_.maxBodyBytes));
  } else if (network_.SendChat(handle, text)) {
    sending_.push_back(id);
  } else if (queued_.size() < limits_.maxQueuedOutgoing) {
    queued_.push_back(id);
  } else {
    Fail(id, "the connection is down and " + std::to_string(queued_.size()) + " messages wait");
  }
  return id;
}

}  // namespace xmpp
