#pragma once

// What the XMPP chat client reads out of the stanzas the network brings.

#include <strophe.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xmpp {

inline constexpr const char* kCarbonsNs = "urn:xmpp:carbons:2";
inline constexpr const char* kForwardNs = "urn:xmpp:forward:0";
inline constexpr const char* kRosterNs = "jabber:iq:roster";

struct IncomingChat {
  std::string from;  // the sender's bare JID
  std::string body;  // UTF-8 as received
};

// A <message> that is a chat message for the user: of type chat or normal (a message without a
// type is normal), with a body, from someone. Chat states, receipts and errors are not. A carbon
// copy counts only when its outer stanza comes from the user's own bare JID (anything else is a
// spoof), and only a received one: the user's own sent messages never come back as received.
std::optional<IncomingChat> ReceivedChat(xmpp_stanza_t* message, std::string_view ownBareJid);

// The items of a roster result or push: (bare JID, removed?).
struct RosterItem {
  std::string jid;
  bool removed = false;
};
std::vector<RosterItem> RosterItems(xmpp_stanza_t* iq);

}  // namespace xmpp
