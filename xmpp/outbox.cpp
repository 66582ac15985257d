#include "xmpp/outbox.h"

#include <algorithm>
#include <cstdint>

namespace xmpp {

void Outbox::NewConnection() {
  for (Pending& pending : waiting_) pending.index = 0;
}

std::vector<std::string> Outbox::DropWrittenTooOften(int maxAttempts) {
  std::vector<std::string> failed;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (it->attempts >= maxAttempts) {
      failed.push_back(it->message.id);
      it = waiting_.erase(it);
    } else {
      ++it;
    }
  }
  return failed;
}

bool Outbox::AnyWritten() const {
  return std::any_of(waiting_.begin(), waiting_.end(),
                     [](const Pending& p) { return p.attempts > 0; });
}

std::set<std::string> Outbox::WrittenRecipients() const {
  std::set<std::string> recipients;
  for (const Pending& p : waiting_) {
    if (p.attempts > 0) recipients.insert(p.message.to);
  }
  return recipients;
}

bool Outbox::AnyWrittenAfter(std::uint64_t upTo) const {
  return std::any_of(waiting_.begin(), waiting_.end(),
                     [&](const Pending& p) { return p.index > upTo; });
}

std::vector<std::string> Outbox::Acknowledged(std::uint64_t upTo) {
  std::vector<std::string> acked;
  while (!waiting_.empty() && waiting_.front().index != 0 && waiting_.front().index <= upTo) {
    const Pending pending = std::move(waiting_.front());
    waiting_.pop_front();
    // Acknowledged on this connection: its last write is the one the server has.
    Remember(pending.message.id, pending.lastWrite);
    acked.push_back(pending.message.id);
  }
  return acked;
}

std::vector<std::string> Outbox::FoundInArchive(const std::set<std::string>& found) {
  std::vector<std::string> delivered;
  for (const Pending& pending : waiting_) {
    if (pending.attempts > 0 && pending.index == 0 && found.count(pending.message.id)) {
      delivered.push_back(pending.message.id);
    }
  }
  for (const std::string& id : delivered) {
    waiting_.erase(std::find_if(waiting_.begin(), waiting_.end(),
                                [&](const Pending& p) { return p.message.id == id; }));
    Remember(id, 0);  // which of its writes the server has is not known
  }
  return delivered;
}

bool Outbox::AllFound(const std::set<std::string>& found) const {
  return std::all_of(waiting_.begin(), waiting_.end(), [&](const Pending& p) {
    return p.attempts == 0 || found.count(p.message.id) > 0;
  });
}

std::vector<std::string> Outbox::Late(TimePoint now, Clock::duration bound) const {
  std::vector<std::string> late;
  for (const Pending& pending : waiting_) {
    if (now - pending.queued >= bound) late.push_back(pending.message.id);
  }
  return late;
}

void Outbox::Remove(const std::string& id) {
  waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(),
                                [&](const Pending& p) { return p.message.id == id; }),
                 waiting_.end());
}

bool Outbox::Knows(const std::string& id) const {
  return recentWrite_.count(id) > 0 ||
         std::any_of(waiting_.begin(), waiting_.end(),
                     [&](const Pending& p) { return p.message.id == id; });
}

bool Outbox::TakenBeforeWaiting(const std::string& id) const {
  auto known = recentWrite_.find(id);
  if (known == recentWrite_.end() || known->second == 0) return false;
  std::uint64_t oldest = UINT64_MAX;
  for (const Pending& p : waiting_) {
    if (p.firstWrite != 0) oldest = std::min(oldest, p.firstWrite);
  }
  return known->second < oldest;
}

void Outbox::Remember(const std::string& id, std::uint64_t write) {
  recent_.push_back(id);
  recentWrite_[id] = write;
  if (recent_.size() > remembered_) {
    recentWrite_.erase(recent_.front());
    recent_.pop_front();
  }
}

}  // namespace xmpp
