#include "xmpp/bridge.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "chatlink/skype_control_const.h"
#include "xmpp/stanza.h"

namespace xmpp {
namespace {

// An address's three parts are at most 1023 bytes each, with the '@' and the '/' between them.
constexpr std::size_t kMaxJidBytes = 3 * 1023 + 2;

bool AllowedInJid(unsigned char c) {
  // Blanks, controls and the characters an XML address cannot hold unescaped.
  return c > 0x20 && c != 0x7F && c != '"' && c != '&' && c != '\'' && c != '<' && c != '>';
}

}  // namespace

bool IsValidJid(std::string_view jid) {
  if (jid.empty() || jid.size() > kMaxJidBytes) return false;
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

Bridge::Bridge(Network& network, BridgeLimits limits) : network_(network), limits_(limits) {
  // Ids are kept when a message is written again after a lost connection, and looked up in the
  // archive: they must not repeat across runs.
  std::random_device random;
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "pv-%08x%08x-", random(), random());
  idPrefix_ = prefix;
}

std::string Bridge::NextNetworkId() {
  return idPrefix_ + std::to_string(++idSerial_);
}

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
  keptBytes_ += message.body.size();
  if (!message.to.empty()) sentByNetworkId_[message.networkId] = id;
  messages_[id] = std::move(message);
  // The oldest ids are forgotten first; a program asks about a message right after hearing of it.
  while (messages_.size() > limits_.maxKeptMessages ||
         (keptBytes_ > limits_.maxKeptBytes && messages_.size() > 1)) {
    Forget(messages_.begin());
  }
  return id;
}

void Bridge::Forget(std::map<std::int32_t, ChatMessage>::iterator it) {
  keptBytes_ -= it->second.body.size();
  if (!it->second.to.empty()) {
    sentByNetworkId_.erase(it->second.networkId);
    unacknowledged_.erase(it->second.networkId);
  }
  messages_.erase(it);
}

void Bridge::SetStatus(std::int32_t id, const std::string& status) {
  auto it = messages_.find(id);
  if (it == messages_.end() || it->second.status == status) return;
  it->second.status = status;
  if (server_ != nullptr && !server_->Programs().empty()) {
    server_->SendRaw(chatlink::ChatMessageLine(id, chatlink::WireWord(chatlink::cmStatus), status));
  }
}

bool Bridge::Announce(std::int32_t id) {
  if (server_ == nullptr || server_->Programs().empty()) return false;
  if (server_->NotifyReceived(id) == 0) return false;
  auto it = messages_.find(id);
  if (it != messages_.end() && !it->second.networkId.empty() && OnDelivered) {
    OnDelivered(it->second.networkId);
  }
  return true;
}

void Bridge::Received(const std::string& from, const std::string& body,
                      const std::string& archiveId) {
  if (body.size() > limits_.maxBodyBytes) {
    Notice("a message from " + from + " of " + std::to_string(body.size()) +
           " bytes was refused (the bound is " + std::to_string(limits_.maxBodyBytes) + ")");
    return;
  }
  const std::int32_t id = Keep({from, "", body, std::string(chatlink::kStatusReceived), archiveId});
  // Held ones go first: one that comes while some wait queues behind them.
  if (held_.empty() && Announce(id)) return;
  held_.push_back({id, body.size()});
  heldBytes_ += body.size();
  if (OnHeld) OnHeld(from, body);
  while (held_.size() > limits_.maxHeldReceived ||
         (heldBytes_ > limits_.maxHeldBytes && held_.size() > 1)) {
    Notice("no program takes messages: the oldest held message was dropped");
    heldBytes_ -= held_.front().bytes;
    held_.pop_front();
  }
}

void Bridge::Flush() {
  std::vector<std::int32_t> failed;
  failed.swap(failed_);
  for (std::int32_t id : failed) SetStatus(id, std::string(chatlink::kStatusFailed));
  // Taken one at a time: a program's requests during an announcement may bring more.
  while (!held_.empty()) {
    const std::int32_t id = held_.front().id;
    if (messages_.count(id) && !Announce(id)) return;  // nobody took it: it stays first
    heldBytes_ -= held_.front().bytes;
    held_.pop_front();
  }
}

void Bridge::Fail(std::int32_t id, const std::string& why) {
  Notice("a message to " + messages_.at(id).to + " was not sent: " + why);
  failed_.push_back(id);
}

void Bridge::MessageAcknowledged(const std::string& networkId) {
  auto it = unacknowledged_.find(networkId);
  if (it == unacknowledged_.end()) return;
  const std::int32_t id = it->second;
  unacknowledged_.erase(it);
  SetStatus(id, std::string(chatlink::kStatusSent));
}

void Bridge::MessageFailed(const std::string& networkId, const std::string& why) {
  unacknowledged_.erase(networkId);
  auto it = sentByNetworkId_.find(networkId);
  if (it == sentByNetworkId_.end()) return;
  Notice("a message to " + messages_.at(it->second).to + " was not delivered: " + why);
  SetStatus(it->second, std::string(chatlink::kStatusFailed));
}

chatapi::ChatBackend::Property Bridge::ChatMessageProperty(std::int32_t id,
                                                           std::string_view property) {
  auto it = messages_.find(id);
  if (it == messages_.end()) return {};
  const ChatMessage& message = it->second;
  using chatlink::WireWord;
  const bool received = message.status == chatlink::kStatusReceived;
  if (property == WireWord(chatlink::cmFromHandle)) return {true, received ? message.from : user_};
  if (property == chatlink::kToHandleWord && !received) return {true, message.to};
  if (property == WireWord(chatlink::cmBody)) return {true, message.body};
  if (property == WireWord(chatlink::cmStatus)) return {true, message.status};
  return {true, std::nullopt};
}

std::optional<std::int32_t> Bridge::SendChatMessage(const std::string& handle,
                                                    const std::string& text) {
  if (!IsValidJid(handle)) return std::nullopt;
  const std::string networkId = NextNetworkId();
  const std::int32_t id = Keep({"", handle, text, std::string(chatlink::kStatusSending), networkId});
  if (auto why = UnsendableReason(handle, text, limits_.maxStanzaBytes)) {
    // Sent as it is, it would close the stream and take every message in flight with it.
    Fail(id, *why);
  } else if (text.size() > limits_.maxBodyBytes) {
    Fail(id, std::to_string(text.size()) + " bytes is past the bound of " +
                 std::to_string(limits_.maxBodyBytes));
  } else if (unacknowledged_.size() >= limits_.maxUnacknowledged) {
    Fail(id, std::to_string(unacknowledged_.size()) + " messages still wait for the server");
  } else {
    unacknowledged_[networkId] = id;
    network_.SendChat({networkId, handle, text});
  }
  return id;
}

}  // namespace xmpp
