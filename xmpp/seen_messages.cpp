#include "xmpp/seen_messages.h"

namespace xmpp {

bool SeenMessages::SeenBefore(const IncomingChat& chat) {
  const std::string senderKey = chat.from + '\0' + chat.id;
  if (!chat.stanzaId.empty() && stanzaIds_.count(chat.stanzaId)) return true;
  if (!chat.id.empty()) {
    auto it = senderIds_.find(senderKey);
    // Two copies that both carry the server's id are told apart by it alone.
    if (it != senderIds_.end() && (chat.stanzaId.empty() || it->second.withoutStanzaId > 0)) {
      return true;
    }
  }
  // A message without any id is never taken for another.
  if (chat.stanzaId.empty() && chat.id.empty()) return false;
  seen_.push_back({chat.stanzaId, chat.from, chat.id});
  if (!chat.stanzaId.empty()) stanzaIds_.insert(chat.stanzaId);
  if (!chat.id.empty()) {
    auto& count = senderIds_[senderKey];
    (chat.stanzaId.empty() ? count.withoutStanzaId : count.withStanzaId) += 1;
  }
  if (seen_.size() > window_) {
    const Key& old = seen_.front();
    if (!old.stanzaId.empty()) stanzaIds_.erase(stanzaIds_.find(old.stanzaId));
    if (!old.id.empty()) {
      auto it = senderIds_.find(old.from + '\0' + old.id);
      (old.stanzaId.empty() ? it->second.withoutStanzaId : it->second.withStanzaId) -= 1;
      if (it->second.withoutStanzaId == 0 && it->second.withStanzaId == 0) senderIds_.erase(it);
    }
    seen_.pop_front();
  }
  return false;
}

}  // namespace xmpp
