#pragma once

// Whether the server is still there. A connection quiet for the ping interval, or with a
// message written since the last question, asks the server (a stream-management <r/>, or else a
// ping, XEP-0199, answered after everything before it); an answer acknowledges what the question
// covered. Nothing at all heard for the acknowledgement time after a question: the connection is
// dead. A server that sends but has not answered is asked again.

#include <cstdint>
#include <optional>
#include <string>

#include "xmpp/client_event.h"

namespace xmpp {

class Probe {
 public:
  enum class Verdict { kWait, kAsk, kDead };

  // A new connection, just heard from.
  void Reset(TimePoint now);
  void Heard(TimePoint now) { lastHeard_ = now; }

  // `unprobed`: a message went out after what the last question covered.
  Verdict Check(TimePoint now, bool unprobed, const SessionOptions& options) const;

  // A question went out, covering this connection's stanzas up to `upTo`: a stream-management
  // request, or the ping `pingId`.
  void Asked(TimePoint now, std::uint64_t upTo);
  void Pinged(TimePoint now, std::uint64_t upTo, std::string pingId);
  std::uint64_t CoveredUpTo() const { return upTo_; }
  // An answer to the ping that is out; the question is answered then.
  bool AnswersPing(const std::string& id) const { return !pingId_.empty() && id == pingId_; }
  void PingAnswered() { pingId_.clear(); }
  // Something acknowledged our stanzas: no question is out any more.
  void Answered() { sent_.reset(); }

 private:
  std::optional<TimePoint> sent_;
  std::string pingId_;
  std::uint64_t upTo_ = 0;  // the last stanza a question covers
  TimePoint lastHeard_{};
};

}  // namespace xmpp
