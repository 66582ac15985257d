#pragma once

// The user's message archive (XEP-0313) after each sign-in. Two questions go out at once:
//  - the check, where messages were written on a connection that ended before the server
//    acknowledged them: it looks for their ids among the user's own sent messages, backwards
//    from the archive's newest, and what it finds is with the server (the rest is written again,
//    with the same ids and in order);
//  - the catch-up, forwards from the last message shown (before one is known, from this run's
//    first sign-in), for what came while away; live messages wait behind it. The first sign-in
//    without a point to start from only asks for the archive's end, so that a later run can
//    start there even if nothing reaches a program in this one.

#include <strophe.h>

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "xmpp/client_event.h"
#include "xmpp/outbox.h"
#include "xmpp/stanza.h"

namespace xmpp {

class ArchiveSync {
 public:
  // What the sync needs of the session it is part of.
  class Outlet {
   public:
    virtual ~Outlet() = default;
    virtual std::string NewId(const char* kind) = 0;
    virtual void Send(Stanza stanza) = 0;
    virtual void Push(ClientEvent event) = 0;
  };

  ArchiveSync(xmpp_ctx_t* ctx, const SessionOptions& options, Outbox& outbox, Outlet& outlet)
      : ctx_(ctx), options_(options), outbox_(outbox), outlet_(outlet) {}

  // The archive id of the newest message the user has seen.
  void SetPoint(std::string archiveId) { point_ = std::move(archiveId); }

  // No question of ours is out (a new connection, or none).
  void Reset();
  struct Started {
    bool checking = false, catchingUp = false;
  };
  // A connection is signed in: the questions go out.
  Started Start();

  bool Asked(const std::string& queryId) const { return queries_.count(queryId) > 0; }
  // One message of an answer; one of no question of ours is dropped.
  void Result(ArchivedMessage archived);
  // The end of an answer to `queryId`, which asked: more pages follow, or what it was finishes.
  enum class Finished { kNothing, kCheck, kCatchUp };
  Finished Answered(xmpp_stanza_t* iq, const std::string& queryId);

  // A live message while the catch-up runs; true when so many wait that they must go now.
  bool Hold(IncomingChat chat);
  // The catch-up is done: what it brought, then what came live meanwhile. Cut short by a lost
  // connection, what came live and is in the archive comes again with the next catch-up, after
  // the older rest that this one did not get to: it is left out.
  std::vector<IncomingChat> TakeCaughtUp(bool cutShort);
  // The check is done: the ids of the messages it found.
  std::vector<std::string> TakeFound();

 private:
  struct Query {
    enum Kind { kCatchUp, kCheck, kEnd } kind = kEnd;
    std::size_t fetched = 0;
    std::string start;  // the oldest time asked for, the same on every page
    std::string page;   // where this page starts: after this id (catch-up), before it (others)
    std::string with;   // only the conversation with this JID
    bool reachedOlder = false;  // a check has come to what is older than all it looks for
    std::string lastId;         // the newest archive id seen in its answers
  };
  void Ask(Query::Kind kind, const std::string& queryId, const std::string& page);

  xmpp_ctx_t* ctx_;
  const SessionOptions& options_;
  Outbox& outbox_;
  Outlet& outlet_;

  std::map<std::string, Query> queries_;
  std::set<std::string> found_;
  std::vector<IncomingChat> caughtUp_, heldLive_;
  std::size_t caughtUpDropped_ = 0;
  std::optional<std::string> point_;
  std::optional<WallClock::time_point> firstSignIn_;
  bool missingSaid_ = false;
};

}  // namespace xmpp
