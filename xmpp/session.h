#pragma once

// One account's conversation with its server across connections, apart from the connection
// itself: what the client says after sign-in, every stanza the server sends, the messages the
// user sends until the server has acknowledged them, the archive catch-up after a sign-in, and
// the dead-connection probe. It reads no clock and owns no socket: the connection hands it the
// time, the stanzas and a way to send, so that a test or a fuzzer can drive it alone.
//
// Acknowledgements: where the server offers stream management (XEP-0198) the client enables it
// right after binding, without resumption (the client's one resource stands in for it, see
// client.h), and counts every stanza it sends after <enable/> and every one it handles after
// <enabled/>; <a h=N/> acknowledges the first N. Elsewhere a ping (XEP-0199) answered after a
// message acknowledges it: the server handles a stream's stanzas in order. A connection that ends before a message was acknowledged makes it unacknowledged: the
// next session first looks for its id among the user's own sent messages in the archive
// (XEP-0313) and writes again, with the same id and in order, only those that are not there.

#include <strophe.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "xmpp/bridge.h"
#include "xmpp/stanza.h"

namespace xmpp {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

struct SessionOptions {
  int pingIntervalMs = 30000;         // quiet this long: the server is asked whether it is there
  int ackTimeoutMs = 30000;           // a question unanswered this long: the connection is dead
  int sendBoundMs = 10 * 60000;       // a message unacknowledged this long is FAILED
  int maxAttempts = 5;                // connections a message is written on before it is FAILED
  std::size_t catchUpMax = 1000;      // archived messages fetched after one sign-in
  int catchUpMaxAgeS = 7 * 86400;     // and none older than this
  std::size_t archiveScanMax = 5000;  // archived messages one question looks through at most
  std::size_t dedupWindow = 5000;     // received messages remembered for spotting a second copy
  // Only signs in, to learn whether the account works: no presence (so the server routes no
  // message here, where none would be kept), roster, archive or stream management.
  bool checkOnly = false;
};

struct ClientEvent {
  // kFailed: the first sign-in failed, the account does not work; kRefused: a later login was
  // refused, and no more attempts follow. kAcked / kSendFailed: the message with `id` is with
  // the server / will not be delivered (`reason`); kArchivePoint: `id` marks the archive's end
  // when there was nothing to catch up from; kNotice: something to tell the user once.
  enum Kind {
    kOnline,
    kOffline,
    kMessage,
    kRoster,
    kRefused,
    kFailed,
    kAcked,
    kSendFailed,
    kArchivePoint,
    kNotice
  } kind;
  std::string from{}, body{};         // kMessage
  std::string id{};                   // kMessage: its archive id (may be empty); see above
  std::vector<std::string> roster{};  // kRoster: the whole roster now
  std::string reason{};               // kOffline, kRefused, kFailed, kSendFailed, kNotice
  // kFailed, kRefused, kOffline: what the user would correct, where it is known.
  enum Cause { kNoCause, kPassword, kDomain, kCertificate, kUnreachable } cause = kNoCause;
  int retryMs = 0;    // kOffline: the next attempt comes after this long
  bool lost = false;  // kOffline: a signed-in connection ended (else an attempt failed)
};

// How a session writes to the connection it is bound to.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual void Send(xmpp_stanza_t* stanza) = 0;
};

class Session {
 public:
  Session(xmpp_ctx_t* ctx, std::string ownBareJid, SessionOptions options = {});
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // A connection is bound (the server offered stream management or not): the session starts on
  // it and writes through `transport` until Lost().
  void Bound(Transport& transport, bool smOffered, TimePoint now);
  void Lost();
  bool IsBound() const { return transport_ != nullptr; }

  // Every top-level element the server sends after binding.
  void Handle(xmpp_stanza_t* stanza, TimePoint now);
  // Bytes came from the server: the path is alive.
  void Heard(TimePoint now);

  // A message from the user; it goes out now or once a connection is bound.
  void Queue(OutgoingChat message, TimePoint now);
  // The archive id of the newest message the user has seen; catch-ups start after it.
  void SetArchivePoint(std::string archiveId) { archivePoint_ = std::move(archiveId); }

  // Probes, deadlines and bounds. True when the bound connection must be taken down: a
  // question to the server went unanswered for the acknowledgement time.
  bool Tick(TimePoint now);

  std::vector<ClientEvent> TakeEvents();
  std::size_t WaitingCount() const { return outgoing_.size(); }

 private:
  struct Pending {
    OutgoingChat message;
    TimePoint queued;
    int attempts = 0;
    std::uint64_t index = 0;  // its place among the stanzas sent on this connection; 0: not yet
    std::uint64_t firstWrite = 0, lastWrite = 0;  // among all writes of messages, in order
  };
  struct Query {
    enum Kind { kCatchUp, kCheck, kEnd } kind = kEnd;
    std::size_t fetched = 0;
    std::string start;  // the oldest time asked for, the same on every page
    std::string page;   // where this page starts: after this id (catch-up), before it (others)
    std::string with;   // only the conversation with this JID
    bool reachedOlder = false;  // a check has come to what is older than all it looks for
    std::string lastId;         // the newest archive id seen in its answers
  };
  struct SeenKey {
    std::string stanzaId, from, id;
  };

  void Push(ClientEvent event) { events_.push_back(std::move(event)); }
  std::uint64_t Send(xmpp_stanza_t* stanza);  // returns its index
  void SendAndRelease(xmpp_stanza_t* stanza) {
    Send(stanza);
    xmpp_stanza_release(stanza);
  }
  xmpp_stanza_t* Element(const char* name, const char* ns);
  // An id for a question of ours: its kind, a serial number and 64 random bits.
  std::string NewId(const char* kind);
  bool FromOwnSide(xmpp_stanza_t* stanza) const;
  xmpp_stanza_t* Iq(const char* type, const std::string& id);
  void SendIq(const char* type, const std::string& id, const char* childName, const char* ns);
  void Probe(TimePoint now);
  void Acknowledged(std::uint64_t upTo);
  void WriteWaiting();
  void Fail(const std::string& id, const std::string& reason);
  void Remember(const std::string& id, std::uint64_t write);
  std::uint64_t OldestUnacknowledgedWrite() const;

  void HandleIq(xmpp_stanza_t* iq);
  void HandleMessage(xmpp_stanza_t* message);
  void HandleRoster(xmpp_stanza_t* iq, bool whole);
  void AskArchive(Query::Kind kind, const std::string& queryId, const std::string& page);
  void ArchiveAnswered(xmpp_stanza_t* iq, const std::string& queryId);
  void CheckDone();
  void CatchUpDone(bool cutShort = false);
  void Deliver(const IncomingChat& chat);
  bool SeenBefore(const IncomingChat& chat);

  xmpp_ctx_t* ctx_;
  std::string bare_;
  SessionOptions options_;
  Transport* transport_ = nullptr;
  std::vector<ClientEvent> events_;

  // This connection.
  enum class Sm { kOff, kRequested, kOn } sm_ = Sm::kOff;
  std::uint64_t sentCount_ = 0;     // stanzas sent since <enable/> (or since binding)
  std::uint64_t handledCount_ = 0;  // stanzas handled since <enabled/>
  std::uint64_t probedUpTo_ = 0;    // the last stanza a question covers
  std::optional<TimePoint> probeSent_;
  std::string pingId_;
  TimePoint lastHeard_{};
  std::uint64_t serial_ = 0;  // for ids of our own
  std::random_device random_;
  std::string rosterId_;  // the roster question waiting for its answer
  std::map<std::string, Query> queries_;
  bool checking_ = false;  // looking for unacknowledged messages in the archive
  bool catchingUp_ = false;
  std::set<std::string> foundInArchive_;
  std::vector<IncomingChat> caughtUp_, heldLive_;
  std::size_t caughtUpDropped_ = 0;

  // Across connections.
  std::deque<Pending> outgoing_;
  // Acknowledged, for an error that follows and for knowing how far back a check must look:
  // id -> the write the server has (0: not known).
  std::deque<std::string> recentSent_;
  std::unordered_map<std::string, std::uint64_t> recentSentWrite_;
  std::uint64_t writeSerial_ = 0;
  std::optional<std::string> archivePoint_;
  std::optional<std::chrono::system_clock::time_point> firstSignIn_;
  bool archiveMissingSaid_ = false;
  std::deque<SeenKey> seen_;
  std::unordered_multiset<std::string> seenStanzaIds_;
  struct SenderIdCount {
    int withoutStanzaId = 0, withStanzaId = 0;
  };
  std::unordered_map<std::string, SenderIdCount> seenSenderIds_;  // key: from, NUL, id
  std::set<std::string> roster_;
};

}  // namespace xmpp
