#include "xmpp/stanza.h"

#include <cstring>

#include "xmpp/bridge.h"

namespace xmpp {
namespace {

bool Same(const char* a, const char* b) {
  return a != nullptr && std::strcmp(a, b) == 0;
}

// The id the user's own server gave a message; others' stanza-ids are anybody's claim.
std::string OwnStanzaId(xmpp_stanza_t* message, std::string_view ownBareJid) {
  for (xmpp_stanza_t* child = xmpp_stanza_get_children(message); child != nullptr;
       child = xmpp_stanza_get_next(child)) {
    if (Same(xmpp_stanza_get_name(child), "stanza-id") &&
        Same(xmpp_stanza_get_ns(child), kStanzaIdNs) && AttributeOf(child, "by") == ownBareJid) {
      return AttributeOf(child, "id");
    }
  }
  return {};
}

std::optional<IncomingChat> Plain(xmpp_stanza_t* message, std::string_view ownBareJid) {
  if (!Same(xmpp_stanza_get_name(message), "message")) return std::nullopt;
  const char* type = xmpp_stanza_get_type(message);
  if (type != nullptr && !Same(type, "chat") && !Same(type, "normal")) return std::nullopt;
  const char* from = xmpp_stanza_get_from(message);
  // A sender that is no address could not be answered, nor shown as one.
  if (from == nullptr || !IsValidJid(BareJid(from))) return std::nullopt;
  std::string body = TextOf(xmpp_stanza_get_child_by_name(message, "body"));
  if (body.empty()) return std::nullopt;
  return IncomingChat{BareJid(from), std::move(body), AttributeOf(message, "id"),
                      OwnStanzaId(message, ownBareJid)};
}

// Decodes one UTF-8 character at `at`; -1 for an invalid, overlong or cut-off sequence.
long NextCodePoint(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  int length = lead < 0x80         ? 1
               : (lead >> 5) == 6  ? 2
               : (lead >> 4) == 14 ? 3
               : (lead >> 3) == 30 ? 4
                                   : 0;
  if (length == 0 || at + length > text.size()) return -1;
  long code = length == 1 ? lead : lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return -1;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  static constexpr long kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF) return -1;
  at += length;
  return code;
}

// The bytes `text` takes once written in an element's text or a quoted attribute.
std::size_t EscapedSize(std::string_view text) {
  std::size_t size = 0;
  for (char c : text) {
    switch (c) {
      case '<':
      case '>':
        size += 4;
        break;
      case '&':
        size += 5;
        break;
      case '"':
      case '\'':
        size += 6;
        break;
      default:
        size += 1;
    }
  }
  return size;
}

}  // namespace

std::string TextOf(xmpp_stanza_t* element) {
  if (element == nullptr) return {};
  char* text = xmpp_stanza_get_text(element);
  if (text == nullptr) return {};
  std::string copy(text);
  xmpp_free(xmpp_stanza_get_context(element), text);
  return copy;
}

std::string AttributeOf(xmpp_stanza_t* element, const char* name) {
  const char* value = element != nullptr ? xmpp_stanza_get_attribute(element, name) : nullptr;
  return value != nullptr ? value : "";
}

std::optional<IncomingChat> ReceivedChat(xmpp_stanza_t* message, std::string_view ownBareJid) {
  if (!Same(xmpp_stanza_get_name(message), "message")) return std::nullopt;
  xmpp_stanza_t* received = xmpp_stanza_get_child_by_name_and_ns(message, "received", kCarbonsNs);
  xmpp_stanza_t* sent = xmpp_stanza_get_child_by_name_and_ns(message, "sent", kCarbonsNs);
  if (sent != nullptr) return std::nullopt;
  if (received == nullptr) return Plain(message, ownBareJid);
  const char* outer = xmpp_stanza_get_from(message);
  if (outer == nullptr || BareJid(outer) != ownBareJid) return std::nullopt;
  xmpp_stanza_t* forwarded =
      xmpp_stanza_get_child_by_name_and_ns(received, "forwarded", kForwardNs);
  if (forwarded == nullptr) return std::nullopt;
  xmpp_stanza_t* inner = xmpp_stanza_get_child_by_name(forwarded, "message");
  // A carbon inside a carbon is nothing a server sends.
  if (inner == nullptr || xmpp_stanza_get_child_by_ns(inner, kCarbonsNs) != nullptr) {
    return std::nullopt;
  }
  return Plain(inner, ownBareJid);
}

std::optional<ArchivedMessage> ArchiveResult(xmpp_stanza_t* message, std::string_view ownBareJid) {
  if (!Same(xmpp_stanza_get_name(message), "message")) return std::nullopt;
  xmpp_stanza_t* result = xmpp_stanza_get_child_by_name_and_ns(message, "result", kMamNs);
  if (result == nullptr) return std::nullopt;
  // The user's archive answers from the user's own account (or from the server, unaddressed).
  const char* outer = xmpp_stanza_get_from(message);
  if (outer != nullptr && BareJid(outer) != ownBareJid) return std::nullopt;
  xmpp_stanza_t* forwarded = xmpp_stanza_get_child_by_name_and_ns(result, "forwarded", kForwardNs);
  xmpp_stanza_t* inner =
      forwarded != nullptr ? xmpp_stanza_get_child_by_name(forwarded, "message") : nullptr;
  ArchivedMessage archived;
  archived.queryId = AttributeOf(result, "queryid");
  archived.archiveId = AttributeOf(result, "id");
  if (archived.archiveId.empty() || inner == nullptr) return std::nullopt;
  const char* from = xmpp_stanza_get_from(inner);
  archived.sentByUser = from != nullptr && BareJid(from) == ownBareJid;
  archived.id = AttributeOf(inner, "id");
  if (!archived.sentByUser && xmpp_stanza_get_child_by_ns(inner, kCarbonsNs) == nullptr) {
    archived.chat = Plain(inner, ownBareJid);
    if (archived.chat) archived.chat->stanzaId = archived.archiveId;
  }
  return archived;
}

std::optional<std::string> UnsendableReason(std::string_view to, std::string_view body,
                                            std::size_t maxStanzaBytes) {
  for (std::size_t at = 0; at < body.size();) {
    const long code = NextCodePoint(body, at);
    if (code < 0) return "the text is not valid UTF-8";
    const bool allowed = code >= 0x20
                             ? code < 0xD800 || (code > 0xDFFF && code < 0xFFFE) || code > 0xFFFF
                             : code == '\t' || code == '\n' || code == '\r';
    if (!allowed) {
      char hex[24];
      std::snprintf(hex, sizeof hex, "U+%04lX", code);
      return std::string("the text holds ") + hex + ", which a chat message cannot carry";
    }
  }
  // <message to="" type="chat" id="" xmlns="jabber:client"><body></body><origin-id .../>
  // </message> with the longest id this client gives, generously.
  static constexpr std::size_t kEnvelope = 256;
  const std::size_t size = kEnvelope + EscapedSize(to) + EscapedSize(body);
  if (size > maxStanzaBytes) {
    return "the message takes " + std::to_string(size) + " bytes once written, past the bound of " +
           std::to_string(maxStanzaBytes);
  }
  return std::nullopt;
}

std::vector<RosterItem> RosterItems(xmpp_stanza_t* iq) {
  std::vector<RosterItem> items;
  xmpp_stanza_t* query = xmpp_stanza_get_child_by_name_and_ns(iq, "query", kRosterNs);
  if (query == nullptr) return items;
  for (xmpp_stanza_t* item = xmpp_stanza_get_children(query); item != nullptr;
       item = xmpp_stanza_get_next(item)) {
    if (!Same(xmpp_stanza_get_name(item), "item")) continue;
    const char* jid = xmpp_stanza_get_attribute(item, "jid");
    if (jid == nullptr || !IsValidJid(BareJid(jid))) continue;
    items.push_back(
        {BareJid(jid), Same(xmpp_stanza_get_attribute(item, "subscription"), "remove")});
  }
  return items;
}

}  // namespace xmpp
