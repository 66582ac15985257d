#include "xmpp/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace xmpp {
namespace {

bool Same(const char* a, const char* b) {
  return a != nullptr && std::strcmp(a, b) == 0;
}

std::string Seconds(int ms) {
  return std::to_string(ms / 1000) + " s";
}

}  // namespace

Session::Session(xmpp_ctx_t* ctx, std::string ownBareJid, SessionOptions options)
    : ctx_(ctx),
      bare_(std::move(ownBareJid)),
      options_(std::move(options)),
      outbox_(options_.dedupWindow),
      sync_(ctx, options_, outbox_, *this),
      seen_(options_.dedupWindow) {}

std::vector<ClientEvent> Session::TakeEvents() {
  std::vector<ClientEvent> taken;
  taken.swap(events_);
  return taken;
}

std::uint64_t Session::Write(xmpp_stanza_t* stanza) {
  transport_->Send(stanza);
  return sm_.Sent();
}

std::string Session::NewId(const char* kind) {
  // Nobody but the server sees these, and nobody may guess one: an answer is taken only for a
  // question of ours, and a contact who could name the next one could answer it for the server.
  char random[17];
  std::snprintf(random, sizeof random, "%08x%08x", random_(), random_());
  return std::string(kind) + "-" + std::to_string(++serial_) + "-" + random;
}

void Session::Bound(Transport& transport, bool smOffered, TimePoint now) {
  transport_ = &transport;
  sm_.Reset();
  probe_.Reset(now);
  sync_.Reset();
  outbox_.NewConnection();
  if (options_.checkOnly) {
    phase_.SignedIn(false, false);
    Push(ClientEvent::Online());
    return;
  }
  // Before anything else: the server counts what it handles from here on, and so do we. The
  // request itself is not counted.
  if (smOffered) transport.Send(sm_.Enable(ctx_).get());
  Send(IqStanza(ctx_, "get", (rosterId_ = NewId("roster")), "query", kRosterNs));
  // Without an initial presence the server delivers neither messages to the bare JID nor the
  // ones it stored while the user was away.
  Send(PresenceStanza(ctx_));
  Send(IqStanza(ctx_, "set", NewId("carbons"), "enable", kCarbonsNs));

  for (const std::string& id : outbox_.DropWrittenTooOften(options_.maxAttempts)) {
    Push(ClientEvent::SendFailed(id, "not acknowledged by the server after " +
                                         std::to_string(options_.maxAttempts) + " connections"));
  }
  const ArchiveSync::Started started = sync_.Start();
  phase_.SignedIn(started.checking, started.catchingUp);
  Push(ClientEvent::Online());
  if (!phase_.Checking()) WriteWaiting();
}

void Session::Lost() {
  transport_ = nullptr;
  sm_.Reset();
  sync_.Reset();
  if (phase_.CatchingUp()) CatchUpDone(true);
  phase_.Gone();
}

void Session::Queue(OutgoingChat message, TimePoint now) {
  outbox_.Queue(std::move(message), now);
  if (IsBound() && !phase_.Checking()) WriteWaiting();
}

void Session::WriteWaiting() {
  outbox_.WriteWaiting(
      [&](const OutgoingChat& message) { return Write(ChatStanza(ctx_, message).get()); });
}

void Session::Ask(TimePoint now) {
  if (sm_.On()) {
    transport_->Send(StreamManagementElement(ctx_, "r").get());
    probe_.Asked(now, sm_.SentCount());
  } else {
    const std::string pingId = NewId("ping");
    probe_.Pinged(now, Write(IqStanza(ctx_, "get", pingId, "ping", kPingNs).get()), pingId);
  }
}

void Session::Acknowledged(std::uint64_t upTo) {
  probe_.Answered();
  for (std::string& id : outbox_.Acknowledged(upTo)) Push(ClientEvent::Acked(std::move(id)));
}

void Session::Fail(const std::string& id, const std::string& reason) {
  outbox_.Remove(id);
  Push(ClientEvent::SendFailed(id, reason));
}

bool Session::Tick(TimePoint now) {
  const auto bound = std::chrono::milliseconds(options_.sendBoundMs);
  for (const std::string& id : outbox_.Late(now, bound)) {
    Fail(id, "not acknowledged by the server within " + Seconds(options_.sendBoundMs));
  }
  if (!IsBound()) return false;
  switch (probe_.Check(now, outbox_.AnyWrittenAfter(probe_.CoveredUpTo()), options_)) {
    case Probe::Verdict::kDead:
      return true;
    case Probe::Verdict::kAsk:
      Ask(now);
      break;
    case Probe::Verdict::kWait:
      break;
  }
  return false;
}

void Session::Handle(xmpp_stanza_t* stanza, TimePoint now) {
  if (!IsBound()) return;
  probe_.Heard(now);
  const char* name = xmpp_stanza_get_name(stanza);
  if (Same(xmpp_stanza_get_ns(stanza), kSmNs)) {
    Stanza answer;
    const auto acknowledged = sm_.Handle(stanza, ctx_, answer);
    if (answer) transport_->Send(answer.get());
    if (acknowledged) Acknowledged(*acknowledged);
    return;
  }
  if (Same(name, "iq")) {
    sm_.Handled();
    HandleIq(stanza);
  } else if (Same(name, "message")) {
    sm_.Handled();
    HandleMessage(stanza);
  } else if (Same(name, "presence")) {
    sm_.Handled();
  }
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
    if (probe_.AnswersPing(id)) {
      // Any answer, an error too, says that everything before the ping was handled.
      probe_.PingAnswered();
      Acknowledged(probe_.CoveredUpTo());
    } else if (sync_.Asked(id)) {
      Finished(sync_.Answered(iq, id));
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
  Stanza answer;
  if (Same(type, "set") && fromOwnAccount &&
      xmpp_stanza_get_child_by_name_and_ns(iq, "query", kRosterNs) != nullptr) {
    HandleRoster(iq, false);
    answer = IqStanza(ctx_, "result", id);
  } else if (Same(type, "get") &&
             xmpp_stanza_get_child_by_name_and_ns(iq, "ping", kPingNs) != nullptr) {
    answer = IqStanza(ctx_, "result", id);
  } else {
    answer = UnavailableAnswer(ctx_, id);
  }
  // A push from the server itself has no sender, and the answer no addressee.
  if (from != nullptr) xmpp_stanza_set_to(answer.get(), from);
  Send(std::move(answer));
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
  Push(ClientEvent::Roster(std::vector<std::string>(roster_.begin(), roster_.end())));
}

void Session::HandleMessage(xmpp_stanza_t* message) {
  if (Same(xmpp_stanza_get_type(message), "error")) {
    const std::string id = AttributeOf(message, "id");
    if (!id.empty() && outbox_.Knows(id)) Fail(id, ErrorReason(message));
    return;
  }
  if (auto archived = ArchiveResult(message, bare_)) {
    sync_.Result(std::move(*archived));
    return;
  }
  if (auto chat = ReceivedChat(message, bare_)) {
    if (!phase_.CatchingUp()) {
      Deliver(*chat);
    } else if (sync_.Hold(std::move(*chat))) {
      CatchUpDone();
    }
  }
}

void Session::Finished(ArchiveSync::Finished what) {
  if (what == ArchiveSync::Finished::kCheck) CheckDone();
  if (what == ArchiveSync::Finished::kCatchUp) CatchUpDone();
}

void Session::CheckDone() {
  phase_.CheckDone();
  for (std::string& id : sync_.TakeFound()) Push(ClientEvent::Acked(std::move(id)));
  if (IsBound()) WriteWaiting();
}

void Session::CatchUpDone(bool cutShort) {
  phase_.CatchUpDone();
  for (const IncomingChat& chat : sync_.TakeCaughtUp(cutShort)) Deliver(chat);
}

void Session::Deliver(const IncomingChat& chat) {
  if (seen_.SeenBefore(chat)) return;
  Push(ClientEvent::Message(chat.from, chat.body, chat.stanzaId));
}

}  // namespace xmpp
