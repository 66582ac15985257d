#include "xmpp/stanza.h"

#include <cstring>

#include "xmpp/bridge.h"

namespace xmpp {
namespace {

std::string Text(xmpp_stanza_t* element) {
  if (element == nullptr) return {};
  char* text = xmpp_stanza_get_text(element);
  if (text == nullptr) return {};
  std::string copy(text);
  xmpp_free(xmpp_stanza_get_context(element), text);
  return copy;
}

bool Same(const char* a, const char* b) {
  return a != nullptr && std::strcmp(a, b) == 0;
}

std::optional<IncomingChat> Plain(xmpp_stanza_t* message) {
  if (!Same(xmpp_stanza_get_name(message), "message")) return std::nullopt;
  const char* type = xmpp_stanza_get_type(message);
  if (type != nullptr && !Same(type, "chat") && !Same(type, "normal")) return std::nullopt;
  const char* from = xmpp_stanza_get_from(message);
  // A sender that is no address could not be answered, nor shown as one.
  if (from == nullptr || !IsValidJid(BareJid(from))) return std::nullopt;
  const std::string body = Text(xmpp_stanza_get_child_by_name(message, "body"));
  if (body.empty()) return std::nullopt;
  return IncomingChat{BareJid(from), body};
}

}  // namespace

std::optional<IncomingChat> ReceivedChat(xmpp_stanza_t* message, std::string_view ownBareJid) {
  if (!Same(xmpp_stanza_get_name(message), "message")) return std::nullopt;
  xmpp_stanza_t* received = xmpp_stanza_get_child_by_name_and_ns(message, "received", kCarbonsNs);
  xmpp_stanza_t* sent = xmpp_stanza_get_child_by_name_and_ns(message, "sent", kCarbonsNs);
  if (sent != nullptr) return std::nullopt;
  if (received == nullptr) return Plain(message);
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
  return Plain(inner);
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
