// One received chat message from the client's "RECEIVED" line to its line in the contact's tab,
// through Parlavant's window (offscreen) on the socket desktop, with the stand-in translator on
// its echo engine; against the floor measured in the same run: the same five desktop round
// trips (the status line, two requests and their two answers) plus one loopback HTTP exchange
// with the same translator made directly, plus the same line appended to a shown text box of
// the same kind (what any program pays to show it). The window is shown and active, as for a
// person reading the conversation; beside it the same message while another window is active
// (the tab marked unread, attention asked for), and then also told as a desktop notification
// through a private session bus to a notification server in a process of its own. Then the
// memory that 10,000 messages cost, against the text they leave in the tabs.
#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>
#include <QTextBlock>

#include <benchmark/benchmark.h>

#include <poll.h>
#include "bench/ratio_reporter.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/main_form.h"
#include "platform/notifications.h"
#include "testsupport/child_process.h"
#include "testsupport/desktop_bus.h"
#include "testsupport/net_util.h"
#include "testsupport/qt_support.h"
#include "testsupport/temp_dir.h"
#include "tools/chatclient/stand_in_client.h"
#include "translate/web_codec.h"

namespace {

constexpr int kDesktopRoundTripsPerMessage = 5;
const std::string kBody =
    "Hola, \xC2\xBFqu\xC3\xA9 tal? Nos vemos ma\xC3\xB1"
    "ana en la estaci\xC3\xB3n.";

// The stand-in chat client on a thread of its own with a desktop object of its own (a separate
// endpoint), told what to do through a pipe.
class ClientThread {
 public:
  explicit ClientThread(const std::string& desktopDir) {
    if (::pipe(pipe_) != 0 || ::pipe(wake_) != 0) std::abort();
    wakeNotifier_ = std::make_unique<QSocketNotifier>(wake_[0], QSocketNotifier::Read);
    QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, [this] {
      char drain[64];
      if (::read(wake_[0], drain, sizeof drain) < 0) std::abort();
    });
    thread_ = std::thread([this, desktopDir] { Run(desktopDir); });
    while (!ready_) std::this_thread::yield();
  }
  ~ClientThread() {
    Tell('q');
    thread_.join();
    wakeNotifier_.reset();
    for (int fd : {pipe_[0], pipe_[1], wake_[0], wake_[1]}) ::close(fd);
  }
  // 'r': a message from bob arrives; 'p': one bare round trip to the program's window.
  void Tell(char c) {
    if (::write(pipe_[1], &c, 1) != 1) std::abort();
  }
  std::atomic<int> roundTrips{0};
  std::atomic<platform::Hwnd> program{0};

 private:
  void Run(const std::string& desktopDir) {
    auto desktop = platform::OpenDesktop(desktopDir);
    standin::ClientOptions options;
    options.contacts = {"bob", "carol"};
    standin::StandInClient client(*desktop, options);
    ready_ = true;
    for (;;) {
      pollfd fds[2] = {{desktop->EventHandle(), POLLIN, 0}, {pipe_[0], POLLIN, 0}};
      ::poll(fds, 2, -1);
      if (fds[0].revents) desktop->ProcessPending();
      if (!(fds[1].revents & POLLIN)) continue;
      char c = 0;
      if (::read(pipe_[0], &c, 1) != 1 || c == 'q') return;
      if (c == 'r') client.Receive("bob", kBody);
      if (c == 'p') {
        // A line the program ignores: one bare desktop round trip.
        client.SendRaw("PONGX");
        ++roundTrips;
      }
      // Wakes the main thread's event loop, which waits for events, not for the counter.
      if (::write(wake_[1], &c, 1) != 1) std::abort();
    }
  }
  int pipe_[2];
  int wake_[2];
  std::unique_ptr<QSocketNotifier> wakeNotifier_;
  std::thread thread_;
  std::atomic<bool> ready_{false};
};

struct World {
  testsupport::TempDir temp{"pbmsg"};
  const std::string dir = temp.Path();
  std::uint16_t port = testsupport::FreeLoopbackPort();
  std::unique_ptr<testsupport::ChildProcess> translator;
  std::unique_ptr<platform::Desktop> desktop;
  std::unique_ptr<ClientThread> client;
  std::unique_ptr<app::TApplication> application;
  std::unique_ptr<app::TMainForm> form;
  QWidget elsewhere;  // the window the user is in while a message comes
  QPlainTextEdit* memo = nullptr;

  World() {
    const std::string p = std::to_string(port);
    translator = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{TRANSLATOR_PATH, "--desktop", dir + "/d", "--no-window",
                                 "--engine", "echo", "--port", p, "--web-port", p});
    if (!testsupport::WaitUntilListening(port)) std::abort();
    desktop = platform::OpenDesktop(dir + "/d");
    client = std::make_unique<ClientThread>(dir + "/d");
    std::ofstream(dir + "/parlavant.ini")
        << "[General]\r\nReceive=1\r\nWebService=127.0.0.1:" << port << "\r\n";
    application = std::make_unique<app::TApplication>(*desktop, "parlavant");
    application->ErrorBox = [](const std::string&, const std::string& text) {
      std::fprintf(stderr, "error box: %s\n", text.c_str());
      std::abort();
    };
    form = std::make_unique<app::TMainForm>(*application, dir + "/parlavant.ini");
    while (form->ToUsers->count() == 0)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    form->show();
    elsewhere.resize(200, 100);
    elsewhere.show();
    Activate(*form);
  }
  // Gives the window system's activation to `window` and waits until it has arrived.
  static void Activate(QWidget& window) {
    window.activateWindow();
    if (!testsupport::PumpUntil([&] { return window.isActiveWindow(); }, 10000)) {
      std::fprintf(stderr, "a window did not become active\n");
      std::abort();
    }
  }
  ~World() {
    form.reset();
    application.reset();
    client.reset();
    desktop.reset();
    translator.reset();
  }
  int Lines() {
    if (memo == nullptr && form->PageControl1->count() > 0) {
      memo = app::TMainForm::FindMemo(form->PageControl1->widget(0));
    }
    return memo == nullptr ? 0 : memo->blockCount() - (memo->document()->isEmpty() ? 1 : 0);
  }
  // One message from bob, until its line is in the tab.
  void ReceiveOne() {
    const int before = Lines();
    client->Tell('r');
    while (Lines() == before) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
};

// Made on first use, and ended before the toolkit is: its windows cannot outlive it.
std::unique_ptr<World>& WorldSlot() {
  static std::unique_ptr<World> world;
  return world;
}

World& TheWorld() {
  if (!WorldSlot()) WorldSlot() = std::make_unique<World>();
  return *WorldSlot();
}

void BM_ReceivedMessage(benchmark::State& state) {
  World& world = TheWorld();
  for (auto _ : state) world.ReceiveOne();
  state.counters["messages_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The same while the user is in another window: the tab is marked unread and the window asks
// for attention; with `notify`, each message also goes out as a desktop notification.
void ReceivedUnseen(benchmark::State& state, bool notify) {
  World& world = TheWorld();
  World::Activate(world.elsewhere);
  std::unique_ptr<testsupport::TempDir> busDir;
  std::unique_ptr<testsupport::PrivateSessionBus> bus;
  std::unique_ptr<testsupport::ChildProcess> server;
  std::unique_ptr<platform::Notifications> notifier;
  if (notify) {
    busDir = std::make_unique<testsupport::TempDir>("pbbus");
    bus = std::make_unique<testsupport::PrivateSessionBus>(busDir->Path());
    server = std::make_unique<testsupport::ChildProcess>(
        std::vector<std::string>{"/proc/self/exe", "--notification-server", bus->Address()});
    // Until the server owns its name: a notification before it would go nowhere, cheaply.
    QDBusConnection probe =
        QDBusConnection::connectToBus(QString::fromStdString(bus->Address()), "probe");
    const bool up = testsupport::PumpUntil(
        [&] {
          return probe.interface()->isServiceRegistered("org.freedesktop.Notifications").value();
        },
        10000);
    QDBusConnection::disconnectFromBus("probe");
    if (!up) {
      state.SkipWithError("the notification server did not come up");
      World::Activate(*world.form);
      return;
    }
    notifier = platform::DesktopNotifications("Parlavant", [](std::function<void()>) {});
    world.form->OnUnseenMessage = [&](const std::u16string& sender, const std::u16string& line) {
      notifier->Notify(app::FromWide(sender).toStdString(), app::FromWide(line).toStdString());
    };
  }
  for (auto _ : state) world.ReceiveOne();
  world.form->OnUnseenMessage = nullptr;
  World::Activate(*world.form);
}

void BM_ReceivedMessageUnseen(benchmark::State& state) {
  ReceivedUnseen(state, false);
}

void BM_ReceivedMessageNotified(benchmark::State& state) {
  ReceivedUnseen(state, true);
}

void BM_DesktopRoundTrip(benchmark::State& state) {
  World& world = TheWorld();
  for (auto _ : state) {
    const int before = world.client->roundTrips;
    world.client->Tell('p');
    // The client's send returns once our window has handled the line.
    while (world.client->roundTrips == before)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

void BM_HttpExchange(benchmark::State& state) {
  World& world = TheWorld();
  translate::HttpClient http;
  const translate::Endpoint endpoint{"127.0.0.1", world.port, "/st.asp", false, ""};
  const translate::Form form = {
      {"l1", translate::WebEncode(
                 u"Hola, \u00bfqu\u00e9 tal? Nos vemos ma\u00f1ana en la estaci\u00f3n.")},
      {"TargetLang", "1"}};
  for (auto _ : state) benchmark::DoNotOptimize(http.Post(endpoint, form));
}

// What any program pays to show the line: the same line appended to a text box of the same kind
// and size in a shown window of the same size, laid out and painted as the window's is.
void BM_TextAppend(benchmark::State& state) {
  World& world = TheWorld();
  const QString line = world.memo != nullptr ? world.memo->document()->lastBlock().text()
                                             : QString::fromUtf8("bob: [1] " + kBody);
  QWidget window;
  window.resize(world.form->size());
  QPlainTextEdit box(&window);
  box.setFont(world.memo != nullptr ? world.memo->font() : box.font());
  box.resize(world.memo != nullptr ? world.memo->size() : QSize(400, 200));
  window.show();
  for (auto _ : state) {
    box.appendPlainText(line);
    QCoreApplication::processEvents();
  }
}

BENCHMARK(BM_DesktopRoundTrip)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_HttpExchange)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_ReceivedMessage)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_TextAppend)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_ReceivedMessageUnseen)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_ReceivedMessageNotified)->UseRealTime()->MinTime(1.0);

// The same number of lines appended straight to a text box: what the text alone costs.
long DirectAppendKiB(int lines, const QString& line) {
  QPlainTextEdit box;
  const long before = testsupport::ResidentKiB();
  for (int i = 0; i < lines; ++i) box.appendPlainText(line);
  return testsupport::ResidentKiB() - before;
}

void ReportMemory() {
  World& world = TheWorld();
  for (int i = 0; i < 200; ++i) world.ReceiveOne();  // the first ones allocate what stays
  const long before = testsupport::ResidentKiB();
  const long textBefore = world.memo->toPlainText().size();
  constexpr int kMessages = 10000;
  for (int i = 0; i < kMessages; ++i) world.ReceiveOne();
  const long after = testsupport::ResidentKiB();
  const long textBytes = (world.memo->toPlainText().size() - textBefore) * 2;
  const QString line = world.memo->document()->lastBlock().text();
  const long direct = DirectAppendKiB(kMessages, line);
  std::printf(
      "\nmemory after %d messages: resident +%ld KiB; %ld KiB of new text in the tab; the same "
      "lines "
      "appended straight to a text box: +%ld KiB (ratio %.2f); pending records %zu\n",
      kMessages, after - before, textBytes / 1024, direct,
      direct > 0 ? static_cast<double>(after - before) / static_cast<double>(direct) : 0.0,
      world.form->PendingChatMessages.Count());
  benchsupport::ReportRow(
      "resident growth over 10,000 messages", static_cast<double>(after - before),
      "the same lines appended to a text box", static_cast<double>(direct), "KiB");
}

// The notification server of the notified figure, in a process of its own as on a desktop.
int ServeNotifications(int argc, char** argv, const std::string& address) {
  QCoreApplication qt(argc, argv);
  testsupport::NotificationRecorder recorder(address);
  if (!recorder.Registered()) return 1;
  return qt.exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--notification-server") {
    return ServeNotifications(argc, argv, argv[2]);
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication qt(argc, argv);
  // First, while the heap holds nothing the timing runs (and the text box of the floor) left
  // behind: the two growths compare only from the same start.
  ReportMemory();
  benchsupport::RunBenchmarks(argc, argv, [](const benchsupport::Figures& f) {
    const double trip = f.at("BM_DesktopRoundTrip"), http = f.at("BM_HttpExchange"),
                 message = f.at("BM_ReceivedMessage"), append = f.at("BM_TextAppend"),
                 unseen = f.at("BM_ReceivedMessageUnseen"),
                 notified = f.at("BM_ReceivedMessageNotified");
    const double transport = kDesktopRoundTripsPerMessage * trip + http;
    const double floor = transport + append;
    std::printf("\ndesktop round trip             %9.1f us\n", trip / 1e3);
    std::printf("HTTP exchange with the echo    %9.1f us\n", http / 1e3);
    std::printf("line appended to a text box    %9.1f us\n", append / 1e3);
    std::printf("floor without the text box     %9.1f us  (ratio %.2f)\n", transport / 1e3,
                message / transport);
    std::printf("floor (5 round trips + 1 HTTP + the line shown) %9.1f us\n", floor / 1e3);
    std::printf(
        "received message to tab line  %9.1f us  %7.0f messages/s  ratio %.2f to the floor\n",
        message / 1e3, 1e9 / message, message / floor);
    std::printf(
        "the same, another window active   %9.1f us  (%+.1f us: the unread mark, the attention "
        "asked)\n",
        unseen / 1e3, (unseen - message) / 1e3);
    std::printf("the same, also notified           %9.1f us  (%+.1f us more: the notification)\n",
                notified / 1e3, (notified - unseen) / 1e3);
    benchsupport::ReportRow("received message to its tab line", message / 1e3,
                            "5 desktop round trips + 1 HTTP exchange + the line in a text box",
                            floor / 1e3, "us");
  });
  WorldSlot().reset();
  return 0;
}
