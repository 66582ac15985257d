#pragma once

// The user's messages from the moment they are sent until the server has acknowledged them, or
// they have failed, across connections; and, for a while after, which of them the server has.

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "xmpp/bridge.h"
#include "xmpp/client_event.h"

namespace xmpp {

class Outbox {
 public:
  struct Pending {
    OutgoingChat message;
    TimePoint queued;
    int attempts = 0;         // connections it was written on
    std::uint64_t index = 0;  // its place among the stanzas sent on this connection; 0: not yet
    std::uint64_t firstWrite = 0, lastWrite = 0;  // among all writes of messages, in order
  };

  // `remembered`: acknowledged messages kept for an error that follows and for the check.
  explicit Outbox(std::size_t remembered) : remembered_(remembered) {}

  void Queue(OutgoingChat message, TimePoint now) { waiting_.push_back({std::move(message), now}); }
  std::size_t WaitingCount() const { return waiting_.size(); }

  // A new connection: nothing is written on it yet.
  void NewConnection();
  // Those written on `maxAttempts` connections already leave: their ids.
  std::vector<std::string> DropWrittenTooOften(int maxAttempts);
  // Written on a connection before, and not known to be with the server.
  bool AnyWritten() const;
  // The recipients of those.
  std::set<std::string> WrittenRecipients() const;

  // Each message not yet written on this connection, in order; `write` puts it out and returns
  // its index among the connection's stanzas.
  template <typename Write>
  void WriteWaiting(Write write) {
    for (Pending& pending : waiting_) {
      if (pending.index != 0) continue;
      pending.index = write(pending.message);
      ++pending.attempts;
      pending.lastWrite = ++writeSerial_;
      if (pending.firstWrite == 0) pending.firstWrite = pending.lastWrite;
    }
  }
  // Written on this connection after its `upTo`-th stanza.
  bool AnyWrittenAfter(std::uint64_t upTo) const;

  // The server has the first `upTo` stanzas of this connection: the ids now with it, in order.
  std::vector<std::string> Acknowledged(std::uint64_t upTo);
  // Those written before and found in the archive: with the server, and gone from here.
  std::vector<std::string> FoundInArchive(const std::set<std::string>& found);
  bool AllFound(const std::set<std::string>& found) const;
  // Waiting since `bound` before `now`.
  std::vector<std::string> Late(TimePoint now, Clock::duration bound) const;
  void Remove(const std::string& id);

  // Waiting, or acknowledged a short while ago.
  bool Knows(const std::string& id) const;
  // A message of ours that the server took from a write before any waiting one was first
  // written.
  bool TakenBeforeWaiting(const std::string& id) const;

 private:
  void Remember(const std::string& id, std::uint64_t write);

  std::size_t remembered_;
  std::deque<Pending> waiting_;
  std::uint64_t writeSerial_ = 0;
  // Acknowledged: id -> the write the server has (0: not known).
  std::deque<std::string> recent_;
  std::unordered_map<std::string, std::uint64_t> recentWrite_;
};

}  // namespace xmpp
