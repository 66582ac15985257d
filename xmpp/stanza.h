#pragma once

// What the XMPP chat client reads out of the stanzas the network brings, what it checks before a
// body goes out, and the stanzas it writes: each writer beside the reader of its answer.

#include <strophe.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "xmpp/bridge.h"

namespace xmpp {

inline constexpr const char* kCarbonsNs = "urn:xmpp:carbons:2";
inline constexpr const char* kForwardNs = "urn:xmpp:forward:0";
inline constexpr const char* kRosterNs = "jabber:iq:roster";
inline constexpr const char* kStanzaIdNs = "urn:xmpp:sid:0";
inline constexpr const char* kMamNs = "urn:xmpp:mam:2";
inline constexpr const char* kRsmNs = "http://jabber.org/protocol/rsm";
inline constexpr const char* kPingNs = "urn:xmpp:ping";
inline constexpr const char* kStanzaErrorNs = "urn:ietf:params:xml:ns:xmpp-stanzas";
inline constexpr const char* kSmNs = "urn:xmpp:sm:3";

struct IncomingChat {
  std::string from;      // the sender's bare JID
  std::string body;      // UTF-8 as received
  std::string id;        // the sender's id for it; may be empty
  std::string stanzaId;  // the id the user's own server gave it (its archive id); may be empty
};

// A <message> that is a chat message for the user: of type chat or normal (a message without a
// type is normal), with a body, from someone. Chat states, receipts and errors are not. A carbon
// copy counts only when its outer stanza comes from the user's own bare JID (anything else is a
// spoof), and only a received one: the user's own sent messages never come back as received.
// The stanza id is taken only where the user's own server set it (by="own bare JID").
std::optional<IncomingChat> ReceivedChat(xmpp_stanza_t* message, std::string_view ownBareJid);

// One message of the user's archive, as a query's result brings it.
struct ArchivedMessage {
  std::string queryId;    // the query it answers
  std::string archiveId;  // its place in the archive
  bool sentByUser = false;
  std::string id;                    // its sender's id (for the user's own: the one we gave it)
  std::optional<IncomingChat> chat;  // a chat message to the user, as ReceivedChat reads it
};
// A <message> carrying an archive result; nothing for any other stanza, and for a result that
// claims to come from anyone but the user's own account.
std::optional<ArchivedMessage> ArchiveResult(xmpp_stanza_t* message, std::string_view ownBareJid);

// Why a chat message with `body` to `to` cannot go out whole, or nothing when it can: a body
// that is not UTF-8 or holds characters XML cannot carry (C0 controls other than tab, LF and CR,
// U+FFFE, U+FFFF, surrogates), or a stanza whose written size passes `maxStanzaBytes`.
std::optional<std::string> UnsendableReason(std::string_view to, std::string_view body,
                                            std::size_t maxStanzaBytes);

// The text inside an element, and an attribute's value; empty for none.
std::string TextOf(xmpp_stanza_t* element);
std::string AttributeOf(xmpp_stanza_t* element, const char* name);

// The items of a roster result or push: (bare JID, removed?).
struct RosterItem {
  std::string jid;
  bool removed = false;
};
std::vector<RosterItem> RosterItems(xmpp_stanza_t* iq);

// A stanza error's condition ("item-not-found") and its text, each empty where it has none; and
// both as the user reads them ("the server answered item-not-found (gone)").
std::string ErrorCondition(xmpp_stanza_t* stanza);
std::string ErrorText(xmpp_stanza_t* stanza);
std::string ErrorReason(xmpp_stanza_t* stanza);

// The end of an archive answer: whether it holds the query's last message, and the archive ids
// of its first and last message (where the next page starts, backwards or forwards).
struct ArchivePage {
  bool complete = false;
  std::string first, last;
};
ArchivePage ArchivePageOf(xmpp_stanza_t* iq);

// The count in a stream-management acknowledgement (<a h="N"/>); nothing where it is no number.
std::optional<std::uint64_t> AcknowledgedCount(xmpp_stanza_t* answer);

// The stanzas the client writes. libstrophe answers a failed allocation with nothing, and
// nothing sensible follows from one: each throws std::bad_alloc then.
struct StanzaRelease {
  void operator()(xmpp_stanza_t* stanza) const { xmpp_stanza_release(stanza); }
};
using Stanza = std::unique_ptr<xmpp_stanza_t, StanzaRelease>;

Stanza ChatStanza(xmpp_ctx_t* ctx, const OutgoingChat& message);
Stanza PresenceStanza(xmpp_ctx_t* ctx);
// An iq with one empty child, or none.
Stanza IqStanza(xmpp_ctx_t* ctx, const char* type, const std::string& id,
                const char* childName = nullptr, const char* childNs = nullptr);
// The answer to a question nobody here answers.
Stanza UnavailableAnswer(xmpp_ctx_t* ctx, const std::string& id);
// <enable/>, <r/> and <a h="handled"/>; h counts modulo 2^32.
Stanza StreamManagementElement(xmpp_ctx_t* ctx, const char* name);
Stanza StreamManagementAnswer(xmpp_ctx_t* ctx, std::uint64_t handled);

// A question to the user's archive: `max` messages from `start` on (where set), with `with`
// only (where set), forwards after `page` or backwards before it (from the newest where empty).
struct ArchiveQuestion {
  std::string queryId;
  std::string start, with;
  std::size_t max = 0;
  bool forwards = true;
  std::string page;
};
Stanza ArchiveQuery(xmpp_ctx_t* ctx, const ArchiveQuestion& question);

}  // namespace xmpp
