#include "xmpp/session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace xmpp {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class RecordingTransport : public Transport {
 public:
  void Send(xmpp_stanza_t* stanza) override {
    char* text = nullptr;
    std::size_t length = 0;
    ASSERT_EQ(xmpp_stanza_to_text(stanza, &text, &length), XMPP_EOK);
    sent.emplace_back(text, length);
    xmpp_free(xmpp_stanza_get_context(stanza), text);
  }
  std::vector<std::string> sent;
};

// The session alone, fed stanzas as the server would send them.
class SessionTest : public ::testing::Test {
 protected:
  ~SessionTest() override { xmpp_ctx_free(ctx); }
  // Set before the session is made: it keeps a copy.
  static SessionOptions Bounded() {
    SessionOptions bounded;
    bounded.sendBoundMs = 60000;
    // 2026-12-09T10:00:00Z
    bounded.wallClock = [] { return WallClock::time_point(std::chrono::seconds(1796810400)); };
    return bounded;
  }

  void Feed(const std::string& xml) {
    xmpp_stanza_t* stanza = xmpp_stanza_new_from_string(ctx, xml.c_str());
    ASSERT_NE(stanza, nullptr) << xml;
    session.Handle(stanza, now);
    xmpp_stanza_release(stanza);
  }
  // The kinds of the events since the last call, with their ids or bodies.
  std::vector<std::string> Events() {
    std::vector<std::string> out;
    for (const ClientEvent& e : session.TakeEvents()) {
      switch (e.kind) {
        case ClientEvent::kAcked:
          out.push_back("acked " + e.id);
          break;
        case ClientEvent::kSendFailed:
          out.push_back("failed " + e.id);
          break;
        case ClientEvent::kMessage:
          out.push_back("message " + e.body);
          break;
        case ClientEvent::kArchivePoint:
          out.push_back("point " + e.id);
          break;
        default:
          break;
      }
    }
    return out;
  }
  // The id attribute of a stanza the session sent.
  static std::string SentId(const std::string& sent) {
    const std::size_t at = sent.find("id=\"") + 4;
    return sent.substr(at, sent.find('"', at) - at);
  }
  // The query id of the newest archive question sent whose id begins with `prefix`.
  std::string LastQueryId(const std::string& prefix = "") {
    for (auto it = transport.sent.rbegin(); it != transport.sent.rend(); ++it) {
      const std::size_t at = it->find("queryid=\"" + prefix);
      if (at != std::string::npos) return it->substr(at + 9, it->find('"', at + 9) - at - 9);
    }
    return {};
  }
  void AnswerArchive(const std::string& query, const std::vector<std::string>& results,
                     bool complete = true) {
    for (const std::string& r : results) {
      Feed("<message to='alice@example.org/r'><result xmlns='urn:xmpp:mam:2' queryid='" + query +
           "' " + r + "</result></message>");
    }
    // The page's first and last ids, as the server gives them for asking on.
    const auto idOf = [](const std::string& r) { return r.substr(4, r.find('\'', 4) - 4); };
    const std::string set = results.empty()
                                ? ""
                                : "<set xmlns='http://jabber.org/protocol/rsm'><first>" +
                                      idOf(results.front()) + "</first><last>" +
                                      idOf(results.back()) + "</last></set>";
    Feed("<iq type='result' id='" + query + "'><fin xmlns='urn:xmpp:mam:2' complete='" +
         (complete ? "true" : "false") + "'>" + set + "</fin></iq>");
  }
  static std::string Chat(const std::string& from, const std::string& id, const std::string& body,
                          const std::string& stanzaId = "") {
    return "<message from='" + from + "/phone' to='alice@example.org' type='chat' id='" + id +
           "'><body>" + body + "</body>" +
           (stanzaId.empty() ? ""
                             : "<stanza-id xmlns='urn:xmpp:sid:0' by='alice@example.org' id='" +
                                   stanzaId + "'/>") +
           "</message>";
  }

  xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
  SessionOptions options = Bounded();
  Session session{ctx, "alice@example.org", options};
  RecordingTransport transport;
  TimePoint now = Clock::now();
};

TEST_F(SessionTest, StreamManagementCountsFromEnableAndAcknowledgesByCount) {
  session.Bound(transport, true, now);
  ASSERT_THAT(transport.sent.front(), HasSubstr("<enable xmlns=\"urn:xmpp:sm:3\""));
  // roster, presence, carbons and the archive question go before the server's <enabled/>:
  // they count all the same.
  const std::size_t counted = transport.sent.size() - 1;
  EXPECT_EQ(counted, 4u);
  // A question before the server has enabled counting is none of ours to answer.
  const std::size_t before = transport.sent.size();
  Feed("<r xmlns='urn:xmpp:sm:3'/>");
  EXPECT_EQ(transport.sent.size(), before);
  Feed("<enabled xmlns='urn:xmpp:sm:3'/>");
  session.Queue({"m1", "bob@example.org", "hi"}, now);
  EXPECT_FALSE(session.Tick(now));
  EXPECT_THAT(transport.sent.back(), HasSubstr("<r xmlns=\"urn:xmpp:sm:3\""));
  Feed("<a xmlns='urn:xmpp:sm:3' h='4'/>");
  EXPECT_THAT(Events(), IsEmpty());
  // More than was ever sent is the server's mistake: it acknowledges nothing.
  Feed("<a xmlns='urn:xmpp:sm:3' h='6'/>");
  EXPECT_THAT(Events(), IsEmpty());
  Feed("<a xmlns='urn:xmpp:sm:3' h='5'/>");
  EXPECT_THAT(Events(), ElementsAre("acked m1"));
  // And what the server sends is counted for its own question.
  Feed(Chat("bob@example.org", "x1", "hello"));
  Feed("<r xmlns='urn:xmpp:sm:3'/>");
  EXPECT_THAT(transport.sent.back(), HasSubstr("h=\"1\""));
}

TEST_F(SessionTest, WithoutStreamManagementAnAnsweredPingAcknowledgesAndSilenceIsDeath) {
  session.Bound(transport, false, now);
  session.Queue({"m1", "bob@example.org", "hi"}, now);
  EXPECT_FALSE(session.Tick(now));
  const std::string ping = transport.sent.back();
  ASSERT_THAT(ping, HasSubstr("urn:xmpp:ping"));
  Feed("<iq type='result' id='" + SentId(ping) + "'/>");
  EXPECT_THAT(Events(), ElementsAre("acked m1"));

  session.Queue({"m2", "bob@example.org", "again"}, now);
  EXPECT_FALSE(session.Tick(now));
  const auto ack = std::chrono::milliseconds(options.ackTimeoutMs);
  EXPECT_FALSE(session.Tick(now + ack - std::chrono::milliseconds(1)));
  // A server that sends but has not answered is asked again, not taken for dead.
  session.Heard(now + ack - std::chrono::milliseconds(1));
  const std::size_t asked = transport.sent.size();
  EXPECT_FALSE(session.Tick(now + ack));
  EXPECT_EQ(transport.sent.size(), asked + 1);
  EXPECT_THAT(transport.sent.back(), HasSubstr("urn:xmpp:ping"));
  EXPECT_TRUE(session.Tick(now + 2 * ack));
}

// The window of received messages holds those with an id to tell them by; the rest take no room
// in it.
TEST_F(SessionTest, MessagesWithoutIdsTakeNoRoomAmongThoseRemembered) {
  SessionOptions small = Bounded();
  small.dedupWindow = 2;
  Session windowed(ctx, "alice@example.org", small);
  RecordingTransport quiet;
  windowed.Bound(quiet, false, now);
  int delivered = 0;
  for (const std::string& xml :
       {Chat("bob@example.org", "x1", "first"),
        std::string("<message from='bob@example.org/phone' type='chat'><body>a</body></message>"),
        std::string("<message from='bob@example.org/phone' type='chat'><body>b</body></message>"),
        std::string("<message from='bob@example.org/phone' type='chat'><body>c</body></message>"),
        Chat("bob@example.org", "x1", "first")}) {
    xmpp_stanza_t* stanza = xmpp_stanza_new_from_string(ctx, xml.c_str());
    windowed.Handle(stanza, now);
    xmpp_stanza_release(stanza);
    for (const ClientEvent& e : windowed.TakeEvents()) delivered += e.kind == ClientEvent::kMessage;
  }
  EXPECT_EQ(delivered, 4);  // the second x1 is a copy
}

TEST_F(SessionTest, AfterALostConnectionOnlyWhatTheArchiveLacksIsWrittenAgainWithItsId) {
  session.Bound(transport, false, now);
  AnswerArchive(LastQueryId(), {});
  session.Queue({"m1", "bob@example.org", "one"}, now);
  session.Queue({"m2", "bob@example.org", "two"}, now);
  session.Lost();
  session.Queue({"m3", "bob@example.org", "three"}, now);
  transport.sent.clear();
  session.Bound(transport, false, now);
  for (const std::string& s : transport.sent) EXPECT_THAT(s, ::testing::Not(HasSubstr("<body>")));
  // A ping answered meanwhile acknowledges what this connection wrote: none of them.
  EXPECT_FALSE(session.Tick(now + std::chrono::milliseconds(options.pingIntervalMs)));
  ASSERT_THAT(transport.sent.back(), HasSubstr("urn:xmpp:ping"));
  Feed("<iq type='result' id='" + SentId(transport.sent.back()) + "'/>");
  EXPECT_THAT(Events(), IsEmpty());
  // A message sent now waits its turn behind those.
  session.Queue({"m4", "bob@example.org", "four"}, now);
  for (const std::string& s : transport.sent) EXPECT_THAT(s, ::testing::Not(HasSubstr("<body>")));
  // The user's own archive has m1: the server took it before the connection went.
  AnswerArchive(
      LastQueryId("check-"),
      {"id='s1'><forwarded xmlns='urn:xmpp:forward:0'><message from='alice@example.org/r' "
       "to='bob@example.org' id='m1' type='chat'><body>one</body></message></forwarded>"});
  EXPECT_THAT(Events(), ElementsAre("acked m1"));
  std::vector<std::string> bodies;
  for (const std::string& s : transport.sent) {
    if (s.find("<body>") != std::string::npos) bodies.push_back(s);
  }
  ASSERT_EQ(bodies.size(), 3u);
  EXPECT_THAT(bodies[0], HasSubstr("id=\"m2\""));
  EXPECT_THAT(bodies[1], HasSubstr("id=\"m3\""));
  EXPECT_THAT(bodies[2], HasSubstr("id=\"m4\""));
}

TEST_F(SessionTest, AMessageFailsAtTheSendBoundAndAfterItsLastConnection) {
  // Queued while offline: failed once the bound has passed, whatever the connection does.
  session.Queue({"m1", "bob@example.org", "one"}, now);
  EXPECT_FALSE(session.Tick(now + std::chrono::milliseconds(options.sendBoundMs - 1)));
  EXPECT_THAT(Events(), IsEmpty());
  EXPECT_FALSE(session.Tick(now + std::chrono::milliseconds(options.sendBoundMs)));
  const std::vector<ClientEvent> failed = session.TakeEvents();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].id, "m1");
  EXPECT_EQ(failed[0].reason, "not acknowledged by the server within 60 s");

  // Written on as many connections as allowed, never acknowledged, never in the archive.
  session.Queue({"m2", "bob@example.org", "two"}, now);
  int writes = 0;
  for (int connection = 1; connection <= options.maxAttempts; ++connection) {
    transport.sent.clear();
    session.Bound(transport, false, now);
    if (connection > 1) AnswerArchive(LastQueryId("check-"), {});
    writes += static_cast<int>(std::count_if(
        transport.sent.begin(), transport.sent.end(),
        [](const std::string& s) { return s.find("id=\"m2\"") != std::string::npos; }));
    session.Lost();
  }
  EXPECT_EQ(writes, options.maxAttempts);
  EXPECT_THAT(Events(), IsEmpty());
  transport.sent.clear();
  session.Bound(transport, false, now);
  for (const std::string& s : transport.sent) EXPECT_THAT(s, ::testing::Not(HasSubstr("m2")));
  const std::vector<ClientEvent> given = session.TakeEvents();
  const auto it = std::find_if(given.begin(), given.end(), [](const ClientEvent& e) {
    return e.kind == ClientEvent::kSendFailed;
  });
  ASSERT_NE(it, given.end());
  EXPECT_EQ(it->id, "m2");
  EXPECT_EQ(it->reason, "not acknowledged by the server after 5 connections");
}

TEST_F(SessionTest, TheSearchForTheUnacknowledgedEndsAtAMessageTheServerTookBeforeThem) {
  session.Bound(transport, true, now);
  Feed("<enabled xmlns='urn:xmpp:sm:3'/>");
  session.Queue({"m1", "bob@example.org", "one"}, now);
  Feed("<a xmlns='urn:xmpp:sm:3' h='5'/>");
  session.Queue({"m2", "bob@example.org", "two"}, now);
  EXPECT_THAT(Events(), ElementsAre("acked m1"));
  session.Lost();
  session.Bound(transport, false, now);
  const std::string check = LastQueryId("check-");
  // Newest first: no m2, then m1, which the server took before m2 was ever written.
  AnswerArchive(
      check,
      {"id='s1'><forwarded xmlns='urn:xmpp:forward:0'><message from='alice@example.org/r' "
       "to='bob@example.org' id='m1' type='chat'><body>one</body></message></forwarded>"},
      false);
  EXPECT_EQ(LastQueryId("check-"), check);  // no further page asked for
  EXPECT_THAT(transport.sent.back(), HasSubstr("id=\"m2\""));
  EXPECT_THAT(Events(), IsEmpty());

  // Written to two people: the check looks in every conversation, not in one of them.
  session.Queue({"m3", "carol@example.org", "three"}, now);
  session.Lost();
  session.Bound(transport, false, now);
  for (auto it = transport.sent.rbegin(); it != transport.sent.rend(); ++it) {
    if (it->find("queryid=\"" + LastQueryId("check-")) == std::string::npos) continue;
    EXPECT_THAT(*it, ::testing::Not(HasSubstr("var=\"with\""))) << *it;
    break;
  }
}

// A message written again and acknowledged after another was first written says nothing of what
// the archive holds before that other one: the search goes on past it.
TEST_F(SessionTest, TheSearchGoesPastAMessageAcknowledgedAfterTheOldestWaitingWasWritten) {
  session.Bound(transport, false, now);
  AnswerArchive(LastQueryId(), {});
  session.Queue({"a1", "bob@example.org", "first"}, now);
  session.Queue({"w1", "bob@example.org", "waiting"}, now);
  session.Lost();
  transport.sent.clear();
  session.Bound(transport, true, now);
  Feed("<enabled xmlns='urn:xmpp:sm:3'/>");
  AnswerArchive(LastQueryId("check-"), {});
  // Both written again; the server acknowledges a1 alone.
  std::size_t a1 = 0;
  while (a1 < transport.sent.size() && transport.sent[a1].find("id=\"a1\"") == std::string::npos)
    ++a1;
  ASSERT_LT(a1, transport.sent.size());
  Feed("<a xmlns='urn:xmpp:sm:3' h='" + std::to_string(a1) + "'/>");  // all but <enable/>
  ASSERT_THAT(Events(), ElementsAre("acked a1"));
  session.Lost();
  session.Bound(transport, false, now);
  const std::string check = LastQueryId("check-");
  const std::size_t before = transport.sent.size();
  AnswerArchive(
      check,
      {"id='s2'><forwarded xmlns='urn:xmpp:forward:0'><message from='alice@example.org/r' "
       "to='bob@example.org' id='a1' type='chat'><body>first</body></message></forwarded>"},
      false);
  EXPECT_NE(LastQueryId("check-"), check);  // the next page is asked for
  for (std::size_t i = before; i < transport.sent.size(); ++i) {
    EXPECT_THAT(transport.sent[i], ::testing::Not(HasSubstr("<body>")));  // w1 not yet again
  }
}

// The archive's end marks where a later run starts only while nothing was shown: a message shown
// meanwhile is newer than the end the server had when asked.
TEST_F(SessionTest, TheArchivesEndIsNoPointOnceAMessageWasShown) {
  session.Bound(transport, false, now);
  const std::string end = LastQueryId("archive-");
  session.SetArchivePoint("s5");
  AnswerArchive(end, {"id='s4'><forwarded xmlns='urn:xmpp:forward:0'>" +
                      Chat("bob@example.org", "b4", "older") + "</forwarded>"});
  EXPECT_THAT(Events(), IsEmpty());
}

TEST_F(SessionTest, TheArchiveCatchUpComesFirstAndCopiesAreDroppedByTheRightKey) {
  session.SetArchivePoint("s0");
  session.Bound(transport, false, now);
  const std::string query = LastQueryId();
  EXPECT_THAT(transport.sent.back(), HasSubstr("<after>s0</after>"));
  // Offline storage delivers while the archive is asked: it waits behind the archive's answer.
  Feed(Chat("bob@example.org", "b2", "two"));
  EXPECT_THAT(Events(), IsEmpty());
  const std::string inner = "<forwarded xmlns='urn:xmpp:forward:0'>";
  AnswerArchive(query,
                {"id='s1'>" + inner + Chat("bob@example.org", "b1", "one") + "</forwarded>",
                 "id='s2'>" + inner + Chat("bob@example.org", "b2", "two") + "</forwarded>"});
  EXPECT_THAT(Events(), ElementsAre("message one", "message two"));

  // Live again: the same server id is a copy; another server id with a reused sender id is not;
  // a message without any id is never taken for a copy.
  Feed(Chat("bob@example.org", "b1", "one", "s1"));
  Feed(Chat("bob@example.org", "b1", "one again", "s9"));
  Feed("<message from='bob@example.org/phone' type='chat'><body>plain</body></message>");
  Feed("<message from='bob@example.org/phone' type='chat'><body>plain</body></message>");
  EXPECT_THAT(Events(), ElementsAre("message one again", "message plain", "message plain"));
}

TEST_F(SessionTest, ACatchUpCutShortSkipsNothingOlderThanWhatCameLive) {
  session.SetArchivePoint("s0");
  session.Bound(transport, false, now);
  const std::string inner = "<forwarded xmlns='urn:xmpp:forward:0'>";
  const auto archived = [&](const std::string& id, const std::string& body) {
    return "id='" + id + "'>" + inner + Chat("bob@example.org", "m" + id, body) + "</forwarded>";
  };
  Feed(Chat("bob@example.org", "ms3", "three", "s3"));  // live, while the archive is asked
  Feed("<message><result xmlns='urn:xmpp:mam:2' queryid='" + LastQueryId() + "' " +
       archived("s1", "one") + "</result></message>");
  session.Lost();  // before the rest of the archive's answer
  EXPECT_THAT(Events(), ElementsAre("message one"));
  session.SetArchivePoint("s1");
  session.Bound(transport, false, now);
  AnswerArchive(LastQueryId(), {archived("s2", "two"), archived("s3", "three")});
  EXPECT_THAT(Events(), ElementsAre("message two", "message three"));
}

TEST_F(SessionTest, ALastShownMessageGoneFromTheArchiveCatchesUpFromThisRunsStart) {
  session.SetArchivePoint("expired");
  session.Bound(transport, false, now);
  Feed("<iq type='error' id='" + LastQueryId() +
       "'><error type='cancel'><item-not-found "
       "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
  // From this run's first sign-in, less the margin for the server's clock.
  const std::string again = transport.sent.back();
  EXPECT_THAT(again, HasSubstr("<value>2026-12-09T09:55:00Z</value>"));
  EXPECT_THAT(again, ::testing::Not(HasSubstr("<after>")));
  AnswerArchive(LastQueryId(), {"id='s1'><forwarded xmlns='urn:xmpp:forward:0'>" +
                                Chat("bob@example.org", "b1", "one") + "</forwarded>"});
  EXPECT_THAT(Events(), ElementsAre("message one"));
}

TEST_F(SessionTest, CatchUpsReachBackToTheFirstSignInOrTheAgeBoundByTheCalendarGiven) {
  // The first sign-in of a run without a point only marks the archive's end.
  session.Bound(transport, false, now);
  EXPECT_EQ(session.CurrentPhase(), Phase::kLive);
  EXPECT_THAT(transport.sent.back(), ::testing::Not(HasSubstr("var=\"start\"")));
  session.Lost();
  session.Bound(transport, false, now);
  EXPECT_EQ(session.CurrentPhase(), Phase::kCatchingUp);
  EXPECT_THAT(transport.sent.back(), HasSubstr("<value>2026-12-09T09:55:00Z</value>"));
  AnswerArchive(LastQueryId(), {});
  EXPECT_EQ(session.CurrentPhase(), Phase::kLive);
  session.Lost();
  session.SetArchivePoint("s9");
  session.Bound(transport, false, now);
  EXPECT_THAT(transport.sent.back(), HasSubstr("<value>2026-12-02T10:00:00Z</value>"));
  EXPECT_THAT(transport.sent.back(), HasSubstr("<after>s9</after>"));
}

TEST_F(SessionTest, AServerWithoutAnArchiveIsSaidOnce) {
  const auto notices = [&] {
    int count = 0;
    for (const ClientEvent& e : session.TakeEvents()) count += e.kind == ClientEvent::kNotice;
    return count;
  };
  for (int signIn = 0; signIn < 2; ++signIn) {
    session.Bound(transport, false, now);
    Feed("<iq type='error' id='" + LastQueryId("archive-") +
         "'><error type='cancel'><feature-not-implemented "
         "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
    EXPECT_EQ(notices(), signIn == 0 ? 1 : 0) << "sign-in " << signIn;
    session.Lost();
  }
}

TEST_F(SessionTest, AnErrorWithAMessagesIdFailsItEvenAfterItsAcknowledgement) {
  session.Bound(transport, true, now);
  Feed("<enabled xmlns='urn:xmpp:sm:3'/>");
  session.Queue({"m1", "nobody@example.org", "hi"}, now);
  session.Queue({"m2", "bob@example.org", "there"}, now);
  Feed("<a xmlns='urn:xmpp:sm:3' h='5'/>");
  Feed(
      "<message type='error' id='m1' from='nobody@example.org'><error type='cancel'>"
      "<service-unavailable xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></message>");
  EXPECT_THAT(Events(), ElementsAre("acked m1", "failed m1"));
  // The other message is neither failed with it nor written twice for coming while m1 waited.
  Feed("<a xmlns='urn:xmpp:sm:3' h='6'/>");
  EXPECT_THAT(Events(), ElementsAre("acked m2"));
  for (const char* id : {"id=\"m1\"", "id=\"m2\""}) {
    EXPECT_EQ(std::count_if(transport.sent.begin(), transport.sent.end(),
                            [&](const std::string& s) { return s.find(id) != std::string::npos; }),
              1)
        << id;
  }
  // An error about an id we never sent changes nothing.
  Feed("<message type='error' id='other'/>");
  EXPECT_THAT(Events(), IsEmpty());
}

TEST_F(SessionTest, RosterPushesAreAnsweredWithTheirIdAndOthersAreRefused) {
  session.Bound(transport, false, now);
  transport.sent.clear();
  Feed(
      "<iq type='set' id='push1'><query xmlns='jabber:iq:roster'><item jid='carol@example.org' "
      "subscription='remove'/></query></iq>");
  Feed(
      "<iq type='set' id='spoof' from='mallory@example.org/x'><query xmlns='jabber:iq:roster'/>"
      "</iq>");
  ASSERT_EQ(transport.sent.size(), 2u);
  EXPECT_THAT(transport.sent[0], HasSubstr("id=\"push1\""));
  EXPECT_THAT(transport.sent[0], HasSubstr("type=\"result\""));
  EXPECT_THAT(transport.sent[0], ::testing::Not(HasSubstr("to=")));
  EXPECT_THAT(transport.sent[1], HasSubstr("service-unavailable"));
  EXPECT_THAT(transport.sent[1], HasSubstr("to=\"mallory@example.org/x\""));
}

TEST_F(SessionTest, AnswersCountOnlyFromTheAccountsOwnSideAndForAQuestionAsked) {
  session.Bound(transport, false, now);
  // The end of the archive, asked at the first sign-in: answered first by a contact who knows
  // the question's id, then by the account's archive.
  const std::string end = LastQueryId("archive-");
  ASSERT_FALSE(end.empty());
  Feed("<iq type='result' id='" + end +
       "' from='bob@example.org/x'><fin xmlns='urn:xmpp:mam:2' complete='true'/></iq>");
  Feed("<message from='bob@example.org/x'><result xmlns='urn:xmpp:mam:2' queryid='" + end +
       "' id='forged'><forwarded xmlns='urn:xmpp:forward:0'>" +
       Chat("bob@example.org", "f1", "forged") + "</forwarded></result></message>");
  AnswerArchive(end, {"id='s9'><forwarded xmlns='urn:xmpp:forward:0'>" +
                      Chat("bob@example.org", "b9", "newest") + "</forwarded>"});
  EXPECT_THAT(Events(), ElementsAre("point s9"));

  session.Queue({"m1", "bob@example.org", "hi"}, now);
  EXPECT_FALSE(session.Tick(now));
  const std::string ping = SentId(transport.sent.back());
  ASSERT_THAT(ping, ::testing::StartsWith("ping-"));
  for (const char* from :
       {"bob@example.org/x", "alice@example.org/other", "example.org/x", "evil.example.org"}) {
    Feed("<iq type='result' id='" + ping + "' from='" + from + "'/>");
    Feed("<iq type='error' id='" + ping + "' from='" + from + "'/>");
  }
  EXPECT_THAT(Events(), IsEmpty()) << "acknowledged by someone else's answer";
  Feed("<iq type='result' id='" + ping + "' from='example.org'/>");
  EXPECT_THAT(Events(), ElementsAre("acked m1"));

  // Ids say nothing of the next one: the same serial in another session has other random bits.
  Session other{ctx, "alice@example.org", options};
  RecordingTransport otherTransport;
  other.Bound(otherTransport, false, now);
  const std::string mine = SentId(transport.sent.at(0)), theirs = SentId(otherTransport.sent.at(0));
  // "roster-", a count, "-", 16 hex digits (by hand: gtest's own regex on Windows has no classes).
  const std::size_t dash = mine.rfind('-');
  EXPECT_TRUE(mine.starts_with("roster-") && dash > 7 && mine.size() == dash + 17 &&
              mine.find_first_not_of("0123456789", 7) == dash &&
              mine.find_first_not_of("0123456789abcdef", dash + 1) == std::string::npos)
      << mine;
  EXPECT_NE(mine, theirs);
  EXPECT_EQ(mine.substr(0, mine.rfind('-')), theirs.substr(0, theirs.rfind('-')));
}

TEST_F(SessionTest, StreamManagementCountsEveryStanzaButItsOwnElements) {
  session.Bound(transport, true, now);
  Feed("<enabled xmlns='urn:xmpp:sm:3'/>");
  // Handled: a roster push (answered: our fifth stanza), a presence, a message.
  Feed("<iq type='set' id='push1'><query xmlns='jabber:iq:roster'/></iq>");
  Feed("<presence from='bob@example.org/phone'/>");
  Feed(Chat("bob@example.org", "x1", "hello"));
  EXPECT_THAT(Events(), ElementsAre("message hello"));
  Feed("<r xmlns='urn:xmpp:sm:3'/>");
  EXPECT_THAT(transport.sent.back(), HasSubstr("h=\"3\""));
  // Sent: the requests and answers of stream management are not stanzas.
  session.Queue({"m1", "bob@example.org", "one"}, now);
  EXPECT_FALSE(session.Tick(now));
  ASSERT_THAT(transport.sent.back(), HasSubstr("<r xmlns=\"urn:xmpp:sm:3\""));
  Feed("<a xmlns='urn:xmpp:sm:3' h='6'/>");
  EXPECT_THAT(Events(), ElementsAre("acked m1"));
  session.Queue({"m2", "bob@example.org", "two"}, now);
  EXPECT_FALSE(session.Tick(now));
  Feed("<a xmlns='urn:xmpp:sm:3' h='7'/>");
  EXPECT_THAT(Events(), ElementsAre("acked m2"));
}

TEST_F(SessionTest, APingAcknowledgesOnlyWhatWasWrittenBeforeIt) {
  session.Bound(transport, false, now);
  session.Queue({"m1", "bob@example.org", "one"}, now);
  EXPECT_FALSE(session.Tick(now));
  const std::string ping = transport.sent.back();
  ASSERT_THAT(ping, HasSubstr("urn:xmpp:ping"));
  session.Queue({"m2", "bob@example.org", "two"}, now);  // written after the ping went
  Feed("<iq type='result' id='" + SentId(ping) + "'/>");
  EXPECT_THAT(Events(), ElementsAre("acked m1"));
}

TEST_F(SessionTest, CatchUpsAfterAnEarlyCutWithinTheirBoundAndWhenCutShort) {
  // Cut before the archive's end was known: the next sign-in catches up from this run's start.
  session.Bound(transport, false, now);
  session.Lost();
  session.Bound(transport, false, now);
  const std::string first = LastQueryId("archive-");
  ASSERT_THAT(transport.sent.back(), HasSubstr("<max>100</max>"));
  const auto archived = [&](const std::string& id, const std::string& body) {
    return "id='" + id + "'><forwarded xmlns='urn:xmpp:forward:0'>" +
           Chat("bob@example.org", "m" + id, body) + "</forwarded>";
  };
  AnswerArchive(first, {archived("s1", "while cut")});
  EXPECT_THAT(Events(), ElementsAre("message while cut"));

  // More than the bound came while away: the newest are shown.
  SessionOptions bounded = options;
  bounded.catchUpMax = 2;
  Session small{ctx, "alice@example.org", bounded};
  RecordingTransport smallTransport;
  small.SetArchivePoint("s0");
  small.Bound(smallTransport, false, now);
  std::string query;
  for (const std::string& sent : smallTransport.sent) {
    const std::size_t at = sent.find("queryid=\"");
    if (at != std::string::npos) query = sent.substr(at + 9, sent.find('"', at + 9) - at - 9);
  }
  for (const char* body : {"a", "b", "c", "d"}) {
    xmpp_stanza_t* result = xmpp_stanza_new_from_string(
        ctx, ("<message><result xmlns='urn:xmpp:mam:2' queryid='" + query + "' " +
              archived(std::string("s") + body, body) + "</result></message>")
                 .c_str());
    small.Handle(result, now);
    xmpp_stanza_release(result);
  }
  xmpp_stanza_t* fin = xmpp_stanza_new_from_string(
      ctx,
      ("<iq type='result' id='" + query + "'><fin xmlns='urn:xmpp:mam:2' complete='true'/></iq>")
          .c_str());
  small.Handle(fin, now);
  xmpp_stanza_release(fin);
  std::vector<std::string> shown;
  for (const ClientEvent& e : small.TakeEvents()) {
    if (e.kind == ClientEvent::kMessage) shown.push_back(e.body);
  }
  EXPECT_THAT(shown, ElementsAre("c", "d"));

  // A catch-up cut short: what came live without the server's id is shown (the next catch-up
  // cannot bring it); what has the id comes with the next catch-up.
  session.SetArchivePoint("s1");
  session.Lost();
  session.Bound(transport, false, now);
  Feed(Chat("bob@example.org", "l1", "live, no id"));
  Feed(Chat("bob@example.org", "l2", "live, with id", "s7"));
  session.Lost();
  EXPECT_THAT(Events(), ElementsAre("message live, no id"));
}

}  // namespace
}  // namespace xmpp
