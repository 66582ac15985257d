#pragma once

// The received messages of a while back, for spotting a second copy: the archive's catch-up
// brings again what came live, a carbon what came direct, and a sender may write again.

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "xmpp/stanza.h"

namespace xmpp {

class SeenMessages {
 public:
  explicit SeenMessages(std::size_t window) : window_(window) {}
  // Whether `chat` is a copy of one seen before; else it is remembered.
  bool SeenBefore(const IncomingChat& chat);

 private:
  struct Key {
    std::string stanzaId, from, id;
  };
  struct SenderIdCount {
    int withoutStanzaId = 0, withStanzaId = 0;
  };

  std::size_t window_;
  std::deque<Key> seen_;
  std::unordered_multiset<std::string> stanzaIds_;
  std::unordered_map<std::string, SenderIdCount> senderIds_;  // key: from, NUL, id
};

}  // namespace xmpp
