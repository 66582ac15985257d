// Parlavant's start-up: from starting the program (offscreen) until it has attached to the chat
// client and asks for the contact list ("SEARCH FRIENDS" reaches the stand-in client, which runs
// in this process on the same desktop); against the floor measured in the same run: starting a
// bare Qt Widgets program until its empty window is up and its event loop runs, and the same
// with a label and a text box in the window's faces (what the toolkit's fonts cost).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "bench/ratio_reporter.h"
#include "testsupport/temp_dir.h"
#include "tools/chatclient/stand_in_client.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Place {
  testsupport::TempDir temp{"pbstart"};
  const std::string dir = temp.Path();
  Place() {
    // Both programs get the same surroundings: no display, a desktop and settings of their own.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("PARLAVANT_DESKTOP", (dir + "/d").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    std::filesystem::create_directory(dir + "/run");
    std::filesystem::permissions(dir + "/run", std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
  }
};

Place& ThePlace() {
  static Place place;
  return place;
}

// Starts a program with its standard output on a pipe; returns its id, or -1.
pid_t Start(const char* path, int& outFd) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char* argv[] = {const_cast<char*>(path), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, path, &actions, nullptr, argv, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  outFd = out[0];
  return pid;
}

void End(pid_t pid) {
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

void BareWindow(benchmark::State& state, const char* program) {
  ThePlace();
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    int out = -1;
    const pid_t pid = Start(program, out);
    char byte = 0;
    pollfd p{out, POLLIN, 0};
    const bool up = pid > 0 && ::poll(&p, 1, 30000) == 1 && ::read(out, &byte, 1) == 1;
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    ::close(out);
    if (pid > 0) End(pid);
    if (!up) {
      state.SkipWithError("the bare Qt program did not come up");
      break;
    }
  }
}

void BM_BareQtWindow(benchmark::State& state) {
  BareWindow(state, QT_FLOOR_PATH);
}

// With Qt Network loaded and a cookie jar made, as Parlavant's start-up had them.
void BM_BareQtWindowWithNetwork(benchmark::State& state) {
  BareWindow(state, QT_FLOOR_NETWORK_PATH);
}

// With a label and a text box in the window's faces: the toolkit's fonts.
void BM_TextQtWindow(benchmark::State& state) {
  BareWindow(state, QT_FLOOR_TEXT_PATH);
}

void StartupToAttached(benchmark::State& state, const char* program) {
  Place& place = ThePlace();
  auto desktop = platform::OpenDesktop(place.dir + "/d");
  bool asked = false;
  standin::StandInClient client(*desktop, {}, [&](standin::Direction d, std::string_view line) {
    if (d == standin::Direction::kIn && line.starts_with("SEARCH FRIENDS")) asked = true;
  });
  for (auto _ : state) {
    asked = false;
    const Clock::time_point start = Clock::now();
    int out = -1;
    const pid_t pid = Start(program, out);
    while (pid > 0 && !asked && Clock::now() - start < std::chrono::seconds(30)) {
      desktop->WaitAndProcess(10);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    ::close(out);
    if (pid > 0) End(pid);
    if (!asked) {
      state.SkipWithError("Parlavant did not attach");
      break;
    }
  }
}

void BM_StartupToAttached(benchmark::State& state) {
  StartupToAttached(state, PARLAVANT_PATH);
}

// The same program with Qt Network loaded and a cookie jar made, as it started before.
void BM_StartupToAttachedWithNetwork(benchmark::State& state) {
  StartupToAttached(state, PARLAVANT_WITH_NETWORK_PATH);
}

BENCHMARK(BM_BareQtWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_BareQtWindowWithNetwork)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK(BM_TextQtWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_StartupToAttached)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_StartupToAttachedWithNetwork)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
  benchsupport::RunBenchmarks(argc, argv, [](const benchsupport::Figures& f) {
    const double bare = f.at("BM_BareQtWindow"), ours = f.at("BM_StartupToAttached");
    std::printf("\nbare Qt window up            %8.1f ms\n", bare / 1e6);
    std::printf("Parlavant start-up to attached %6.1f ms  ratio %.2f\n", ours / 1e6, ours / bare);
    const double before = f.at("BM_StartupToAttachedWithNetwork");
    std::printf("the same with Qt Network, as before %5.1f ms: %.1f ms more\n", before / 1e6,
                (before - ours) / 1e6);
    const double network = f.at("BM_BareQtWindowWithNetwork");
    std::printf(
        "with Qt Network and a cookie jar %4.1f ms: %.1f ms more, no longer in Parlavant's\n",
        network / 1e6, (network - bare) / 1e6);
    const double text = f.at("BM_TextQtWindow");
    std::printf(
        "a Qt window with a label and a text box in the window's faces %5.1f ms: the "
        "toolkit's fonts %.1f ms\n",
        text / 1e6, (text - bare) / 1e6);
    benchsupport::ReportRow("start-up to attached", ours / 1e6, "a bare Qt window up", bare / 1e6,
                            "ms");
    benchsupport::ReportRow("start-up to attached", ours / 1e6,
                            "a Qt window with a label and a text box in the same faces up",
                            text / 1e6, "ms");
  });
  return 0;
}
