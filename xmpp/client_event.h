#pragma once

// What one account's connection tells its host, and the session's settings.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace xmpp {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using WallClock = std::chrono::system_clock;

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
  // The calendar time the archive's questions are asked in; the steady time comes with every
  // call instead.
  std::function<WallClock::time_point()> wallClock = [] { return WallClock::now(); };
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

  static ClientEvent Online() { return {kOnline}; }
  static ClientEvent Offline(std::string reason, Cause cause, int retryMs, bool lost) {
    ClientEvent e{kOffline};
    e.reason = std::move(reason);
    e.cause = cause;
    e.retryMs = retryMs;
    e.lost = lost;
    return e;
  }
  static ClientEvent Message(std::string from, std::string body, std::string archiveId) {
    return {kMessage, std::move(from), std::move(body), std::move(archiveId)};
  }
  static ClientEvent Roster(std::vector<std::string> whole) {
    ClientEvent e{kRoster};
    e.roster = std::move(whole);
    return e;
  }
  static ClientEvent Refused(std::string reason, Cause cause) {
    return WithReason(kRefused, std::move(reason), cause);
  }
  static ClientEvent Failed(std::string reason, Cause cause = kNoCause) {
    return WithReason(kFailed, std::move(reason), cause);
  }
  static ClientEvent Acked(std::string messageId) { return {kAcked, {}, {}, std::move(messageId)}; }
  static ClientEvent SendFailed(std::string messageId, std::string reason) {
    ClientEvent e{kSendFailed, {}, {}, std::move(messageId)};
    e.reason = std::move(reason);
    return e;
  }
  static ClientEvent ArchivePoint(std::string archiveId) {
    return {kArchivePoint, {}, {}, std::move(archiveId)};
  }
  static ClientEvent Notice(std::string text) { return WithReason(kNotice, std::move(text)); }

 private:
  static ClientEvent WithReason(Kind kind, std::string reason, Cause cause = kNoCause) {
    ClientEvent e{kind};
    e.reason = std::move(reason);
    e.cause = cause;
    return e;
  }
};

}  // namespace xmpp
