// A message from a remote person to its line in Parlavant's tab (the window shown and active),
// over a Prosody server of its own, parlavant-xmpp and the stand-in translator's echo engine;
// against the same message between two plain XMPP clients on the same server, measured in the
// same run, alternately. Both start when the sender's client is told to send, and both ends are
// watched the same way. In each round also what the rest of the way costs any program: one
// translation (an HTTP exchange with the same translator), the desktop traffic of one received
// message (five desktop sends with their answers, between two endpoints of a desktop of its
// own) and the line appended to a text box of the same kind: the floor is their sum.
#include <QApplication>
#include <QPlainTextEdit>
#include <QTimer>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "app/main_form.h"
#include "bench/ratio_reporter.h"
#include "tests/api_program.h"
#include "tests/xmpp_support.h"
#include "testsupport/temp_dir.h"
#include "translate/http_client.h"
#include "translate/web_codec.h"

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

// A window that answers every copy-data with 1, on a thread and desktop endpoint of its own.
class DesktopPeer {
 public:
  explicit DesktopPeer(const std::string& dir) {
    if (::pipe(stop_) != 0) Fail("no pipe");
    platform::OpenDesktop(dir);  // the directory exists before the thread looks
    thread_ = std::thread([this, dir] {
      auto desktop = platform::OpenDesktop(dir);
      window_ = desktop->MakeWindow(
          "peer", [](platform::Hwnd, platform::MsgId msg, platform::WParam, platform::LParam) {
            return msg == platform::kWmCopyData ? platform::LResult{1} : platform::LResult{0};
          });
      for (;;) {
        pollfd fds[2] = {{desktop->EventHandle(), POLLIN, 0}, {stop_[0], POLLIN, 0}};
        ::poll(fds, 2, -1);
        if (fds[0].revents) desktop->ProcessPending();
        if (fds[1].revents) return;
      }
    });
    while (window_ == 0) std::this_thread::yield();
  }
  ~DesktopPeer() {
    ::close(stop_[1]);
    thread_.join();
    ::close(stop_[0]);
  }
  platform::Hwnd Window() const { return window_; }

 private:
  int stop_[2];
  std::atomic<platform::Hwnd> window_{0};
  std::thread thread_;
};

// With `acksAndArchive` the server offers stream management and keeps archives, as the
// project's own servers do; the client then answers the server's acknowledgement requests and
// keeps the archive id of each message shown. Without, neither. Only the first run also measures
// the API's pauses.
std::pair<double, double> MeasureMessages(bool acksAndArchive) {
  testsupport::TempDir temp("pbxmpp");
  const std::string dir = temp.Path();
  // The client keeps its archive point here, not in the user's own state directory.
  ::setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
  testsupport::ProsodyServer server(dir);
  server.archive = server.streamManagement = acksAndArchive;
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
  // The plain client tells what it received in a file, which is read every 20 us: the floor's
  // end is seen within that.
  const auto until = [](const std::function<bool()>& done, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done() && Clock::now() < deadline) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return done();
  };
  // Parlavant's window is waited for as its own event loop waits, for the next event; polling
  // it, as the plain client's file must be, would hold back each of its steps.
  const auto untilShown = [](const std::function<bool()>& done, int ms) {
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(ms);
    while (!done() && deadline.isActive()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
  };
  if (!until([&] { return form->ToUsers->count() == 1; }, 30000)) Fail("Parlavant did not attach");
  form->show();
  form->activateWindow();
  if (!until([&] { return form->isActiveWindow(); }, 10000)) Fail("the window is not active");

  // The floor's parts.
  translate::HttpClient http;
  const translate::Endpoint endpoint{"127.0.0.1", web, "/st.asp", false, ""};
  const translate::Form request = {{"l1", translate::WebEncode(u"Hola 1")}, {"TargetLang", "1"}};
  DesktopPeer peer(dir + "/floor");
  auto floorDesktop = platform::OpenDesktop(dir + "/floor");
  std::string payload = "CHATMESSAGE 1234 BODY Hola 1";
  payload += '\0';
  platform::CopyDataStruct cds{0, static_cast<std::uint32_t>(payload.size()), payload.data()};
  QWidget boxWindow;
  boxWindow.resize(form->size());
  QPlainTextEdit box(&boxWindow);
  box.setFont(QFont(app::kControlFace, 8));  // the tab's face; its size once it has one
  boxWindow.show();
  const auto micros = [](Clock::time_point since) {
    return std::chrono::duration<double, std::micro>(Clock::now() - since).count();
  };

  testsupport::XmppPeer bob(dir, "bob@localhost", "bob-pw", server.Port());
  testsupport::XmppPeer carol(dir, "carol@localhost", "carol-pw", server.Port());
  if (!bob.WaitReady() || !carol.WaitReady()) Fail("the peers did not sign in");
  const auto lines = [&] {
    if (form->PageControl1->count() == 0) return 0;
    const QPlainTextEdit* memo = app::TMainForm::FindMemo(form->PageControl1->widget(0));
    return memo->document()->isEmpty() ? 0 : memo->blockCount();
  };

  std::vector<double> toParlavant, toPeer, translation, desktopMessage, shown;
  for (int round = 0; round < kRounds + 1; ++round) {
    const std::string text = "Hola " + std::to_string(round);
    const int before = lines();
    auto start = Clock::now();
    bob.Send("alice@localhost", text);
    if (!untilShown([&] { return lines() > before; }, 20000)) {
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
    start = Clock::now();
    if (http.Post(endpoint, request).empty()) Fail("the translator did not answer");
    const double translated = micros(start);
    start = Clock::now();
    for (int i = 0; i < 5; ++i) {
      if (floorDesktop->Send(peer.Window(), platform::kWmCopyData, 0,
                             reinterpret_cast<platform::LParam>(&cds)) != 1) {
        Fail("a desktop send was not answered");
      }
    }
    const double sends = micros(start);
    start = Clock::now();
    box.appendPlainText(QString::fromStdString("bob@localhost: " + text));
    QCoreApplication::processEvents();
    const double appended = micros(start);
    if (round == 0) {  // the first of each warms up the path
      box.resize(app::TMainForm::FindMemo(form->PageControl1->widget(0))->size());
      continue;
    }
    toParlavant.push_back(parlavant);
    toPeer.push_back(plain);
    translation.push_back(translated);
    desktopMessage.push_back(sends);
    shown.push_back(appended);
  }
  const double ours = Median(toParlavant), plain = Median(toPeer);
  const double floor = plain + Median(translation) + Median(desktopMessage) + Median(shown);
  if (!acksAndArchive) {
    std::printf(
        "remote message to its tab line without acknowledgements and archive %9.1f us, "
        "plain delivery %9.1f us (ratio %.2f)\n",
        ours, plain, ours / plain);
    return {ours, plain};
  }
  std::printf("remote message to its tab line (median of %d) %9.1f us\n", kRounds, ours);
  std::printf("the same between two plain clients            %9.1f us  (ratio %.2f)\n", plain,
              ours / plain);
  std::printf("one translation (HTTP exchange)               %9.1f us\n", Median(translation));
  std::printf("one received message's desktop traffic (5 sends) %6.1f us\n",
              Median(desktopMessage));
  std::printf("the line appended to a text box               %9.1f us\n", Median(shown));
  std::printf("floor: their sum                              %9.1f us  ratio %.2f\n", floor,
              ours / floor);
  benchsupport::ReportRow("remote XMPP message to its tab line", ours,
                          "the same message between two plain XMPP clients", plain, "us");
  benchsupport::ReportRow("remote XMPP message to its tab line", ours,
                          "plain delivery + 1 translation + 1 desktop message + the line shown",
                          floor, "us");

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
  return {ours, plain};
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication qt(argc, argv);
  const auto [with, plainWith] = MeasureMessages(true);
  const auto [without, plainWithout] = MeasureMessages(false);
  std::printf(
      "what acknowledgements and the archive add: %+.1f us to the message to Parlavant's tab, "
      "%+.1f us to plain delivery (the server's own)\n",
      with - without, plainWith - plainWithout);
  return 0;
}
