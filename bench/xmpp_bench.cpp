// A message from a remote person to its line in Parlavant's tab, over a Prosody server of its
// own, parlavant-xmpp and the stand-in translator's echo engine; against the same message
// between two plain XMPP clients on the same server, measured in the same run, alternately.
// Both start when the sender's client is told to send, and both ends are watched the same way.
#include <QApplication>
#include <QPlainTextEdit>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "app/main_form.h"
#include "bench/ratio_reporter.h"
#include "tests/api_program.h"
#include "tests/xmpp_support.h"
#include "testsupport/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 40;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "xmpp benchmark: %s\n", what);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication qt(argc, argv);
  testsupport::TempDir temp("pbxmpp");
  const std::string dir = temp.Path();
  testsupport::ProsodyServer server(dir);
  if (!server.Start()) Fail("Prosody did not start");
  for (const char* user : {"alice", "bob", "carol"}) {
    if (!server.Register(user, std::string(user) + "-pw")) Fail("an account was not made");
  }
  {
    testsupport::XmppPeer alice(dir, "alice@localhost", "alice-pw", server.Port());
    if (!alice.WaitReady() || !alice.Add("bob@localhost")) Fail("alice's roster");
    alice.Quit();
  }
  const std::uint16_t web = testsupport::FreeLoopbackPort();
  testsupport::ChildProcess translator({TRANSLATOR_PATH, "--desktop", dir + "/d", "--no-window",
                                        "--engine", "echo", "--port", std::to_string(web),
                                        "--web-port", std::to_string(web)});
  if (!testsupport::WaitUntilListening(web)) Fail("the translator did not start");
  ::setenv("PARLAVANT_BENCH_PASSWORD", "alice-pw", 1);
  testsupport::ChildProcess xmpp(
      {XMPP_PATH, "--jid", "alice@localhost", "--server", server.Server(), "--plain",
       "--password-env", "PARLAVANT_BENCH_PASSWORD", "--desktop", dir + "/d", "--settings",
       dir + "/none.ini"},
      dir + "/xmpp.out", dir + "/xmpp.err");
  auto desktop = platform::OpenDesktop(dir + "/d");
  std::ofstream(dir + "/parlavant.ini")
      << "[General]\r\nReceive=1\r\nWebService=127.0.0.1:" << web << "\r\n";
  app::TApplication application(*desktop, "parlavant");
  application.ErrorBox = [](const std::string&, const std::string& text) {
    std::fprintf(stderr, "error box: %s\n", text.c_str());
    std::exit(1);
  };
  auto form = std::make_unique<app::TMainForm>(application, dir + "/parlavant.ini");
  const auto until = [](const std::function<bool()>& done, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done() && Clock::now() < deadline) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return done();
  };
  if (!until([&] { return form->ToUsers->count() == 1; }, 30000)) Fail("Parlavant did not attach");

  testsupport::XmppPeer bob(dir, "bob@localhost", "bob-pw", server.Port());
  testsupport::XmppPeer carol(dir, "carol@localhost", "carol-pw", server.Port());
  if (!bob.WaitReady() || !carol.WaitReady()) Fail("the peers did not sign in");
  const auto lines = [&] {
    if (form->PageControl1->count() == 0) return 0;
    const QString text = app::TMainForm::FindMemo(form->PageControl1->widget(0))->toPlainText();
    return text.isEmpty() ? 0 : static_cast<int>(text.count('\n')) + 1;
  };

  std::vector<double> toParlavant, toPeer;
  for (int round = 0; round < kRounds + 1; ++round) {
    const std::string text = "Hola " + std::to_string(round);
    const int before = lines();
    auto start = Clock::now();
    bob.Send("alice@localhost", text);
    if (!until([&] { return lines() > before; }, 20000)) {
      Fail("a message did not reach Parlavant's tab");
    }
    const double parlavant =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    const std::size_t had = carol.Received("bob@localhost").size();
    start = Clock::now();
    bob.Send("carol@localhost", text);
    if (!until([&] { return carol.Received("bob@localhost").size() > had; }, 20000)) {
      Fail("a message did not reach the plain client");
    }
    const double plain = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (round == 0) continue;  // the first of each warms up the path
    toParlavant.push_back(parlavant);
    toPeer.push_back(plain);
  }
  const double ours = Median(toParlavant), floor = Median(toPeer);
  std::printf("remote message to its tab line (median of %d) %9.1f us\n", kRounds, ours);
  std::printf("the same between two plain clients            %9.1f us\n", floor);
  std::printf("ratio %.2f\n", ours / floor);
  benchsupport::ReportRow("remote XMPP message to its tab line", ours,
                          "the same message between two plain XMPP clients", floor, "us");

  // libstrophe's parser slows with the number of a stanza's elements; the desktop API must keep
  // answering meanwhile. A program asks the client PING over and over while a message of 60,000
  // empty elements (240 KB, under the server's limit) comes, and again for as long with none.
  form.reset();
  testsupport::ApiProgram program(*desktop);
  if (!program.PumpUntil([&] { return program.Attached(); }, 30000)) Fail("no attach");
  const auto longestPause = [&](const std::function<bool()>& done, double ms) {
    double longest = 0;
    const auto start = Clock::now();
    while (!done() &&
           std::chrono::duration<double, std::milli>(Clock::now() - start).count() < ms) {
      const auto asked = Clock::now();
      program.Ping();
      longest = std::max(longest,
                         std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
      program.Pump(2);
    }
    return longest;
  };
  std::string wide =
      "<message to='alice@localhost' type='chat'><body>wide</body><x xmlns='urn:example:wide'>";
  for (int i = 0; i < 60000; ++i) wide += "<a/>";
  wide += "</x></message>";
  const auto parseStart = Clock::now();
  bob.Raw(wide);
  const double during = longestPause([&] { return !program.ReceivedMessages().empty(); }, 60000);
  const double parse = std::chrono::duration<double, std::milli>(Clock::now() - parseStart).count();
  if (program.ReceivedMessages().empty()) Fail("the wide message did not arrive");
  const double quiet = longestPause([] { return false; }, parse);
  std::printf(
      "a 60,000-element message took %.0f ms to arrive; the API's longest pause meanwhile "
      "%.1f ms, with no message %.1f ms\n",
      parse, during, quiet);
  benchsupport::ReportRow("longest desktop API pause while a 60,000-element message arrives",
                          during, "longest pause as long without one", quiet, "ms");
  return 0;
}
