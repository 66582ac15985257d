// parlavant-xmpp against a real Prosody through a proxy that keeps every byte: stream management
// switched on where the server offers it and counted right, as the wire shows; pings that
// acknowledge only what came before them; answers forged by a contact, to every id a counter
// would give and to the client's real question ids, which change nothing; a clock that is off; a
// huge state file; encryption taken out of the path; a relay that delivers a dead connection's
// bytes late; and two programs with one saved name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "tests/api_program.h"
#include "tests/xmpp_support.h"
#include "testsupport/tcp_proxy.h"

namespace {

using testsupport::ApiProgram;
using testsupport::TcpProxy;

const std::string kAlice = "alice@localhost", kBob = "bob@localhost";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// The stanzas (messages, presences, iqs at the top of a stream) the server wrote after enabling
// stream management, counted up to each of its requests for the client's count.
std::vector<std::size_t> StanzasBeforeEachRequest(const std::string& down) {
  std::vector<std::size_t> counts;
  std::size_t stanzas = 0;
  int depth = 0;
  bool enabled = false;
  for (std::size_t at = down.find('<'); at != std::string::npos; at = down.find('<', at + 1)) {
    if (down.compare(at, 2, "<?") == 0) continue;
    if (down.compare(at, 14, "<stream:stream") == 0) {
      depth = 0;
      continue;
    }
    if (down.compare(at, 2, "</") == 0) {
      --depth;
      continue;
    }
    const std::size_t end = down.find('>', at);
    const std::string name = down.substr(at + 1, down.find_first_of(" />", at + 1) - at - 1);
    if (depth == 0 && name == "enabled") enabled = true;
    if (depth == 0 && enabled && name == "r") counts.push_back(stanzas);
    if (depth == 0 && enabled && (name == "message" || name == "presence" || name == "iq")) {
      ++stanzas;
    }
    if (end != std::string::npos && down[end - 1] != '/') ++depth;
  }
  return counts;
}

// The counts in the client's answers, in order.
std::vector<std::size_t> CountsGiven(const std::string& up) {
  std::vector<std::size_t> counts;
  static const std::regex answer(R"re(<a [^>]*h=["'](\d+))re");
  for (auto it = std::sregex_iterator(up.begin(), up.end(), answer); it != std::sregex_iterator();
       ++it) {
    counts.push_back(std::stoul((*it)[1].str()));
  }
  return counts;
}

class XmppTrustTest : public testsupport::XmppAccountTest {
 protected:
  // Waits until every one of these messages is SENT.
  void WaitSent(ApiProgram& program, const std::vector<std::int32_t>& ids) {
    ASSERT_TRUE(program.PumpUntil(
        [&] {
          return std::all_of(ids.begin(), ids.end(),
                             [&](std::int32_t id) { return program.Status(id) == "SENT"; });
        },
        30000))
        << Errors();
  }
  // Sends `n` messages to bob and waits until every one is SENT.
  void SendAndSettle(ApiProgram& program, int n) {
    std::vector<std::int32_t> ids;
    for (int i = 0; i < n; ++i) ids.push_back(program.Send(kBob, "to bob " + std::to_string(i)));
    WaitSent(program, ids);
  }
  // A second program starts from the first one's saved state; `renamedSays` is what the one
  // that takes a new name says (the second where `secondRenamed`).
  void TwoProgramsWithOneSavedName(const std::string& renamedSays, bool secondRenamed);
};

class XmppWithoutStreamManagementTest : public XmppTrustTest {
 protected:
  XmppWithoutStreamManagementTest() { server.streamManagement = false; }
};

// Both counts on the wire: every stanza the server wrote (iqs too) is in the client's count, or
// the server writes the last ones again after a cut; and the client's own requests are not in
// its count of what it sent, or nothing after the first of them is ever acknowledged.
TEST_F(XmppTrustTest, StreamManagementIsSwitchedOnAndAcknowledgesOnTheWire) {
  auto bob = Peer("bob");
  TcpProxy proxy(server.Port());
  StartXmpp(proxy.Address());
  auto program = Attach();
  for (std::size_t batch = 1; batch <= 2; ++batch) {
    ASSERT_NO_FATAL_FAILURE(SendAndSettle(*program, 5));
    ASSERT_TRUE(bob->Send(kAlice, "to alice"));
    ASSERT_TRUE(program->PumpUntil(
        [&] { return program->ReceivedMessages().size() == batch; }, 30000));
    program->Pump(1500);  // quiet: the client asks the server for its count
  }
  const std::string up = proxy.FromClients(), down = proxy.FromServer();
  EXPECT_EQ(Count(up, "<enable xmlns=\"urn:xmpp:sm:3\""), 1u);
  EXPECT_THAT(down, ::testing::ContainsRegex("<enabled[^>]*urn:xmpp:sm:3"));
  // Acknowledged by count: requests and answers with a count, and no ping for it.
  EXPECT_GE(Count(up, "<r xmlns=\"urn:xmpp:sm:3\""), 1u);
  EXPECT_THAT(down, ::testing::ContainsRegex("<a [^>]*h=['\"][1-9]"));
  EXPECT_EQ(Count(up, "urn:xmpp:ping"), 0u);
  // And the client answers the server's requests with its own count.
  EXPECT_EQ(CountsGiven(up), StanzasBeforeEachRequest(down)) << down;
  EXPECT_GE(CountsGiven(up).size(), 2u);
  bob->Quit();
}

// A ping's answer acknowledges what was written before the ping, and nothing after it: a
// message written after a ping, into a path that drops it, stays unacknowledged when the answer
// comes, and goes again on the next connection.
TEST_F(XmppWithoutStreamManagementTest, APingAcknowledgesNothingWrittenAfterIt) {
  auto bob = Peer("bob");
  TcpProxy proxy(server.Port());
  std::vector<std::string> argv = XmppArguments(proxy.Address());
  *(std::find(argv.begin(), argv.end(), "--ack-timeout") + 1) = "5";
  xmpp = std::make_unique<testsupport::ChildProcess>(argv, Dir() + "/xmpp.out",
                                                     Dir() + "/xmpp.err");
  auto program = Attach();
  SendAndSettle(*program, 1);
  proxy.Inject(TcpProxy::Fault::kDeaf);  // the answer to the next ping waits
  const std::size_t pings = Count(proxy.FromClients(), "urn:xmpp:ping");
  ASSERT_TRUE(WaitFor([&] { return Count(proxy.FromClients(), "urn:xmpp:ping") > pings; }, 30000));
  proxy.Inject(TcpProxy::Fault::kMute);
  const std::int32_t id = program->Send(kBob, "after the ping");
  ASSERT_TRUE(program->PumpUntil(
      [&] { return proxy.Muted().find("<message") != std::string::npos; }, 30000));
  proxy.Hear();
  ASSERT_TRUE(program->PumpUntil([&] { return program->Status(id) == "SENT"; }, 60000)) << Errors();
  EXPECT_TRUE(bob->WaitFor([&](const std::string&) {
    return bob->Received(kAlice) == std::vector<std::string>{"to bob 0", "after the ping"};
  })) << "SENT, but bob has " << bob->Received(kAlice).size();
  bob->Quit();
}

TEST_F(XmppWithoutStreamManagementTest, PingsAcknowledgeWhereTheServerOffersNoStreamManagement) {
  TcpProxy proxy(server.Port());
  StartXmpp(proxy.Address());
  auto program = Attach();
  SendAndSettle(*program, 5);
  EXPECT_EQ(Count(proxy.FromClients(), "urn:xmpp:sm:3"), 0u);
  EXPECT_GE(Count(proxy.FromClients(), "urn:xmpp:ping"), 1u);
}

// A contact answers every question the client asks, with every id a counter would give and with
// the real one, and the answers reach the client before the server's: an archive that says it
// has nothing more, a roster. The messages
// that only the archive still has come all the same, every one once.
TEST_F(XmppTrustTest, ForgedAnswersFromAContactChangeNothing) {
  auto bob = Peer("bob");
  StartXmpp();
  auto program = Attach();
  ASSERT_TRUE(bob->Send(kAlice, "before"));
  ASSERT_TRUE(program->PumpUntil([&] { return program->ReceivedMessages().size() == 1; }, 30000));
  program.reset();
  // The client has these and has acknowledged them to the server, but no program has shown them
  // when it goes: only the archive has them now.
  constexpr int kAway = 30;
  for (int i = 0; i < kAway; ++i) ASSERT_TRUE(bob->Send(kAlice, "away " + std::to_string(i)));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  xmpp->Kill();

  TcpProxy proxy(server.Port());
  int forged = 0;
  bool flooded = false;
  const auto forgery = [](const std::string& id) {
    return "<iq type='result' id='" + id +
           "' from='bob@localhost/forger' to='alice@localhost'>"
           "<fin xmlns='urn:xmpp:mam:2' complete='true'/>"
           "<query xmlns='jabber:iq:roster'><item jid='mallory@localhost' "
           "subscription='both'/></query></iq>";
  };
  proxy.OnClientBytes = [&](const std::string& written) {
    // Every question in what the client wrote, answered as the server would pass on bob's answer;
    // ahead of the first, answers to every id a counter would give.
    std::string answers;
    if (!flooded && written.find("<iq ") != std::string::npos) {
      flooded = true;
      for (const char* kind : {"archive", "check", "end", "ping", "roster"}) {
        for (int n = 0; n <= 50; ++n) answers += forgery(kind + ("-" + std::to_string(n)));
      }
    }
    for (std::size_t at = written.find("<iq "); at != std::string::npos;
         at = written.find("<iq ", at + 1)) {
      const std::string tag = written.substr(at, written.find('>', at) - at);
      std::smatch id, type;
      if (!std::regex_search(tag, id, std::regex(R"re( id=["']([^"']+))re")) ||
          !std::regex_search(tag, type, std::regex(R"re( type=["'](get|set))re"))) {
        continue;
      }
      answers += forgery(id[1].str());
      ++forged;
    }
    return answers;
  };
  StartXmpp(proxy.Address());
  program = Attach();
  ASSERT_TRUE(
      program->PumpUntil([&] { return program->ReceivedMessages().size() == kAway; }, 30000))
      << program->ReceivedMessages().size() << " of " << kAway << "; " << Errors();
  SendAndSettle(*program, 3);
  program->Pump(1000);
  EXPECT_GE(forged, 3);  // the archive, the roster, the carbons at least
  std::vector<std::string> bodies;
  for (const auto& r : program->ReceivedMessages()) bodies.push_back(r.body);
  for (int i = 0; i < kAway; ++i) {
    EXPECT_EQ(std::count(bodies.begin(), bodies.end(), "away " + std::to_string(i)), 1) << i;
  }
  EXPECT_TRUE(bob->WaitFor([&](const std::string&) { return bob->Received(kAlice).size() == 3; }));
  EXPECT_THAT(Errors(), ::testing::Not(::testing::HasSubstr("mallory")));
  bob->Quit();
}

// The client's clock ten minutes fast or slow, or jumping an hour ahead once signed in (a
// preloaded library; its steady clock is left alone): messages the server has but whose
// acknowledgement never came are found in the archive after the next sign-in, and none goes
// twice.
TEST_F(XmppTrustTest, AClockOffOrJumpingDoublesNoMessage) {
  ::setenv("FAKETIME_DONT_FAKE_MONOTONIC", "1", 1);
  // A client built with AddressSanitizer would refuse a library loaded ahead of its runtime.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  const bool hadSanitizerOptions = sanitizer != nullptr;
  const std::string sanitizerBefore = hadSanitizerOptions ? sanitizer : "";
  ::setenv(
      "ASAN_OPTIONS",
      (sanitizerBefore + (sanitizerBefore.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(),
      1);
  auto bob = Peer("bob");
  int n = 0;
  const std::string clockFile = Dir() + "/clock";
  for (const std::string offset : {"+10m", "-10m", "jump"}) {
    SCOPED_TRACE(offset);
    // The library preloaded by env, which becomes the client: faketime would stay its parent,
    // and ending it would leave the client running.
    xmppPrefix = {"/usr/bin/env", "LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"};
    if (offset == "jump") {
      std::ofstream(clockFile) << "+0\n";
      xmppPrefix.push_back("FAKETIME_TIMESTAMP_FILE=" + clockFile);
      xmppPrefix.push_back("FAKETIME_NO_CACHE=1");
    } else {
      xmppPrefix.push_back("FAKETIME=" + offset);
    }
    TcpProxy proxy(server.Port());
    StartXmpp(proxy.Address());
    auto program = Attach();
    program->Pump(1000);  // signed in, caught up
    if (offset == "jump") std::ofstream(clockFile) << "+1h\n";
    proxy.Inject(TcpProxy::Fault::kDeaf);
    std::vector<std::int32_t> ids;
    std::vector<std::string> bodies;
    for (int i = 0; i < 5; ++i, ++n) {
      bodies.push_back("unacknowledged " + std::to_string(n));
      ids.push_back(program->Send(kBob, bodies.back()));
    }
    ASSERT_TRUE(bob->WaitFor(
        [&](const std::string&) { return bob->Received(kAlice).size() >= std::size_t(n); }, 30000))
        << bob->Received(kAlice).size() << " of " << n << "; statuses " <<
        [&] {
          std::string all;
          for (std::int32_t id : ids) all += program->Status(id) + " ";
          return all;
        }()
        << "; connections " << proxy.Accepted() << "; messages written "
        << Count(proxy.FromClients(), "<message") << "; " << Errors();
    proxy.Inject(TcpProxy::Fault::kReset);
    ASSERT_NO_FATAL_FAILURE(WaitSent(*program, ids));
    program->Pump(1500);  // a second copy would come now
    const std::vector<std::string> got = bob->Received(kAlice);
    for (const std::string& body : bodies) {
      EXPECT_EQ(std::count(got.begin(), got.end(), body), 1) << body;
    }
    xmpp->Kill();
  }
  xmppPrefix.clear();
  ::unsetenv("FAKETIME_DONT_FAKE_MONOTONIC");
  if (hadSanitizerOptions) {
    ::setenv("ASAN_OPTIONS", sanitizerBefore.c_str(), 1);
  } else {
    ::unsetenv("ASAN_OPTIONS");
  }
  bob->Quit();
}

// A state file of 64 MB of junk: neither read nor kept, and the desktop API never waits for it
// while messages are shown (each shown message moves the point the file keeps).
TEST_F(XmppTrustTest, AHugeStateFileHoldsNothingUp) {
  {
    std::ofstream junk(Dir() + "/xmpp.state", std::ios::binary);
    const std::string line(1023, 'x');
    for (int i = 0; i < 64 * 1024; ++i) junk << line << '\n';
  }
  StartXmpp();
  auto program = Attach();
  auto bob = Peer("bob");
  constexpr std::size_t kMessages = 30;
  for (std::size_t i = 0; i < kMessages; ++i) ASSERT_TRUE(bob->Send(kAlice, std::to_string(i)));
  // The API's longest pause: a command answered while the messages are shown.
  std::chrono::steady_clock::duration longest{};
  const bool all = program->PumpUntil(
      [&] {
        const auto before = std::chrono::steady_clock::now();
        program->Ping();
        longest = std::max(longest, std::chrono::steady_clock::now() - before);
        return program->ReceivedMessages().size() >= kMessages;
      },
      30000);
  ASSERT_TRUE(all) << program->ReceivedMessages().size() << " of " << kMessages << "; " << Errors();
  std::printf("state file: the API's longest pause while %zu messages were shown: %lld ms\n",
              kMessages,
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
  ASSERT_TRUE(ErrorsSay("no state of parlavant-xmpp's: it was replaced")) << Errors();
  program->Pump(500);
  EXPECT_LT(std::filesystem::file_size(Dir() + "/xmpp.state"), 4096u);
  EXPECT_THAT(testsupport::FileText(Dir() + "/xmpp.state"), ::testing::HasSubstr("[Archive]"));
  bob->Quit();
}

// A path that takes the server's STARTTLS offer out: nothing is sent without encryption, and the
// user is told why, not that the connection failed. A server that offers it but cannot start it
// (the test server has no certificate) is told as that.
TEST_F(XmppTrustTest, NoEncryptionOfferedOrNoneStartedIsSaidSo) {
  TcpProxy proxy(server.Port());
  proxy.RewriteFromServer = [](std::string piece) {
    static const std::regex offer(R"re(<starttls [^>]*(/>|>\s*</starttls>))re");
    return std::regex_replace(piece, offer, "");
  };
  StartXmpp(proxy.Address(), false);
  ASSERT_TRUE(xmpp->Wait(30000).has_value()) << Errors();
  EXPECT_THAT(Errors(), ::testing::HasSubstr("cannot sign in as alice@localhost: the server did "
                                             "not offer encryption (STARTTLS)"));
  EXPECT_THAT(proxy.FromClients(), ::testing::Not(::testing::HasSubstr("<auth")));

  StartXmpp({}, false);
  ASSERT_TRUE(xmpp->Wait(30000).has_value()) << Errors();
  EXPECT_THAT(Errors(), ::testing::HasSubstr("cannot sign in as alice@localhost: encryption with "
                                             "the server could not be started (error:"));
}

}  // namespace

// A relay that took what the client wrote and delivers it only after the client has given the
// connection up and signed in again: the messages it held are written again on the new
// connection, and the old copies, late, change nothing.
TEST_F(XmppTrustTest, LateBytesOfAConnectionGivenUpDoubleNothing) {
  auto bob = Peer("bob");
  TcpProxy proxy(server.Port());
  StartXmpp(proxy.Address());
  auto program = Attach();
  SendAndSettle(*program, 1);
  proxy.Inject(TcpProxy::Fault::kRelayLate);
  std::vector<std::int32_t> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(program->Send(kBob, "held " + std::to_string(i)));
  ASSERT_NO_FATAL_FAILURE(WaitSent(*program, ids));
  ASSERT_EQ(proxy.Accepted(), 2);
  proxy.ReleaseLate();
  program->Pump(2000);  // the old copies would arrive now
  const std::vector<std::string> got = bob->Received(kAlice);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::count(got.begin(), got.end(), "held " + std::to_string(i)), 1) << i;
  }
  bob->Quit();
}

// A second program signs in from the same saved state, so with the same resource: the first is
// ended by the server, says so, and goes on under a new name; neither ends the other again, and
// both still have what is written to the account.
class XmppKeepingFirstTest : public XmppTrustTest {
 protected:
  XmppKeepingFirstTest() { server.conflictResolve = "kick_new"; }
};

void XmppTrustTest::TwoProgramsWithOneSavedName(const std::string& renamedSays,
                                                bool secondRenamed) {
  auto bob = Peer("bob");
  StartXmpp();
  auto first = Attach();
  std::vector<std::string> argv = XmppArguments();
  *(std::find(argv.begin(), argv.end(), "--desktop") + 1) = Dir() + "/d2";
  auto secondDesktop = platform::OpenDesktop(Dir() + "/d2");
  testsupport::ChildProcess second(argv, Dir() + "/second.out", Dir() + "/second.err");
  const auto secondErrors = [&] { return testsupport::FileText(Dir() + "/second.err"); };
  const auto renamed = [&] { return secondRenamed ? secondErrors() : Errors(); };
  ASSERT_TRUE(WaitFor([&] { return renamed().find(renamedSays) != std::string::npos; }, 30000))
      << renamed();
  ApiProgram secondProgram(*secondDesktop);
  ASSERT_TRUE(secondProgram.PumpUntil([&] { return secondProgram.Attached(); }, 30000))
      << secondErrors();
  first->Pump(3000);
  ASSERT_TRUE(bob->Send(kAlice, "to both"));
  for (ApiProgram* program : {first.get(), &secondProgram}) {
    EXPECT_TRUE(program->PumpUntil([&] { return program->ReceivedMessages().size() == 1; }, 30000));
  }
  EXPECT_EQ(Count(renamed(), "this program goes on as"), 1u);
  EXPECT_EQ(Count((secondRenamed ? Errors() : secondErrors()), "this program goes on as"), 0u);
  bob->Quit();
}

TEST_F(XmppTrustTest, TwoProgramsWithOneSavedNameDoNotTakeTurnsEndingEachOther) {
  TwoProgramsWithOneSavedName(
      "which ended this one; this program goes on as alice@localhost/parlavant-", false);
}

// A server that keeps the first connection refuses the second its name: the second signs in
// under another.
TEST_F(XmppKeepingFirstTest, ASecondProgramRefusedItsSavedNameSignsInUnderAnother) {
  TwoProgramsWithOneSavedName(
      "the server keeps another connection as alice@localhost/parlavant-", true);
}
