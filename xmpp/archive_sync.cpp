#include "xmpp/archive_sync.h"

#include <cstdio>
#include <utility>

namespace xmpp {
namespace {

constexpr std::size_t kArchivePage = 100;
// Looking for the unacknowledged in the archive starts this long before the oldest was written:
// the server's clock and ours need not agree.
constexpr auto kClockMargin = std::chrono::minutes(5);
// Live messages that wait while the archive catches up; past this they go first.
constexpr std::size_t kMaxHeldLive = 10000;

// The moment in UTC, by the calendar's own arithmetic (the C library's reentrant breakdown has
// another name on every system).
std::string IsoTime(WallClock::time_point when) {
  using namespace std::chrono;
  const auto day = floor<days>(when);
  const year_month_day date(day);
  const hh_mm_ss<seconds> time(floor<seconds>(when) - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace

void ArchiveSync::Reset() {
  queries_.clear();
  found_.clear();
}

ArchiveSync::Started ArchiveSync::Start() {
  Started started;
  started.checking = outbox_.AnyWritten();
  if (started.checking) Ask(Query::kCheck, outlet_.NewId("check"), "");
  started.catchingUp = point_ || firstSignIn_;
  if (!firstSignIn_) firstSignIn_ = options_.wallClock();
  Ask(started.catchingUp ? Query::kCatchUp : Query::kEnd, outlet_.NewId("archive"),
      point_.value_or(""));
  return started;
}

void ArchiveSync::Ask(Query::Kind kind, const std::string& queryId, const std::string& page) {
  Query& query = queries_[queryId];
  query.kind = kind;
  query.page = page;
  if (query.start.empty() && kind == Query::kCatchUp) {
    query.start =
        IsoTime(point_ ? options_.wallClock() - std::chrono::seconds(options_.catchUpMaxAgeS)
                       : *firstSignIn_ - kClockMargin);
  }
  if (kind == Query::kCheck && query.with.empty()) {
    // Backwards from the archive's newest, by its own order: this machine's clock says nothing
    // of the server's (a clock minutes fast made the search start after what it looked for, and
    // every message went again). It ends at a message the server took before the first write
    // looked for, when all are found, or at the scan's bound.
    const std::set<std::string> recipients = outbox_.WrittenRecipients();
    // One recipient, the usual case: the archive need only look at that conversation.
    if (recipients.size() == 1) query.with = *recipients.begin();
  }
  ArchiveQuestion question;
  question.queryId = queryId;
  question.start = query.start;
  question.with = query.with;
  question.max = kind == Query::kEnd ? 1 : kArchivePage;
  // A catch-up goes forwards from the last message shown; the others backwards from the
  // newest, where what was written last is.
  question.forwards = kind == Query::kCatchUp;
  question.page = page;
  outlet_.Send(ArchiveQuery(ctx_, question));
}

void ArchiveSync::Result(ArchivedMessage archived) {
  auto entry = queries_.find(archived.queryId);
  if (entry == queries_.end()) return;
  Query& query = entry->second;
  ++query.fetched;
  query.lastId = archived.archiveId;
  if (query.kind == Query::kCheck && archived.sentByUser) {
    found_.insert(archived.id);
    // The archive holds nothing of what is looked for further back.
    if (outbox_.TakenBeforeWaiting(archived.id)) query.reachedOlder = true;
  } else if (query.kind == Query::kCatchUp && archived.chat) {
    caughtUp_.push_back(std::move(*archived.chat));
    // The newest are the ones to show when there are too many.
    if (caughtUp_.size() > options_.catchUpMax) {
      caughtUp_.erase(caughtUp_.begin());
      ++caughtUpDropped_;
    }
  }
}

ArchiveSync::Finished ArchiveSync::Answered(xmpp_stanza_t* iq, const std::string& queryId) {
  const Query query = queries_[queryId];
  queries_.erase(queryId);
  const auto finished = [&] {
    return query.kind == Query::kCheck     ? Finished::kCheck
           : query.kind == Query::kCatchUp ? Finished::kCatchUp
                                           : Finished::kNothing;
  };
  const char* type = xmpp_stanza_get_type(iq);
  if (type != nullptr && std::string_view(type) == "error") {
    if (query.kind == Query::kCatchUp && !query.page.empty() &&
        ErrorCondition(iq) == "item-not-found") {
      // The last message shown is no longer in the archive (it expired, or the account moved):
      // what came since this run began is what can still be fetched.
      point_.reset();
      Ask(Query::kCatchUp, outlet_.NewId("archive"), "");
      return Finished::kNothing;
    }
    if (!missingSaid_) {
      missingSaid_ = true;
      outlet_.Push(ClientEvent::Notice(
          "the server keeps no message archive (" + ErrorReason(iq) +
          "): what arrives while parlavant-xmpp is not running may be lost, and a message "
          "written again after a lost connection may arrive twice"));
    }
    return finished();
  }
  const ArchivePage page = ArchivePageOf(iq);
  if (query.kind == Query::kEnd) {
    if (!query.lastId.empty() && !point_) {
      point_ = query.lastId;
      outlet_.Push(ClientEvent::ArchivePoint(query.lastId));
    }
    return Finished::kNothing;
  }
  const std::string& next = query.kind == Query::kCatchUp ? page.last : page.first;
  const bool allFound = query.kind == Query::kCheck && outbox_.AllFound(found_);
  if (!page.complete && !allFound && !query.reachedOlder && !next.empty() &&
      query.fetched < options_.archiveScanMax) {
    const std::string nextId = outlet_.NewId(query.kind == Query::kCheck ? "check" : "archive");
    queries_[nextId] = query;
    Ask(query.kind, nextId, next);
    return Finished::kNothing;
  }
  if (query.kind == Query::kCatchUp && (!page.complete || caughtUpDropped_ > 0)) {
    outlet_.Push(ClientEvent::Notice(
        "more messages came while parlavant-xmpp was away than it fetches; the newest " +
        std::to_string(options_.catchUpMax) + " are shown"));
  }
  return finished();
}

bool ArchiveSync::Hold(IncomingChat chat) {
  heldLive_.push_back(std::move(chat));
  return heldLive_.size() >= kMaxHeldLive;
}

std::vector<IncomingChat> ArchiveSync::TakeCaughtUp(bool cutShort) {
  caughtUpDropped_ = 0;
  std::vector<IncomingChat> chats;
  chats.swap(caughtUp_);
  for (IncomingChat& chat : heldLive_) {
    if (!cutShort || chat.stanzaId.empty()) chats.push_back(std::move(chat));
  }
  heldLive_.clear();
  return chats;
}

std::vector<std::string> ArchiveSync::TakeFound() {
  std::vector<std::string> found = outbox_.FoundInArchive(found_);
  found_.clear();
  return found;
}

}  // namespace xmpp
