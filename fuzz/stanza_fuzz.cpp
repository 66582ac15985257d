// What the XMPP client makes of a stanza from the network: any XML that libstrophe parses is at
// most one received chat message (from someone, with a body) and roster items with JIDs, and a
// session bound to a connection takes it, whatever it is, in any state: acknowledgements,
// errors, archive answers, roster pushes and questions included, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xmpp/session.h"
#include "xmpp/stanza.h"

namespace {

class Discard : public xmpp::Transport {
 public:
  void Send(xmpp_stanza_t*) override { ++sent; }
  int sent = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
  if (size == 0) return 0;
  // The first byte chooses the session's state; the rest is the stanza.
  const std::uint8_t state = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
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
  if (auto archived = xmpp::ArchiveResult(stanza, "alice@example.org")) {
    if (archived->archiveId.empty()) std::abort();
  }

  xmpp::SessionOptions options;
  options.dedupWindow = 2;
  xmpp::Session session(ctx, "alice@example.org", options);
  Discard transport;
  const auto now = xmpp::Clock::now();
  if (state & 1) session.SetArchivePoint("s0");
  session.Queue({"m1", "bob@example.org", "one"}, now);
  session.Bound(transport, state & 2, now);
  if (state & 4) session.Lost();
  if (state & 8) {
    session.Lost();
    session.Bound(transport, state & 2, now);  // m1 unacknowledged: the archive is asked first
  }
  session.Queue({"m2", "bob@example.org", "two"}, now);
  // Twice: a copy, an answer to a question already answered.
  session.Handle(stanza, now);
  session.Handle(stanza, now);
  session.Tick(now);
  for (const xmpp::ClientEvent& event : session.TakeEvents()) {
    if (event.kind == xmpp::ClientEvent::kMessage && event.from.empty()) std::abort();
  }
  xmpp_stanza_release(stanza);
  return 0;
}
