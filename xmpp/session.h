#pragma once

// One account's conversation with its server across connections, apart from the connection
// itself: what the client says after sign-in, every stanza the server sends, the messages the
// user sends until the server has acknowledged them, and the phase the connection is in. It reads
// no clock and owns no socket: the connection hands it the time, the stanzas and a way to send,
// so that a test or a fuzzer can drive it alone.
//
// Its parts, each with its own state: stream management (stream_management.h) and the probe
// (probe.h) acknowledge what was sent, the outbox (outbox.h) keeps it until then, the archive
// sync (archive_sync.h) checks and catches up after each sign-in, and the seen messages
// (seen_messages.h) keep a second copy from the user. Carbons (XEP-0280) are asked for at
// sign-in and read where every received message is (stanza.h). A connection that ends before a
// message was acknowledged makes it unacknowledged: the next sign-in checks the archive for it.

#include <strophe.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "xmpp/archive_sync.h"
#include "xmpp/bridge.h"
#include "xmpp/client_event.h"
#include "xmpp/outbox.h"
#include "xmpp/phase.h"
#include "xmpp/probe.h"
#include "xmpp/seen_messages.h"
#include "xmpp/stanza.h"
#include "xmpp/stream_management.h"

namespace xmpp {

// How a session writes to the connection it is bound to.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual void Send(xmpp_stanza_t* stanza) = 0;
};

class Session final : ArchiveSync::Outlet {
 public:
  Session(xmpp_ctx_t* ctx, std::string ownBareJid, SessionOptions options = {});
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The connection's phase: an attempt starts, it is taken down, it is gone.
  Phase CurrentPhase() const { return phase_.Now(); }
  void Connecting() { phase_.Connecting(); }
  void Closing() { phase_.Closing(); }
  // A connection is bound (the server offered stream management or not): the session starts on
  // it and writes through `transport` until Lost().
  void Bound(Transport& transport, bool smOffered, TimePoint now);
  void Lost();
  bool IsBound() const { return transport_ != nullptr; }

  // Every top-level element the server sends after binding.
  void Handle(xmpp_stanza_t* stanza, TimePoint now);
  // Bytes came from the server: the path is alive.
  void Heard(TimePoint now) { probe_.Heard(now); }

  // A message from the user; it goes out now or once a connection is bound.
  void Queue(OutgoingChat message, TimePoint now);
  // The archive id of the newest message the user has seen; catch-ups start after it.
  void SetArchivePoint(std::string archiveId) { sync_.SetPoint(std::move(archiveId)); }

  // Probes, deadlines and bounds. True when the bound connection must be taken down: a
  // question to the server went unanswered for the acknowledgement time.
  bool Tick(TimePoint now);

  std::vector<ClientEvent> TakeEvents();
  std::size_t WaitingCount() const { return outbox_.WaitingCount(); }

 private:
  // ArchiveSync::Outlet
  // An id for a question of ours: its kind, a serial number and 64 random bits.
  std::string NewId(const char* kind) override;
  void Send(Stanza stanza) override { Write(stanza.get()); }
  void Push(ClientEvent event) override { events_.push_back(std::move(event)); }

  std::uint64_t Write(xmpp_stanza_t* stanza);  // returns its index on this connection
  bool FromOwnSide(xmpp_stanza_t* stanza) const;
  void Ask(TimePoint now);
  void Acknowledged(std::uint64_t upTo);
  void WriteWaiting();
  void Fail(const std::string& id, const std::string& reason);

  void HandleIq(xmpp_stanza_t* iq);
  void HandleMessage(xmpp_stanza_t* message);
  void HandleRoster(xmpp_stanza_t* iq, bool whole);
  void Finished(ArchiveSync::Finished what);
  void CheckDone();
  void CatchUpDone(bool cutShort = false);
  void Deliver(const IncomingChat& chat);

  xmpp_ctx_t* ctx_;
  std::string bare_;
  SessionOptions options_;
  Transport* transport_ = nullptr;
  std::vector<ClientEvent> events_;
  ConnectionPhase phase_;
  std::uint64_t serial_ = 0;  // for ids of our own
  std::random_device random_;

  StreamManagement sm_;
  Probe probe_;
  Outbox outbox_;
  ArchiveSync sync_;
  SeenMessages seen_;
  std::string rosterId_;  // the roster question waiting for its answer
  std::set<std::string> roster_;
};

}  // namespace xmpp
