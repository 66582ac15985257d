// The socket desktop across real processes: each test forks children that open the same desktop
// directory and talk to the parent through it; pipes only say when to start and stop.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/desktop.h"
#include "platform/desktop_internal.h"
#include "platform/frame.h"
#include "testsupport/temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// A directory of the test's own, with a desktop in it.
class TempDir : public testsupport::TempDir {
 public:
  TempDir() : testsupport::TempDir("pdesk") {}
  std::string Desktop() const { return *this / "d"; }
};

// A forked child with a pipe each way. The child's body gets (read end, write end) and its
// return value becomes the exit status; the child never returns into the test.
class Child {
 public:
  Child(const std::function<int(int, int)>& body) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      int rc = 99;
      try {
        rc = body(down[0], up[1]);
      } catch (...) {
      }
      ::_exit(rc);
    }
    ::close(down[0]);
    ::close(up[1]);
    toChild_ = down[1];
    fromChild_ = up[0];
  }
  ~Child() {
    CloseInput();
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(fromChild_);
  }
  // Reads exactly n bytes from the child, waiting up to 20 s.
  bool Read(void* out, std::size_t n) {
    auto* p = static_cast<char*>(out);
    while (n > 0) {
      pollfd pfd{fromChild_, POLLIN, 0};
      if (::poll(&pfd, 1, 20000) <= 0) return false;
      ssize_t r = ::read(fromChild_, p, n);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<std::size_t>(r);
    }
    return true;
  }
  // Whether the child has written something not yet read; does not wait.
  bool HasOutput() {
    pollfd pfd{fromChild_, POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1;
  }
  Hwnd ReadHandle() {
    Hwnd h = 0;
    EXPECT_TRUE(Read(&h, sizeof h));
    return h;
  }
  void Tell(const void* p, std::size_t n) {
    ASSERT_EQ(::write(toChild_, p, n), static_cast<ssize_t>(n));
  }
  void CloseInput() {
    if (toChild_ >= 0) ::close(toChild_);
    toChild_ = -1;
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  bool reaped_ = false;
};

void Write(int fd, const void* p, std::size_t n) {
  if (::write(fd, p, n) != static_cast<ssize_t>(n)) ::_exit(98);
}

// Serves the desktop until the pipe `control` delivers a byte or closes; returns that byte
// (0 for a close).
char Serve(Desktop& desktop, int control) {
  for (;;) {
    pollfd fds[2] = {{desktop.EventHandle(), POLLIN, 0}, {control, POLLIN, 0}};
    ::poll(fds, 2, 1000);
    if (fds[0].revents) desktop.ProcessPending();
    if (fds[1].revents) {
      char c = 0;
      return ::read(control, &c, 1) == 1 ? c : 0;
    }
  }
}

// Handles the parent's side until `done` holds, at most 20 s.
bool PumpUntil(Desktop& desktop, const std::function<bool()>& done) {
  for (int i = 0; i < 400 && !done(); ++i) desktop.WaitAndProcess(50);
  return done();
}

LResult SendBytes(Desktop& desktop, Hwnd to, Hwnd from, const std::string& bytes) {
  CopyDataStruct cds{0, static_cast<std::uint32_t>(bytes.size()), bytes.data()};
  return desktop.Send(to, kWmCopyData, from, reinterpret_cast<LParam>(&cds));
}

std::string BytesOf(LParam lParam) {
  const auto* cds = reinterpret_cast<const CopyDataStruct*>(lParam);
  return std::string(static_cast<const char*>(cds->lpData), cds->cbData);
}

// The titles of the live windows, as another process of the desktop sees them.
std::vector<std::string> Titles(Desktop& desktop) {
  std::vector<std::string> titles;
  desktop.EnumWindows([&](Hwnd h) {
    char title[256];
    desktop.GetTitle(h, title, sizeof title);
    titles.emplace_back(title);
    return true;
  });
  return titles;
}

TEST(SocketDesktop, MessageIdsAgreeAcrossProcessesAndTheDirectoryIsPrivate) {
  TempDir dir;
  auto desktop = OpenDesktop(dir.Desktop());
  const MsgId attach = desktop->RegisterMessage("SkypeControlAPIAttach");
  Child child([&](int, int up) {
    auto own = OpenDesktop(dir.Desktop());
    MsgId ids[3] = {own->RegisterMessage("SkypeControlAPIDiscover"),
                    own->RegisterMessage("SkypeControlAPIAttach"), own->RegisterMessage("")};
    Write(up, ids, sizeof ids);
    return 0;
  });
  MsgId ids[3] = {};
  ASSERT_TRUE(child.Read(ids, sizeof ids));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(ids[1], attach);
  EXPECT_EQ(desktop->RegisterMessage("SkypeControlAPIDiscover"), ids[0]);
  EXPECT_NE(ids[0], attach);
  EXPECT_EQ(ids[2], 0u);
  for (MsgId id : {ids[0], ids[1]}) {
    EXPECT_GE(id, kFirstRegisteredMessage);
    EXPECT_LE(id, kLastRegisteredMessage);
  }
  struct stat st {};
  ASSERT_EQ(::stat(dir.Desktop().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(SocketDesktop, SendCarriesTheBytesAndReturnsTheReceiversResult) {
  TempDir dir;
  auto desktop = OpenDesktop(dir.Desktop());
  const Hwnd own = desktop->MakeWindow("parent", [](Hwnd, MsgId, WParam, LParam) { return 0; });
  Child child([&](int down, int up) {
    auto d = OpenDesktop(dir.Desktop());
    const Hwnd w = d->MakeWindow(
        "Tessavo Verbalinx 3.0", [](Hwnd, MsgId msg, WParam wp, LParam lp) -> LResult {
          if (msg == kWmCopyData) {
            const auto* cds = reinterpret_cast<const CopyDataStruct*>(lp);
            std::string bytes = BytesOf(lp);
            return static_cast<LResult>(cds->dwData * 1000000 + bytes.size() * 1000 +
                                        static_cast<unsigned char>(bytes.back()) + wp * 0);
          }
          return static_cast<LResult>(wp) + lp;
        });
    Write(up, &w, sizeof w);
    Serve(*d, down);
    return 0;
  });
  const Hwnd theirs = child.ReadHandle();
  EXPECT_NE(theirs, 0u);
  EXPECT_NE(theirs, own);
  EXPECT_NE(theirs, kHwndBroadcast);

  std::vector<std::pair<Hwnd, std::string>> seen;
  ASSERT_TRUE(desktop->EnumWindows([&](Hwnd h) {
    char title[255];
    desktop->GetTitle(h, title, sizeof title);
    seen.emplace_back(h, title);
    return true;
  }));
  EXPECT_EQ(seen, (std::vector<std::pair<Hwnd, std::string>>{{own, "parent"},
                                                             {theirs, "Tessavo Verbalinx 3.0"}}));

  std::string payload = "CHATMESSAGE 1 BODY caf\xC3\xA9";
  payload.push_back('\0');
  CopyDataStruct cds{4, static_cast<std::uint32_t>(payload.size()), payload.data()};
  EXPECT_EQ(desktop->Send(theirs, kWmCopyData, own, reinterpret_cast<LParam>(&cds)),
            4 * 1000000 + static_cast<LResult>(payload.size()) * 1000 + 0);
  EXPECT_EQ(desktop->Send(theirs, 0xC123, 40, 2), 42);

  const std::string big(kMaxCopyDataBytes + 1, 'x');
  EXPECT_EQ(SendBytes(*desktop, theirs, own, big), 0);
  child.CloseInput();
  EXPECT_EQ(child.Wait(), 0);
}

TEST(SocketDesktop, MessagesSentToTheWaitingProcessAreHandledBeforeItsSendReturns) {
  TempDir dir;
  auto desktop = OpenDesktop(dir.Desktop());
  bool inFlight = false;
  std::vector<std::string> handledInFlight;
  const Hwnd own =
      desktop->MakeWindow("program", [&](Hwnd, MsgId msg, WParam, LParam lp) -> LResult {
        if (msg == kWmCopyData && inFlight) handledInFlight.push_back(BytesOf(lp));
        return 1;
      });
  Child child([&](int down, int up) {
    auto d = OpenDesktop(dir.Desktop());
    Hwnd self = 0;
    self = d->MakeWindow("client", [&](Hwnd, MsgId msg, WParam wp, LParam lp) -> LResult {
      if (msg != kWmCopyData) return 0;
      // Answer the command with two lines before the command itself returns.
      const std::string command = BytesOf(lp);
      SendBytes(*d, wp, self, "reply to " + command);
      SendBytes(*d, wp, self, "CHATMESSAGE 1 STATUS RECEIVED");
      return 5;
    });
    Write(up, &self, sizeof self);
    Serve(*d, down);
    return 0;
  });
  const Hwnd client = child.ReadHandle();
  inFlight = true;
  EXPECT_EQ(SendBytes(*desktop, client, own, "SEARCH FRIENDS "), 5);
  inFlight = false;
  EXPECT_EQ(handledInFlight, (std::vector<std::string>{"reply to SEARCH FRIENDS ",
                                                       "CHATMESSAGE 1 STATUS RECEIVED"}));
  child.CloseInput();
  EXPECT_EQ(child.Wait(), 0);
}

TEST(SocketDesktop, TwoProcessesSendingToEachOtherAtOnceDoNotDeadlock) {
  TempDir dir;
  constexpr int kRounds = 300;
  auto desktop = OpenDesktop(dir.Desktop());
  int received = 0;
  const Hwnd own = desktop->MakeWindow("a", [&](Hwnd, MsgId, WParam wp, LParam) -> LResult {
    ++received;
    return static_cast<LResult>(wp) + 1;
  });
  Child child([&](int down, int up) {
    auto d = OpenDesktop(dir.Desktop());
    int got = 0;
    const Hwnd self = d->MakeWindow("b", [&](Hwnd, MsgId, WParam wp, LParam) -> LResult {
      ++got;
      return static_cast<LResult>(wp) + 1;
    });
    Write(up, &self, sizeof self);
    Hwnd peer = 0;
    if (::read(down, &peer, sizeof peer) != sizeof peer) return 2;
    int wrong = 0;
    for (int i = 0; i < kRounds; ++i) {
      if (d->Send(peer, 0xC200, static_cast<WParam>(i), 0) != i + 1) ++wrong;
    }
    Write(up, &wrong, sizeof wrong);
    Serve(*d, down);
    return got == kRounds ? 0 : 3;
  });
  const Hwnd peer = child.ReadHandle();
  child.Tell(&own, sizeof own);
  int wrong = 0;
  for (int i = 0; i < kRounds; ++i) {
    if (desktop->Send(peer, 0xC201, static_cast<WParam>(i), 0) != i + 1) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(PumpUntil(*desktop, [&] { return received == kRounds; }));
  int theirWrong = -1;
  ASSERT_TRUE(child.Read(&theirWrong, sizeof theirWrong));
  EXPECT_EQ(theirWrong, 0);
  child.CloseInput();
  EXPECT_EQ(child.Wait(), 0);
}

TEST(SocketDesktop, WindowOfAGoneProcessIsSkippedCleanedUpAndAnswersZero) {
  TempDir dir;
  auto desktop = OpenDesktop(dir.Desktop());
  Child child([&](int, int up) {
    auto d = OpenDesktop(dir.Desktop());
    const Hwnd w =
        d->MakeWindow("Tessavo Verbalinx 3.0", [](Hwnd, MsgId, WParam, LParam) { return 1; });
    Write(up, &w, sizeof w);
    ::_exit(0);  // gone without tidying up, as a crash would leave it
    return 0;
  });
  const Hwnd gone = child.ReadHandle();
  child.Wait();
  char name[32];
  std::snprintf(name, sizeof name, "/w%lx", static_cast<unsigned long>(gone));
  ASSERT_TRUE(fs::exists(dir.Desktop() + name));
  bool listed = false;
  desktop->EnumWindows([&](Hwnd h) {
    listed |= h == gone;
    return true;
  });
  EXPECT_FALSE(listed);
  EXPECT_FALSE(fs::exists(dir.Desktop() + name));
  EXPECT_EQ(desktop->Send(gone, 0xC300, 0, 0), 0);
  EXPECT_EQ(SendBytes(*desktop, gone, 0, "NAME Parlavant"), 0);
}

TEST(SocketDesktop, PeerThatVanishesDuringASendAnswersZero) {
  TempDir dir;
  auto desktop = OpenDesktop(dir.Desktop());
  Child child([&](int down, int up) {
    auto d = OpenDesktop(dir.Desktop());
    const Hwnd w =
        d->MakeWindow("client", [](Hwnd, MsgId, WParam, LParam) -> LResult { ::_exit(0); });
    Write(up, &w, sizeof w);
    Serve(*d, down);
    return 1;
  });
  const Hwnd w = child.ReadHandle();
  EXPECT_EQ(SendBytes(*desktop, w, 0, "PROTOCOL 4"), 0);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(desktop->Send(w, 0xC300, 0, 0), 0);
}

TEST(SocketDesktop, BroadcastWaitsForNoReceiver) {
  TempDir dir;
  auto desktop = OpenDesktop(dir.Desktop());
  const MsgId discover = desktop->RegisterMessage("SkypeControlAPIDiscover");
  int ownCalls = 0;
  const Hwnd own = desktop->MakeWindow("program", [&](Hwnd, MsgId msg, WParam, LParam) -> LResult {
    ownCalls += msg == discover;
    return 0;
  });
  Child child([&](int down, int up) {
    auto d = OpenDesktop(dir.Desktop());
    Hwnd from = 0;
    const MsgId id = d->RegisterMessage("SkypeControlAPIDiscover");
    const Hwnd w = d->MakeWindow("client", [&](Hwnd, MsgId msg, WParam wp, LParam) -> LResult {
      if (msg == id) from = wp;
      return 0;
    });
    Write(up, &w, sizeof w);
    char c;
    if (::read(down, &c, 1) != 1) return 2;  // busy: not serving the desktop at all
    while (from == 0) d->WaitAndProcess(1000);
    Write(up, &from, sizeof from);
    return 0;
  });
  child.ReadHandle();
  // Would hang here if a broadcast waited for a receiver that does not serve its desktop.
  EXPECT_TRUE(desktop->SendNotify(kHwndBroadcast, discover, own, 0));
  EXPECT_EQ(ownCalls, 1);
  child.Tell("g", 1);
  EXPECT_EQ(child.ReadHandle(), own);
  EXPECT_EQ(child.Wait(), 0);

  // A live endpoint that never accepts, its listen backlog full, with a window.
  const std::string stem = dir.Desktop() + "/e999999-0-00000000deadbeef";
  const int lock = ::open((stem + ".lock").c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (stem + ".sock").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<int> waiting;
  for (int i = 0; i < 64; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      break;
    }
    waiting.push_back(fd);
  }
  ASSERT_LT(waiting.size(), 64u) << "the backlog never filled";
  std::FILE* f = std::fopen((dir.Desktop() + "/w7ffffff0").c_str(), "w");
  std::fputs("e999999-0-00000000deadbeef\nstuck", f);
  std::fclose(f);
  ASSERT_EQ(Titles(*desktop), (std::vector<std::string>{"program", "stuck"}));

  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(desktop->SendNotify(kHwndBroadcast, discover, own, 0));
  // A connection attempt that waits for the backlog to drain takes two seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(ownCalls, 2);
  for (int fd : waiting) ::close(fd);
  ::close(listener);
  ::close(lock);
}

TEST(SocketDesktop, AnEndpointBeingMadeIsNotSweptAsDead) {
  TempDir dir;
  // The first endpoint made stops between making its lock file and locking it, while another
  // process opens the desktop and sweeps what looks dead.
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false, released = false, paused = false;
  detail::SetEndpointCreationPause([&] {
    std::unique_lock lock(mutex);
    if (paused) return;
    paused = held = true;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
  });
  std::string slowTitle;
  std::thread slow([&] {
    auto d = OpenDesktop(dir.Desktop());
    d->MakeWindow("slow", [](Hwnd, MsgId, WParam, LParam) { return 1; });
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return !released; });
  });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return held; }));
  }
  auto sweeper = OpenDesktop(dir.Desktop());
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  changed.notify_all();
  // Once the slow endpoint has its window, a third process must still see it alive.
  std::vector<std::string> titles;
  for (int i = 0; i < 200 && titles.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    titles = Titles(*OpenDesktop(dir.Desktop()));
  }
  {
    std::lock_guard lock(mutex);
    released = false;
  }
  changed.notify_all();
  slow.join();
  detail::SetEndpointCreationPause({});
  EXPECT_EQ(titles, std::vector<std::string>{"slow"});
}

TEST(SocketDesktop, ManyProcessesStartingAtOnceStayReachable) {
  constexpr int kProcesses = 20;
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    TempDir dir;
    const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kProcesses; ++i) {
      children.push_back(std::make_unique<Child>([&, i](int down, int up) {
        std::this_thread::sleep_until(start);
        auto d = OpenDesktop(dir.Desktop());
        const Hwnd w = d->MakeWindow("p" + std::to_string(i),
                                     [i](Hwnd, MsgId, WParam, LParam) { return 100 + i; });
        Write(up, &w, sizeof w);
        Serve(*d, down);
        return 0;
      }));
    }
    std::vector<Hwnd> windows;
    for (auto& child : children) windows.push_back(child->ReadHandle());
    auto desktop = OpenDesktop(dir.Desktop());
    EXPECT_EQ(Titles(*desktop).size(), static_cast<std::size_t>(kProcesses));
    for (int i = 0; i < kProcesses; ++i) {
      EXPECT_EQ(desktop->Send(windows[i], 0xC100, 0, 0), 100 + i) << "process " << i;
    }
    // Told by a byte: every later child holds a copy of each earlier child's pipe, so closing
    // it would not be seen.
    for (auto& child : children) {
      child->Tell("q", 1);
      EXPECT_EQ(child->Wait(), 0);
    }
  }
}

TEST(SocketDesktop, AReusedProcessIdDoesNotReviveADeadWindow) {
  // Two processes with the same id, one after the other: in a pid namespace of the test's own,
  // the next id handed out can be chosen.
  TempDir dir;
  int ready[2], hold[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(hold), 0);
  const pid_t outer = ::fork();
  if (outer == 0) {
    ::close(ready[0]);
    ::close(hold[1]);
    if (::unshare(CLONE_NEWPID) != 0) ::_exit(77);
    const pid_t init = ::fork();  // process 1 of the new namespace
    if (init != 0) {
      int status = 0;
      ::waitpid(init, &status, 0);
      ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 90);
    }
    const pid_t first = ::fork();
    if (first == 0) {
      auto d = OpenDesktop(dir.Desktop());
      d->MakeWindow("dead", [](Hwnd, MsgId, WParam, LParam) { return 1; });
      ::_exit(0);  // gone without tidying up: its files stay behind
    }
    ::waitpid(first, nullptr, 0);
    const int lastPid = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
    const std::string previous = std::to_string(first - 1);
    if (lastPid < 0 || ::write(lastPid, previous.data(), previous.size()) < 0) ::_exit(78);
    ::close(lastPid);
    const pid_t second = ::fork();
    if (second == 0) {
      if (::getpid() != first) ::_exit(79);
      auto d = OpenDesktop(dir.Desktop());
      d->MakeWindow("alive", [](Hwnd, MsgId, WParam, LParam) { return 1; });
      Write(ready[1], "r", 1);
      char c;
      while (::read(hold[0], &c, 1) > 0) {
      }
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(second, &status, 0);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 91);
  }
  ::close(ready[1]);
  ::close(hold[0]);
  char c = 0;
  const bool started = ::read(ready[0], &c, 1) == 1;
  std::vector<std::string> titles;
  if (started) titles = Titles(*OpenDesktop(dir.Desktop()));
  ::close(hold[1]);
  ::close(ready[0]);
  int status = 0;
  ::waitpid(outer, &status, 0);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 77 || code == 78) {
    // CI runs as root, where a refusal means the test could not do its work.
    if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") {
      FAIL() << "a pid namespace could not be made (status " << code << ")";
    }
    GTEST_SKIP() << "no pid namespace here (status " << code << ")";
  }
  ASSERT_TRUE(started) << "status " << code;
  EXPECT_EQ(code, 0);
  EXPECT_EQ(titles, std::vector<std::string>{"alive"});
}

TEST(SocketDesktop, AWindowDestroyedByABusyProcessAnswersZeroWithoutWaitingForIt) {
  TempDir dir;
  auto desktop = OpenDesktop(dir.Desktop());
  Child child([&](int down, int up) {
    auto d = OpenDesktop(dir.Desktop());
    const Hwnd w = d->MakeWindow("short-lived", [](Hwnd, MsgId, WParam, LParam) { return 7; });
    Write(up, &w, sizeof w);
    if (Serve(*d, down) != 'd') return 2;
    d->DestroyWindow(w);
    Write(up, "x", 1);
    // Busy: does not serve its desktop until told, or for 10 s at most.
    pollfd p{down, POLLIN, 0};
    ::poll(&p, 1, 10000);
    Write(up, "s", 1);
    Serve(*d, down);
    return 0;
  });
  const Hwnd w = child.ReadHandle();
  EXPECT_EQ(desktop->Send(w, 0xC100, 0, 0), 7);  // known, and its endpoint remembered
  child.Tell("d", 1);
  char c = 0;
  ASSERT_TRUE(child.Read(&c, 1));
  EXPECT_EQ(desktop->Send(w, 0xC100, 0, 0), 0);
  EXPECT_FALSE(child.HasOutput()) << "the send waited for the busy process";
  child.Tell("g", 1);
  ASSERT_TRUE(child.Read(&c, 1));
  EXPECT_EQ(c, 's');
  child.CloseInput();
  EXPECT_EQ(child.Wait(), 0);
}

// Connects a raw socket to this process's endpoint, as a hostile peer would.
int ConnectRaw(const std::string& desktopDir) {
  const std::string prefix = "e" + std::to_string(::getpid()) + "-";
  for (const auto& entry : fs::directory_iterator(desktopDir)) {
    const std::string name = entry.path().filename();
    if (name.rfind(prefix, 0) != 0 || !name.ends_with(".sock")) continue;
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, entry.path().c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    ::close(fd);
  }
  return -1;
}

TEST(SocketDesktop, BadFramesCloseOnlyTheirConnection) {
  TempDir dir;
  auto desktop = OpenDesktop(dir.Desktop());
  int handled = 0;
  const Hwnd own =
      desktop->MakeWindow("program", [&](Hwnd, MsgId msg, WParam, LParam l) -> LResult {
        if (msg == kWmCopyData) return static_cast<LResult>(BytesOf(l).size());
        return ++handled;
      });

  // A lying length: closed at once, without waiting for 4 GiB.
  const int liar = ConnectRaw(dir.Desktop());
  ASSERT_GE(liar, 0);
  const char head[8] = {1, 0, 0, 0, '\xff', '\xff', '\xff', '\xff'};
  ASSERT_EQ(::write(liar, head, sizeof head), 8);
  char c;
  ASSERT_TRUE(PumpUntil(*desktop, [&] {
    pollfd p{liar, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && ::read(liar, &c, 1) == 0;
  }));
  ::close(liar);

  // WM_COPYDATA whose lParam is a bare integer: the procedure would take it for the address of
  // the data. The connection is closed and the procedure never sees it.
  wire::Frame forged;
  forged.type = wire::FrameType::kSend;
  forged.window = own;
  forged.msg = kWmCopyData;
  forged.lParam = 0x41414141;
  const std::string forgedBytes = wire::Encode(forged);
  const int forger = ConnectRaw(dir.Desktop());
  ASSERT_EQ(::write(forger, forgedBytes.data(), forgedBytes.size()),
            static_cast<ssize_t>(forgedBytes.size()));
  ASSERT_TRUE(PumpUntil(*desktop, [&] {
    pollfd p{forger, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && ::read(forger, &c, 1) == 0;
  }));
  ::close(forger);

  // A frame cut off by a peer that goes away.
  wire::Frame frame;
  frame.type = wire::FrameType::kSend;
  frame.window = own;
  frame.msg = 0xC400;
  const std::string bytes = wire::Encode(frame);
  const int cut = ConnectRaw(dir.Desktop());
  ASSERT_EQ(::write(cut, bytes.data(), bytes.size() - 3), static_cast<ssize_t>(bytes.size() - 3));
  ::close(cut);
  for (int i = 0; i < 5; ++i) desktop->WaitAndProcess(20);
  EXPECT_EQ(handled, 0);

  // A well-formed request for a window that is not there is answered 0; one for ours is served.
  const int good = ConnectRaw(dir.Desktop());
  wire::Frame stray = frame;
  stray.window = 0x7FFFFFF0;
  stray.seq = 1;
  frame.seq = 2;
  const std::string two = wire::Encode(stray) + wire::Encode(frame);
  ASSERT_EQ(::write(good, two.data(), two.size()), static_cast<ssize_t>(two.size()));
  wire::FrameReader reader;
  std::vector<wire::Frame> replies;
  ASSERT_TRUE(PumpUntil(*desktop, [&] {
    char buf[256];
    pollfd p{good, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1) {
      ssize_t n = ::read(good, buf, sizeof buf);
      if (n > 0) reader.Append(std::string_view(buf, static_cast<std::size_t>(n)));
    }
    wire::Frame f;
    while (reader.Next(f) == wire::FrameReader::Status::kFrame) replies.push_back(f);
    return replies.size() == 2;
  }));
  EXPECT_EQ(replies[0].seq, 1u);
  EXPECT_EQ(replies[0].result, 0);
  EXPECT_EQ(replies[1].seq, 2u);
  EXPECT_EQ(replies[1].result, 1);
  ::close(good);
}

TEST(SocketDesktop, ForeignFilesInTheDirectoryAreIgnored) {
  TempDir dir;
  auto desktop = OpenDesktop(dir.Desktop());
  for (const char* name : {"w", "wxyz", "w10000", "notes.txt", "w7fffffff"}) {
    std::FILE* f = std::fopen((dir.Desktop() + "/" + name).c_str(), "w");
    std::fputs("junk without a line break", f);
    std::fclose(f);
  }
  const Hwnd own = desktop->MakeWindow("program", [](Hwnd, MsgId, WParam, LParam) { return 0; });
  std::vector<Hwnd> seen;
  EXPECT_TRUE(desktop->EnumWindows([&](Hwnd h) {
    seen.push_back(h);
    return true;
  }));
  EXPECT_EQ(seen, std::vector<Hwnd>{own});
  EXPECT_EQ(desktop->Send(0x7FFFFFFF, 0xC000, 0, 0), 0);
}

}  // namespace
}  // namespace platform
