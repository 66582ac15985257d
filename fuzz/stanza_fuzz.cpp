// What the XMPP chat client reads out of a stanza from the network: any XML that libstrophe
// parses becomes at most one received chat message (from someone, with a body) and roster items
// with JIDs, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xmpp/stanza.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
  const std::string text(reinterpret_cast<const char*>(data), size);
  xmpp_stanza_t* stanza = xmpp_stanza_new_from_string(ctx, text.c_str());
  if (stanza == nullptr) return 0;
  if (auto chat = xmpp::ReceivedChat(stanza, "alice@example.org")) {
    if (chat->from.empty() || chat->body.empty() || chat->from.find('/') != std::string::npos) {
      std::abort();
    }
  }
  for (const xmpp::RosterItem& item : xmpp::RosterItems(stanza)) {
    if (item.jid.empty()) std::abort();
  }
  xmpp_stanza_release(stanza);
  return 0;
}
