#include "xmpp/probe.h"

#include <algorithm>
#include <utility>

namespace xmpp {

void Probe::Reset(TimePoint now) {
  sent_.reset();
  pingId_.clear();
  upTo_ = 0;
  lastHeard_ = now;
}

Probe::Verdict Probe::Check(TimePoint now, bool unprobed, const SessionOptions& options) const {
  const auto ackTimeout = std::chrono::milliseconds(options.ackTimeoutMs);
  if (sent_) {
    if (now - std::max(*sent_, lastHeard_) >= ackTimeout) return Verdict::kDead;
    return now - *sent_ >= ackTimeout ? Verdict::kAsk : Verdict::kWait;
  }
  const bool quiet = now - lastHeard_ >= std::chrono::milliseconds(options.pingIntervalMs);
  return unprobed || quiet ? Verdict::kAsk : Verdict::kWait;
}

void Probe::Asked(TimePoint now, std::uint64_t upTo) {
  sent_ = now;
  upTo_ = upTo;
}

void Probe::Pinged(TimePoint now, std::uint64_t upTo, std::string pingId) {
  Asked(now, upTo);
  pingId_ = std::move(pingId);
}

}  // namespace xmpp
