#pragma once

// Stream management (XEP-0198) on one connection, without resumption (the client's one resource
// stands in for it, see client.h): enabled right after binding where the server offers it, it
// counts every stanza sent after <enable/> and every one handled after <enabled/>, answers the
// server's <r/> with that count, and reads the server's <a h=N/> as "the first N are handled".
// Where it is off the counting of what was sent goes on, for the ping probe's sake.

#include <strophe.h>

#include <cstdint>
#include <optional>

#include "xmpp/stanza.h"

namespace xmpp {

class StreamManagement {
 public:
  // A new connection: off, nothing counted.
  void Reset();
  // <enable/>, to be sent before anything else.
  Stanza Enable(xmpp_ctx_t* ctx);
  bool On() const { return state_ == State::kOn; }

  // One stanza of ours went out; its number on this connection.
  std::uint64_t Sent() { return ++sent_; }
  std::uint64_t SentCount() const { return sent_; }
  // One stanza of the server's (iq, message, presence) was handled.
  void Handled() {
    if (On()) ++handled_;
  }

  // A stanza in the stream-management namespace. `answer` gets what goes back (the count, for
  // <r/>); the result is the count of ours the server acknowledges, if it did.
  std::optional<std::uint64_t> Handle(xmpp_stanza_t* element, xmpp_ctx_t* ctx, Stanza& answer);

 private:
  enum class State { kOff, kRequested, kOn } state_ = State::kOff;
  std::uint64_t sent_ = 0;     // stanzas sent since <enable/> (or since binding)
  std::uint64_t handled_ = 0;  // stanzas handled since <enabled/>
};

}  // namespace xmpp
