#include "xmpp/stream_management.h"

#include <cstring>

namespace xmpp {

void StreamManagement::Reset() {
  state_ = State::kOff;
  sent_ = handled_ = 0;
}

Stanza StreamManagement::Enable(xmpp_ctx_t* ctx) {
  state_ = State::kRequested;
  return StreamManagementElement(ctx, "enable");
}

std::optional<std::uint64_t> StreamManagement::Handle(xmpp_stanza_t* element, xmpp_ctx_t* ctx,
                                                      Stanza& answer) {
  const char* name = xmpp_stanza_get_name(element);
  const auto is = [&](const char* wanted) { return name != nullptr && !std::strcmp(name, wanted); };
  if (is("enabled") && state_ == State::kRequested) {
    state_ = State::kOn;
    handled_ = 0;
  } else if (is("failed") && state_ == State::kRequested) {
    state_ = State::kOff;
  } else if (is("r") && On()) {
    answer = StreamManagementAnswer(ctx, handled_);
  } else if (is("a") && On()) {
    // More than was sent acknowledges nothing: the count is the server's mistake.
    const auto count = AcknowledgedCount(element);
    if (count && *count <= sent_) return count;
  }
  return std::nullopt;
}

}  // namespace xmpp
