// Round trips through the socket desktop against a raw Unix socketpair ping-pong between the
// same two processes, measured in the same run. Prints each figure and the ratios:
//   desktop send / raw round trip             (one synchronous WM_COPYDATA with its answer)
//   link command and reply / 2 raw round trips (a command whose reply line is sent back
//                                               while the command is in flight, as the client does)
// and both against the raw round trip with each side waiting in poll before it reads, as any
// program with an event loop waits.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include "bench/ratio_reporter.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include "chatlink/skype_control.h"
#include "platform/app_window.h"
#include "testsupport/temp_dir.h"

namespace {

const std::string kCommand = "GET CHATMESSAGE 1234 BODY";
const std::string kReply = "CHATMESSAGE 1234 BODY Hola, que tal?";

bool ReadFully(int fd, char* p, std::size_t n) {
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// Frames of the same size as the desktop's, so the two compare like for like.
constexpr std::size_t kRawBytes = 8 + 48 + 26;

// Waits as an event loop does, until the socket is readable, before reading it.
bool PollThenRead(int fd, char* p, std::size_t n) {
  pollfd readable{fd, POLLIN, 0};
  return ::poll(&readable, 1, -1) == 1 && ReadFully(fd, p, n);
}

// With `polled`, each side waits in poll before it reads, as a program with an event loop must:
// on some machines a wakeup from poll costs more than one from a blocking read.
void RawRoundTrip(benchmark::State& state, bool polled) {
  const auto read = polled ? PollThenRead : ReadFully;
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(sv[0]);
    char buf[kRawBytes];
    while (read(sv[1], buf, sizeof buf)) {
      if (::write(sv[1], buf, 24) != 24) break;  // an answer is smaller than a request
    }
    ::_exit(0);
  }
  ::close(sv[1]);
  char out[kRawBytes] = {};
  char in[24];
  for (auto _ : state) {
    if (::write(sv[0], out, sizeof out) != static_cast<ssize_t>(sizeof out)) std::abort();
    if (!read(sv[0], in, sizeof in)) std::abort();
  }
  ::close(sv[0]);
  ::waitpid(pid, nullptr, 0);
}

void BM_RawRoundTrip(benchmark::State& state) {
  RawRoundTrip(state, false);
}

void BM_RawRoundTripPolled(benchmark::State& state) {
  RawRoundTrip(state, true);
}

struct DesktopPeer {
  testsupport::TempDir temp{"pbench"};
  const std::string dir = temp / "d";
  pid_t pid = -1;
  int control = -1;
  platform::Hwnd window = 0;

  // The child's window answers a command with 1; with `replyFirst` it first sends the reply line
  // back to the sender, synchronously, as the chat client does.
  explicit DesktopPeer(bool replyFirst) {
    auto probe = platform::OpenDesktop(dir);  // creates the directory before the child looks
    probe.reset();
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) std::abort();
    pid = ::fork();
    if (pid == 0) {
      ::close(down[1]);
      ::close(up[0]);
      auto desktop = platform::OpenDesktop(dir);
      platform::Hwnd self = 0;
      self = desktop->MakeWindow("client",
                                 [&](platform::Hwnd, platform::MsgId msg, platform::WParam w,
                                     platform::LParam) -> platform::LResult {
                                   if (msg != platform::kWmCopyData) return 0;
                                   if (replyFirst) {
                                     std::string payload = kReply + '\0';
                                     platform::CopyDataStruct cds{
                                         0, static_cast<std::uint32_t>(payload.size()),
                                         payload.data()};
                                     desktop->Send(w, platform::kWmCopyData, self,
                                                   reinterpret_cast<platform::LParam>(&cds));
                                   }
                                   return 1;
                                 });
      if (::write(up[1], &self, sizeof self) != sizeof self) ::_exit(1);
      for (;;) {
        pollfd fds[2] = {{desktop->EventHandle(), POLLIN, 0}, {down[0], POLLIN, 0}};
        ::poll(fds, 2, -1);
        if (fds[0].revents) desktop->ProcessPending();
        if (fds[1].revents) ::_exit(0);
      }
    }
    ::close(down[0]);
    ::close(up[1]);
    control = down[1];
    if (!ReadFully(up[0], reinterpret_cast<char*>(&window), sizeof window)) std::abort();
    ::close(up[0]);
  }
  ~DesktopPeer() {
    ::close(control);
    ::waitpid(pid, nullptr, 0);
  }
};

void BM_DesktopSend(benchmark::State& state) {
  DesktopPeer peer(false);
  auto desktop = platform::OpenDesktop(peer.dir);
  std::string payload = kCommand + '\0';
  platform::CopyDataStruct cds{0, static_cast<std::uint32_t>(payload.size()), payload.data()};
  for (auto _ : state) {
    if (desktop->Send(peer.window, platform::kWmCopyData, 0,
                      reinterpret_cast<platform::LParam>(&cds)) != 1) {
      state.SkipWithError("send failed");
      break;
    }
  }
}

void BM_LinkCommandAndReply(benchmark::State& state) {
  DesktopPeer peer(true);
  auto desktop = platform::OpenDesktop(peer.dir);
  platform::ApplicationWindow app(*desktop, "Parlavant");
  chatlink::TSkypeControl link(app);
  link.IdentName = "Parlavant";
  std::int64_t replies = 0;
  link.OnChatMsgInfo = [&](int, chatlink::TSkypeChatMsgProperty, const std::string&) { ++replies; };
  link.ProtocolNumber = 4;
  // Attached to the peer's window as if it had answered the discovery.
  desktop->Send(app.Handle(), link.AttachMessageId(), peer.window, chatlink::kAttachSuccess);
  replies = 0;
  for (auto _ : state) link.GetChatMessageProperty(1234, chatlink::cmBody);
  if (replies != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("replies lost");
}

BENCHMARK(BM_RawRoundTrip)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawRoundTripPolled)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_DesktopSend)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_LinkCommandAndReply)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchsupport::RunBenchmarks(argc, argv, [](const benchsupport::Figures& f) {
    const double raw = f.at("BM_RawRoundTrip"), send = f.at("BM_DesktopSend"),
                 link = f.at("BM_LinkCommandAndReply"), polled = f.at("BM_RawRoundTripPolled");
    std::printf("\nraw socketpair round trip      %9.2f us  %9.0f /s\n", raw / 1e3, 1e9 / raw);
    std::printf("the same, each side polling    %9.2f us  %9.0f /s\n", polled / 1e3, 1e9 / polled);
    std::printf("desktop send (one round trip)  %9.2f us  %9.0f /s  ratio %.2f\n", send / 1e3,
                1e9 / send, send / raw);
    std::printf("link command and its reply     %9.2f us  %9.0f /s  ratio %.2f (against 2 raw)\n",
                link / 1e3, 1e9 / link, link / (2 * raw));
    benchsupport::ReportRow("desktop send with its answer", send / 1e3, "raw socketpair round trip",
                            raw / 1e3, "us");
    benchsupport::ReportRow("link command and its reply in flight", link / 1e3,
                            "two raw socketpair round trips", 2 * raw / 1e3, "us");
    benchsupport::ReportRow("desktop send with its answer", send / 1e3,
                            "raw round trip, each side waiting in poll", polled / 1e3, "us");
    benchsupport::ReportRow("link command and its reply in flight", link / 1e3,
                            "two raw round trips, each side waiting in poll", 2 * polled / 1e3,
                            "us");
  });
  return 0;
}
