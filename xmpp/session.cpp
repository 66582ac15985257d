#include "xmpp/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include "xmpp/bridge.h"

namespace xmpp {
namespace {

constexpr const char* kSmNs = "urn:xmpp:sm:3";
constexpr std::size_t kArchivePage = 100;
// Looking for the unacknowledged in the archive starts this long before the oldest was written:
// the server's clock and ours need not agree.
constexpr auto kClockMargin = std::chrono::minutes(5);
// Live messages that wait while the archive catches up; past this they go first.
constexpr std::size_t kMaxHeldLive = 10000;

bool Same(const char* a, const char* b) {
  return a != nullptr && std::strcmp(a, b) == 0;
}

// libstrophe answers a failed allocation with NULL; nothing sensible follows from one.
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

// A stanza error's condition ("item-not-found"), or its text; empty where it has none.
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

// A stanza error's condition and text, for the user.
std::string ErrorReason(xmpp_stanza_t* stanza) {
  const std::string condition = ErrorPart(stanza, false), text = ErrorPart(stanza, true);
  std::string reason = "the server answered " + (condition.empty() ? "an error" : condition);
  if (!text.empty()) reason += " (" + text + ")";
  return reason;
}

// The moment in UTC, by the calendar's own arithmetic (the C library's reentrant breakdown has
// another name on every system).
std::string IsoTime(std::chrono::system_clock::time_point when) {
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

std::string Seconds(int ms) {
  return std::to_string(ms / 1000) + " s";
}

}  // namespace

Session::Session(xmpp_ctx_t* ctx, std::string ownBareJid, SessionOptions options)
    : ctx_(ctx), bare_(std::move(ownBareJid)), options_(options) {}

std::vector<ClientEvent> Session::TakeEvents() {
  std::vector<ClientEvent> taken;
  taken.swap(events_);
  return taken;
}

xmpp_stanza_t* Session::Element(const char* name, const char* ns) {
  xmpp_stanza_t* element = Must(xmpp_stanza_new(ctx_));
  xmpp_stanza_set_name(element, name);
  if (ns != nullptr) xmpp_stanza_set_ns(element, ns);
  return element;
}

xmpp_stanza_t* Session::Iq(const char* type, const std::string& id) {
  return Must(xmpp_iq_new(ctx_, type, id.c_str()));
}

std::uint64_t Session::Send(xmpp_stanza_t* stanza) {
  transport_->Send(stanza);
  return ++sentCount_;
}

void Session::SendIq(const char* type, const std::string& id, const char* childName,
                     const char* ns) {
  xmpp_stanza_t* iq = Iq(type, id);
  AddChild(iq, childName, ns);
  SendAndRelease(iq);
}

void Session::Bound(Transport& transport, bool smOffered, TimePoint now) {
  transport_ = &transport;
  sm_ = Sm::kOff;
  sentCount_ = handledCount_ = probedUpTo_ = 0;
  probeSent_.reset();
  pingId_.clear();
  lastHeard_ = now;
  queries_.clear();
  foundInArchive_.clear();
  for (Pending& pending : outgoing_) pending.index = 0;
  if (options_.checkOnly) {
    Push({ClientEvent::kOnline});
    return;
  }
  if (smOffered) {
    // Before anything else: the server counts what it handles from here on, and so do we.
    xmpp_stanza_t* enable = Element("enable", kSmNs);
    transport.Send(enable);
    xmpp_stanza_release(enable);
    sm_ = Sm::kRequested;
  }
  SendIq("get", (rosterId_ = NewId("roster")), "query", kRosterNs);
  // Without an initial presence the server delivers neither messages to the bare JID nor the
  // ones it stored while the user was away.
  SendAndRelease(Must(xmpp_presence_new(ctx_)));
  SendIq("set", NewId("carbons"), "enable", kCarbonsNs);

  for (auto it = outgoing_.begin(); it != outgoing_.end();) {
    if (it->attempts >= options_.maxAttempts) {
      const std::string id = it->message.id;
      it = outgoing_.erase(it);
      Push({ClientEvent::kSendFailed,
            {},
            {},
            id,
            {},
            "not acknowledged by the server after " + std::to_string(options_.maxAttempts) +
                " connections"});
    } else {
      ++it;
    }
  }
  const bool unacknowledged = std::any_of(outgoing_.begin(), outgoing_.end(),
                                          [](const Pending& p) { return p.attempts > 0; });
  checking_ = unacknowledged;
  if (unacknowledged) AskArchive(Query::kCheck, NewId("check"), "");
  // The archive is caught up from the last message shown; before one is known, from this run's
  // first sign-in. The first sign-in without one marks the archive's end, so that a later run
  // can start there even if nothing reaches a program in this one.
  catchingUp_ = archivePoint_ || firstSignIn_;
  if (!firstSignIn_) firstSignIn_ = std::chrono::system_clock::now();
  AskArchive(catchingUp_ ? Query::kCatchUp : Query::kEnd, NewId("archive"),
             archivePoint_.value_or(""));
  Push({ClientEvent::kOnline});
  if (!checking_) WriteWaiting();
}

void Session::Lost() {
  transport_ = nullptr;
  sm_ = Sm::kOff;
  queries_.clear();
  checking_ = false;
  if (catchingUp_) CatchUpDone(true);
}

void Session::Queue(OutgoingChat message, TimePoint now) {
  outgoing_.push_back({std::move(message), now});
  if (IsBound() && !checking_) WriteWaiting();
}

void Session::WriteWaiting() {
  for (Pending& pending : outgoing_) {
    if (pending.index != 0) continue;
    xmpp_stanza_t* message = Must(
        xmpp_message_new(ctx_, "chat", pending.message.to.c_str(), pending.message.id.c_str()));
    xmpp_message_set_body(message, pending.message.body.c_str());
    // The id again where servers and archives keep it when they rewrite the message's own.
    xmpp_stanza_set_attribute(AddChild(message, "origin-id", kStanzaIdNs), "id",
                              pending.message.id.c_str());
    pending.index = Send(message);
    xmpp_stanza_release(message);
    ++pending.attempts;
    pending.lastWrite = ++writeSerial_;
    if (pending.firstWrite == 0) pending.firstWrite = pending.lastWrite;
  }
}

void Session::Probe(TimePoint now) {
  if (sm_ == Sm::kOn) {
    xmpp_stanza_t* request = Element("r", kSmNs);
    transport_->Send(request);
    xmpp_stanza_release(request);
    probedUpTo_ = sentCount_;
  } else {
    pingId_ = NewId("ping");
    xmpp_stanza_t* iq = Iq("get", pingId_);
    AddChild(iq, "ping", kPingNs);
    probedUpTo_ = Send(iq);
    xmpp_stanza_release(iq);
  }
  probeSent_ = now;
}

void Session::Acknowledged(std::uint64_t upTo) {
  probeSent_.reset();
  while (!outgoing_.empty() && outgoing_.front().index != 0 && outgoing_.front().index <= upTo) {
    const Pending acked = std::move(outgoing_.front());
    outgoing_.pop_front();
    // Acknowledged on this connection: its last write is the one the server has.
    Remember(acked.message.id, acked.lastWrite);
    Push({ClientEvent::kAcked, {}, {}, acked.message.id});
  }
}

void Session::Remember(const std::string& id, std::uint64_t write) {
  recentSent_.push_back(id);
  recentSentWrite_[id] = write;
  if (recentSent_.size() > options_.dedupWindow) {
    recentSentWrite_.erase(recentSent_.front());
    recentSent_.pop_front();
  }
}

void Session::Fail(const std::string& id, const std::string& reason) {
  outgoing_.erase(std::remove_if(outgoing_.begin(), outgoing_.end(),
                                 [&](const Pending& p) { return p.message.id == id; }),
                  outgoing_.end());
  Push({ClientEvent::kSendFailed, {}, {}, id, {}, reason});
}

bool Session::Tick(TimePoint now) {
  const auto bound = std::chrono::milliseconds(options_.sendBoundMs);
  std::vector<std::string> late;
  for (const Pending& pending : outgoing_) {
    if (now - pending.queued >= bound) late.push_back(pending.message.id);
  }
  for (const std::string& id : late) {
    Fail(id, "not acknowledged by the server within " + Seconds(options_.sendBoundMs));
  }
  if (!IsBound()) return false;
  const auto ackTimeout = std::chrono::milliseconds(options_.ackTimeoutMs);
  if (probeSent_) {
    // Dead when nothing at all came for the acknowledgement time; a server that sends but has
    // not answered is asked again.
    if (now - std::max(*probeSent_, lastHeard_) >= ackTimeout) return true;
    if (now - *probeSent_ >= ackTimeout) Probe(now);
    return false;
  }
  const bool unprobed = std::any_of(outgoing_.begin(), outgoing_.end(),
                                    [&](const Pending& p) { return p.index > probedUpTo_; });
  if (unprobed || now - lastHeard_ >= std::chrono::milliseconds(options_.pingIntervalMs)) {
    Probe(now);
  }
  return false;
}

void Session::Heard(TimePoint now) {
  lastHeard_ = now;
}

std::uint64_t Session::OldestUnacknowledgedWrite() const {
  std::uint64_t oldest = UINT64_MAX;
  for (const Pending& p : outgoing_) {
    if (p.firstWrite != 0) oldest = std::min(oldest, p.firstWrite);
  }
  return oldest;
}

void Session::Handle(xmpp_stanza_t* stanza, TimePoint now) {
  if (!IsBound()) return;
  lastHeard_ = now;
  const char* name = xmpp_stanza_get_name(stanza);
  if (Same(xmpp_stanza_get_ns(stanza), kSmNs)) {
    if (Same(name, "enabled") && sm_ == Sm::kRequested) {
      sm_ = Sm::kOn;
      handledCount_ = 0;
    } else if (Same(name, "failed") && sm_ == Sm::kRequested) {
      sm_ = Sm::kOff;
    } else if (Same(name, "r") && sm_ == Sm::kOn) {
      xmpp_stanza_t* answer = Element("a", kSmNs);
      const std::string h = std::to_string(handledCount_ & 0xFFFFFFFFu);
      xmpp_stanza_set_attribute(answer, "h", h.c_str());
      transport_->Send(answer);
      xmpp_stanza_release(answer);
    } else if (Same(name, "a") && sm_ == Sm::kOn) {
      // h counts modulo 2^32; a connection never sends that many.
      const std::string h = AttributeOf(stanza, "h");
      char* end = nullptr;
      const unsigned long long value = std::strtoull(h.c_str(), &end, 10);
      if (!h.empty() && *end == '\0' && value <= sentCount_) Acknowledged(value);
    }
    return;
  }
  if (Same(name, "iq")) {
    if (sm_ == Sm::kOn) ++handledCount_;
    HandleIq(stanza);
  } else if (Same(name, "message")) {
    if (sm_ == Sm::kOn) ++handledCount_;
    HandleMessage(stanza);
  } else if (Same(name, "presence")) {
    if (sm_ == Sm::kOn) ++handledCount_;
  }
}

std::string Session::NewId(const char* kind) {
  // Nobody but the server sees these, and nobody may guess one: an answer is taken only for a
  // question of ours, and a contact who could name the next one could answer it for the server.
  char random[17];
  std::snprintf(random, sizeof random, "%08x%08x", random_(), random_());
  return std::string(kind) + "-" + std::to_string(++serial_) + "-" + random;
}

bool Session::FromOwnSide(xmpp_stanza_t* stanza) const {
  // What the server answers for the account comes from the account's bare JID, from the server,
  // or from nobody (RFC 6120, 8.1.2.1); anything else was sent by someone else.
  const char* from = xmpp_stanza_get_from(stanza);
  return from == nullptr || from == bare_ || from == bare_.substr(bare_.find('@') + 1);
}

void Session::HandleIq(xmpp_stanza_t* iq) {
  const char* type = xmpp_stanza_get_type(iq);
  const std::string id = AttributeOf(iq, "id");
  if (Same(type, "result") || Same(type, "error")) {
    if (!FromOwnSide(iq)) return;
    if (!pingId_.empty() && id == pingId_) {
      // Any answer, an error too, says that everything before the ping was handled.
      pingId_.clear();
      Acknowledged(probedUpTo_);
    } else if (queries_.count(id)) {
      ArchiveAnswered(iq, id);
    } else if (!rosterId_.empty() && id == rosterId_ && Same(type, "result")) {
      rosterId_.clear();
      HandleRoster(iq, true);
    }
    return;
  }
  if (!Same(type, "get") && !Same(type, "set")) return;
  // Every get and set is answered: a result where we know what it asks, an error otherwise.
  const char* from = xmpp_stanza_get_from(iq);
  const bool fromOwnAccount = from == nullptr || BareJid(from) == bare_;
  xmpp_stanza_t* answer = nullptr;
  if (Same(type, "set") && fromOwnAccount &&
      xmpp_stanza_get_child_by_name_and_ns(iq, "query", kRosterNs) != nullptr) {
    HandleRoster(iq, false);
    answer = Iq("result", id);
  } else if (Same(type, "get") &&
             xmpp_stanza_get_child_by_name_and_ns(iq, "ping", kPingNs) != nullptr) {
    answer = Iq("result", id);
  } else {
    answer = Iq("error", id);
    xmpp_stanza_t* error = AddChild(answer, "error");
    xmpp_stanza_set_type(error, "cancel");
    AddChild(error, "service-unavailable", kStanzaErrorNs);
  }
  // A push from the server itself has no sender, and the answer no addressee.
  if (from != nullptr) xmpp_stanza_set_to(answer, from);
  SendAndRelease(answer);
}

void Session::HandleRoster(xmpp_stanza_t* iq, bool whole) {
  if (whole) roster_.clear();
  for (const RosterItem& item : RosterItems(iq)) {
    if (item.removed) {
      roster_.erase(item.jid);
    } else {
      roster_.insert(item.jid);
    }
  }
  Push(
      {ClientEvent::kRoster, {}, {}, {}, std::vector<std::string>(roster_.begin(), roster_.end())});
}

void Session::HandleMessage(xmpp_stanza_t* message) {
  if (Same(xmpp_stanza_get_type(message), "error")) {
    const std::string id = AttributeOf(message, "id");
    const bool waiting = std::any_of(outgoing_.begin(), outgoing_.end(),
                                     [&](const Pending& p) { return p.message.id == id; });
    if (!id.empty() && (waiting || recentSentWrite_.count(id))) Fail(id, ErrorReason(message));
    return;
  }
  if (auto archived = ArchiveResult(message, bare_)) {
    auto query = queries_.find(archived->queryId);
    if (query == queries_.end()) return;
    ++query->second.fetched;
    query->second.lastId = archived->archiveId;
    if (query->second.kind == Query::kCheck && archived->sentByUser) {
      foundInArchive_.insert(archived->id);
      // A message of ours that the server took from a write before any unacknowledged one was
      // first written: the archive holds nothing of theirs further back.
      auto known = recentSentWrite_.find(archived->id);
      if (known != recentSentWrite_.end() && known->second != 0 &&
          known->second < OldestUnacknowledgedWrite()) {
        query->second.reachedOlder = true;
      }
    } else if (query->second.kind == Query::kCatchUp && archived->chat) {
      caughtUp_.push_back(std::move(*archived->chat));
      // The newest are the ones to show when there are too many.
      if (caughtUp_.size() > options_.catchUpMax) {
        caughtUp_.erase(caughtUp_.begin());
        ++caughtUpDropped_;
      }
    }
    return;
  }
  if (auto chat = ReceivedChat(message, bare_)) {
    if (!catchingUp_) {
      Deliver(*chat);
      return;
    }
    heldLive_.push_back(std::move(*chat));
    if (heldLive_.size() >= kMaxHeldLive) CatchUpDone();
  }
}

void Session::AskArchive(Query::Kind kind, const std::string& queryId, const std::string& page) {
  Query& query = queries_[queryId];
  query.kind = kind;
  query.page = page;
  if (query.start.empty() && kind == Query::kCatchUp) {
    auto start = std::chrono::system_clock::now() - std::chrono::seconds(options_.catchUpMaxAgeS);
    if (!archivePoint_) start = *firstSignIn_ - kClockMargin;
    query.start = IsoTime(start);
  }
  if (kind == Query::kCheck && query.with.empty()) {
    // Backwards from the archive's newest, by its own order: this machine's clock says nothing
    // of the server's (a clock minutes fast made the search start after what it looked for, and
    // every message went again). It ends at a message the server took before the first write
    // looked for, when all are found, or at the scan's bound.
    std::set<std::string> recipients;
    for (const Pending& p : outgoing_) {
      if (p.attempts > 0) recipients.insert(p.message.to);
    }
    // One recipient, the usual case: the archive need only look at that conversation.
    if (recipients.size() == 1) query.with = *recipients.begin();
  }
  xmpp_stanza_t* iq = Iq("set", queryId);
  xmpp_stanza_t* element = AddChild(iq, "query", kMamNs);
  xmpp_stanza_set_attribute(element, "queryid", queryId.c_str());
  xmpp_stanza_t* form = AddChild(element, "x", "jabber:x:data");
  xmpp_stanza_set_type(form, "submit");
  xmpp_stanza_t* formType = AddChild(form, "field");
  xmpp_stanza_set_attribute(formType, "var", "FORM_TYPE");
  xmpp_stanza_set_type(formType, "hidden");
  AddText(AddChild(formType, "value"), kMamNs);
  for (const auto& [var, value] : {std::pair{"start", query.start}, {"with", query.with}}) {
    if (value.empty()) continue;
    xmpp_stanza_t* field = AddChild(form, "field");
    xmpp_stanza_set_attribute(field, "var", var);
    AddText(AddChild(field, "value"), value);
  }
  xmpp_stanza_t* set = AddChild(element, "set", kRsmNs);
  AddText(AddChild(set, "max"), std::to_string(kind == Query::kEnd ? 1 : kArchivePage));
  if (kind == Query::kCatchUp) {
    // Forwards from the last message shown.
    if (!page.empty()) AddText(AddChild(set, "after"), page);
  } else {
    // Backwards from the newest: what was written last is looked for where it is.
    xmpp_stanza_t* before = AddChild(set, "before");
    if (!page.empty()) AddText(before, page);
  }
  SendAndRelease(iq);
}

void Session::ArchiveAnswered(xmpp_stanza_t* iq, const std::string& queryId) {
  const Query query = queries_[queryId];
  queries_.erase(queryId);
  if (Same(xmpp_stanza_get_type(iq), "error")) {
    if (query.kind == Query::kCatchUp && !query.page.empty() &&
        ErrorPart(iq, false) == "item-not-found") {
      // The last message shown is no longer in the archive (it expired, or the account moved):
      // what came since this run began is what can still be fetched.
      archivePoint_.reset();
      AskArchive(Query::kCatchUp, NewId("archive"), "");
      return;
    }
    if (!archiveMissingSaid_) {
      archiveMissingSaid_ = true;
      Push({ClientEvent::kNotice,
            {},
            {},
            {},
            {},
            "the server keeps no message archive (" + ErrorReason(iq) +
                "): what arrives while parlavant-xmpp is not running may be lost, and a message "
                "written again after a lost connection may arrive twice"});
    }
    if (query.kind == Query::kCheck) CheckDone();
    if (query.kind == Query::kCatchUp) CatchUpDone();
    return;
  }
  xmpp_stanza_t* fin = xmpp_stanza_get_child_by_name_and_ns(iq, "fin", kMamNs);
  const bool complete =
      Same(fin != nullptr ? xmpp_stanza_get_attribute(fin, "complete") : nullptr, "true");
  xmpp_stanza_t* set =
      fin != nullptr ? xmpp_stanza_get_child_by_name_and_ns(fin, "set", kRsmNs) : nullptr;
  const std::string next =
      TextOf(set != nullptr ? xmpp_stanza_get_child_by_name(
                                  set, query.kind == Query::kCatchUp ? "last" : "first")
                            : nullptr);
  if (query.kind == Query::kEnd) {
    if (!query.lastId.empty() && !archivePoint_) {
      archivePoint_ = query.lastId;
      Push({ClientEvent::kArchivePoint, {}, {}, query.lastId});
    }
    return;
  }
  const bool allFound = query.kind == Query::kCheck &&
                        std::all_of(outgoing_.begin(), outgoing_.end(), [&](const Pending& p) {
                          return p.attempts == 0 || foundInArchive_.count(p.message.id) > 0;
                        });
  if (!complete && !allFound && !query.reachedOlder && !next.empty() &&
      query.fetched < options_.archiveScanMax) {
    const std::string nextId = NewId(query.kind == Query::kCheck ? "check" : "archive");
    queries_[nextId] = query;
    AskArchive(query.kind, nextId, next);
    return;
  }
  if (query.kind == Query::kCatchUp && (!complete || caughtUpDropped_ > 0)) {
    Push({ClientEvent::kNotice,
          {},
          {},
          {},
          {},
          "more messages came while parlavant-xmpp was away than it fetches; the newest " +
              std::to_string(options_.catchUpMax) + " are shown"});
  }
  if (query.kind == Query::kCheck) CheckDone();
  if (query.kind == Query::kCatchUp) CatchUpDone();
}

void Session::CheckDone() {
  checking_ = false;
  std::vector<std::string> delivered;
  for (const Pending& pending : outgoing_) {
    if (pending.attempts > 0 && pending.index == 0 && foundInArchive_.count(pending.message.id)) {
      delivered.push_back(pending.message.id);
    }
  }
  for (const std::string& id : delivered) {
    outgoing_.erase(std::find_if(outgoing_.begin(), outgoing_.end(),
                                 [&](const Pending& p) { return p.message.id == id; }));
    Remember(id, 0);  // which of its writes the server has is not known
    Push({ClientEvent::kAcked, {}, {}, id});
  }
  foundInArchive_.clear();
  if (IsBound()) WriteWaiting();
}

void Session::CatchUpDone(bool cutShort) {
  catchingUp_ = false;
  caughtUpDropped_ = 0;
  std::vector<IncomingChat> caught, live;
  caught.swap(caughtUp_);
  live.swap(heldLive_);
  for (const IncomingChat& chat : caught) Deliver(chat);
  // Cut short by a lost connection, what came live and is in the archive comes again with the
  // next catch-up, after the older rest that this one did not get to.
  for (const IncomingChat& chat : live) {
    if (!cutShort || chat.stanzaId.empty()) Deliver(chat);
  }
}

void Session::Deliver(const IncomingChat& chat) {
  if (SeenBefore(chat)) return;
  Push({ClientEvent::kMessage, chat.from, chat.body, chat.stanzaId});
}

bool Session::SeenBefore(const IncomingChat& chat) {
  const std::string senderKey = chat.from + '\0' + chat.id;
  if (!chat.stanzaId.empty() && seenStanzaIds_.count(chat.stanzaId)) return true;
  if (!chat.id.empty()) {
    auto it = seenSenderIds_.find(senderKey);
    // Two copies that both carry the server's id are told apart by it alone.
    if (it != seenSenderIds_.end() && (chat.stanzaId.empty() || it->second.withoutStanzaId > 0)) {
      return true;
    }
  }
  // A message without any id is never taken for another.
  if (chat.stanzaId.empty() && chat.id.empty()) return false;
  seen_.push_back({chat.stanzaId, chat.from, chat.id});
  if (!chat.stanzaId.empty()) seenStanzaIds_.insert(chat.stanzaId);
  if (!chat.id.empty()) {
    auto& count = seenSenderIds_[senderKey];
    (chat.stanzaId.empty() ? count.withoutStanzaId : count.withStanzaId) += 1;
  }
  if (seen_.size() > options_.dedupWindow) {
    const SeenKey& old = seen_.front();
    if (!old.stanzaId.empty()) seenStanzaIds_.erase(seenStanzaIds_.find(old.stanzaId));
    if (!old.id.empty()) {
      auto it = seenSenderIds_.find(old.from + '\0' + old.id);
      (old.stanzaId.empty() ? it->second.withoutStanzaId : it->second.withStanzaId) -= 1;
      if (it->second.withoutStanzaId == 0 && it->second.withStanzaId == 0) {
        seenSenderIds_.erase(it);
      }
    }
    seen_.pop_front();
  }
  return false;
}

}  // namespace xmpp
