#include "xmpp/stanza.h"

#include <cstdlib>
#include <cstring>
#include <new>

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

template <typename T>
T* Must(T* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// `parent` gets a new child element, which it owns.
xmpp_stanza_t* AddChild(xmpp_stanza_t* parent, const char* name, const char* ns = nullptr) {
  xmpp_stanza_t* child = Must(xmpp_stanza_new(xmpp_stanza_get_context(parent)));
  xmpp_stanza_set_name(child, name);
  if (ns != nullptr) xmpp_stanza_set_ns(child, ns);
  xmpp_stanza_add_child(parent, child);
  xmpp_stanza_release(child);
  return child;
}

void AddText(xmpp_stanza_t* parent, const std::string& text) {
  xmpp_stanza_t* node = Must(xmpp_stanza_new(xmpp_stanza_get_context(parent)));
  xmpp_stanza_set_text(node, text.c_str());
  xmpp_stanza_add_child(parent, node);
  xmpp_stanza_release(node);
}

std::string ErrorPart(xmpp_stanza_t* stanza, bool text) {
  xmpp_stanza_t* error = xmpp_stanza_get_child_by_name(stanza, "error");
  for (xmpp_stanza_t* child = error != nullptr ? xmpp_stanza_get_children(error) : nullptr;
       child != nullptr; child = xmpp_stanza_get_next(child)) {
    if (!Same(xmpp_stanza_get_ns(child), kStanzaErrorNs)) continue;
    const char* name = xmpp_stanza_get_name(child);
    if (Same(name, "text") == text && name != nullptr) return text ? TextOf(child) : name;
  }
  return {};
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

std::string ErrorCondition(xmpp_stanza_t* stanza) {
  return ErrorPart(stanza, false);
}

std::string ErrorText(xmpp_stanza_t* stanza) {
  return ErrorPart(stanza, true);
}

std::string ErrorReason(xmpp_stanza_t* stanza) {
  const std::string condition = ErrorCondition(stanza), text = ErrorText(stanza);
  std::string reason = "the server answered " + (condition.empty() ? "an error" : condition);
  if (!text.empty()) reason += " (" + text + ")";
  return reason;
}

ArchivePage ArchivePageOf(xmpp_stanza_t* iq) {
  xmpp_stanza_t* fin = xmpp_stanza_get_child_by_name_and_ns(iq, "fin", kMamNs);
  if (fin == nullptr) return {};
  xmpp_stanza_t* set = xmpp_stanza_get_child_by_name_and_ns(fin, "set", kRsmNs);
  ArchivePage page;
  page.complete = Same(xmpp_stanza_get_attribute(fin, "complete"), "true");
  if (set != nullptr) {
    page.first = TextOf(xmpp_stanza_get_child_by_name(set, "first"));
    page.last = TextOf(xmpp_stanza_get_child_by_name(set, "last"));
  }
  return page;
}

std::optional<std::uint64_t> AcknowledgedCount(xmpp_stanza_t* answer) {
  const std::string h = AttributeOf(answer, "h");
  char* end = nullptr;
  const unsigned long long value = std::strtoull(h.c_str(), &end, 10);
  if (h.empty() || *end != '\0') return std::nullopt;
  return value;
}

Stanza ChatStanza(xmpp_ctx_t* ctx, const OutgoingChat& message) {
  Stanza stanza(Must(xmpp_message_new(ctx, "chat", message.to.c_str(), message.id.c_str())));
  xmpp_message_set_body(stanza.get(), message.body.c_str());
  // The id again where servers and archives keep it when they rewrite the message's own.
  xmpp_stanza_set_attribute(AddChild(stanza.get(), "origin-id", kStanzaIdNs), "id",
                            message.id.c_str());
  return stanza;
}

Stanza PresenceStanza(xmpp_ctx_t* ctx) {
  return Stanza(Must(xmpp_presence_new(ctx)));
}

Stanza IqStanza(xmpp_ctx_t* ctx, const char* type, const std::string& id, const char* childName,
                const char* childNs) {
  Stanza iq(Must(xmpp_iq_new(ctx, type, id.c_str())));
  if (childName != nullptr) AddChild(iq.get(), childName, childNs);
  return iq;
}

Stanza UnavailableAnswer(xmpp_ctx_t* ctx, const std::string& id) {
  Stanza answer = IqStanza(ctx, "error", id);
  xmpp_stanza_t* error = AddChild(answer.get(), "error");
  xmpp_stanza_set_type(error, "cancel");
  AddChild(error, "service-unavailable", kStanzaErrorNs);
  return answer;
}

Stanza StreamManagementElement(xmpp_ctx_t* ctx, const char* name) {
  Stanza element(Must(xmpp_stanza_new(ctx)));
  xmpp_stanza_set_name(element.get(), name);
  xmpp_stanza_set_ns(element.get(), kSmNs);
  return element;
}

Stanza StreamManagementAnswer(xmpp_ctx_t* ctx, std::uint64_t handled) {
  Stanza answer = StreamManagementElement(ctx, "a");
  xmpp_stanza_set_attribute(answer.get(), "h", std::to_string(handled & 0xFFFFFFFFu).c_str());
  return answer;
}

Stanza ArchiveQuery(xmpp_ctx_t* ctx, const ArchiveQuestion& question) {
  Stanza iq = IqStanza(ctx, "set", question.queryId);
  xmpp_stanza_t* query = AddChild(iq.get(), "query", kMamNs);
  xmpp_stanza_set_attribute(query, "queryid", question.queryId.c_str());
  xmpp_stanza_t* form = AddChild(query, "x", "jabber:x:data");
  xmpp_stanza_set_type(form, "submit");
  xmpp_stanza_t* formType = AddChild(form, "field");
  xmpp_stanza_set_attribute(formType, "var", "FORM_TYPE");
  xmpp_stanza_set_type(formType, "hidden");
  AddText(AddChild(formType, "value"), kMamNs);
  for (const auto& [var, value] : {std::pair{"start", question.start}, {"with", question.with}}) {
    if (value.empty()) continue;
    xmpp_stanza_t* field = AddChild(form, "field");
    xmpp_stanza_set_attribute(field, "var", var);
    AddText(AddChild(field, "value"), value);
  }
  xmpp_stanza_t* set = AddChild(query, "set", kRsmNs);
  AddText(AddChild(set, "max"), std::to_string(question.max));
  if (question.forwards) {
    if (!question.page.empty()) AddText(AddChild(set, "after"), question.page);
  } else {
    // An empty <before/> asks for the newest page.
    xmpp_stanza_t* before = AddChild(set, "before");
    if (!question.page.empty()) AddText(before, question.page);
  }
  return iq;
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
