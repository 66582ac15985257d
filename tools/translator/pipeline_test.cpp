#include "tools/translator/pipeline.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "testsupport/child_process.h"
#include "testsupport/run_program.h"
#include "testsupport/temp_dir.h"
#include "tools/translator/engine.h"
#include "tools/translator/stream_format.h"

// A pipe that is full when written refuses with EAGAIN. The pipeline's writes are made after
// poll said there is room, so a test cannot fill the pipe at that moment: the next write of a
// request starting with "again" is refused once instead, as a full pipe would refuse it.
namespace {
std::atomic<bool> refuseOnce{false};
// While set, a fork fails as on a system out of processes.
std::atomic<bool> forkFails{false};
// While set, a stage's own setpgid waits (up to 10 s) until the parent has moved it to another
// group, and then does nothing: the stages' group is the parent's doing alone, however the two
// processes are scheduled.
std::atomic<bool> stageSetpgidLate{false};
// Resolved before any fork: a forked child of a threaded process may not look symbols up.
const auto realSetpgid = reinterpret_cast<int (*)(pid_t, pid_t)>(::dlsym(RTLD_NEXT, "setpgid"));
const pid_t testGroup = ::getpgrp();
}  // namespace

extern "C" int setpgid(pid_t pid, pid_t group) {
  if (pid == 0 && stageSetpgidLate) {
    for (int i = 0; i < 10000 && ::getpgrp() == testGroup; ++i) ::usleep(1000);
    return 0;
  }
  return realSetpgid(pid, group);
}

extern "C" pid_t fork() {
  static const auto real = reinterpret_cast<pid_t (*)()>(::dlsym(RTLD_NEXT, "fork"));
  if (forkFails) {
    errno = EAGAIN;
    return -1;
  }
  return real();
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  static const auto real =
      reinterpret_cast<ssize_t (*)(int, const void*, size_t)>(::dlsym(RTLD_NEXT, "write"));
  if (size >= 5 && std::memcmp(data, "again", 5) == 0 && refuseOnce.exchange(false)) {
    errno = EAGAIN;
    return -1;
  }
  return real(fd, data, size);
}

namespace standin {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(ModeCommands, SplitsQuotesFillsPlaceholdersAndAsksForNullFlush) {
  EXPECT_THAT(ModeCommands("lt-proc '/usr/share/a b/x.bin' | apertium-tagger -g $2 \"/p/$2y\\\"\" |"
                           " lt-proc $1 -z g\\ h\n"),
              ElementsAre(ElementsAre("lt-proc", "-z", "/usr/share/a b/x.bin"),
                          ElementsAre("apertium-tagger", "-z", "-g", "/p/y\""),
                          ElementsAre("lt-proc", "-n", "-z", "g h")));
  // A quoted empty word is a word; inside double quotes a backslash escapes only $ ` " \ and
  // a newline; a backslash-newline continues the line, quoted or not.
  EXPECT_THAT(ModeCommands("a '' \"x\\y\" \"p\\$q\\\\\" \"r\\\ns\" t\\\nu \\\n"),
              ElementsAre(ElementsAre("a", "-z", "", "x\\y", "p$q\\", "rs", "tu")));
  EXPECT_THAT(ModeCommands("a | | b"), ElementsAre());
  EXPECT_THAT(ModeCommands(""), ElementsAre());
}

// A mode of stand-in stages: each passes NUL-ended records on, with "hola" made "hello"; a record
// saying "die" ends it, "hang" makes it sleep for a minute (as itself, so it keeps the death
// signal), "slow" delays it, "split" is answered in two NUL-ended pieces. The first stage logs
// each record it sees.
class FakeMode : public testsupport::TempDir {
 public:
  FakeMode() : testsupport::TempDir("pfake") {
    std::ofstream(*this / "stage") << R"(#!/bin/bash
[ "$1" = -z ] || exit 2
log=${2:-/dev/null}
while IFS= read -r -d '' record; do
  printf '%s\n' "$record" >> "$log"
  case "$record" in
    *die*) exit 3 ;;
    *hang*) exec sleep 60 ;;
    *slow*) sleep 0.3 ;;
    *split*) printf 'one\0two\0'; continue ;;
    *selfkill*) kill -TERM $$ ;;
    *flood*) while :; do printf 'x'; done ;;
    *whoami*)
      # Each stage adds: its process group, ignored and blocked signals (hex), how many LC_CTYPE
      # its environment holds, their value, PARLAVANT_MARK, and every LC_ALL in order.
      group=$(cut -d' ' -f5 /proc/$$/stat)
      ignored=$(sed -n 's/^SigIgn:\t//p' /proc/$$/status)
      blocked=$(sed -n 's/^SigBlk:\t//p' /proc/$$/status)
      ctypes=$(tr '\0' '\n' </proc/$$/environ | grep -c '^LC_CTYPE=')
      alls=$(tr '\0' '\n' </proc/$$/environ | sed -n 's/^LC_ALL=//p' | paste -sd, -)
      printf '%s|%s %s %s %s %s %s all=%s\0' "$record" "$group" "$ignored" "$blocked" "$ctypes" \
        "$LC_CTYPE" "${PARLAVANT_MARK-}" "$alls"
      continue ;;
  esac
  printf '%s\0' "${record//hola/hello}"
done
)";
    ::chmod((*this / "stage").c_str(), 0755);
    // A stage that passes its input through untouched, and one that is slow on purpose: "slow"
    // reads 4 KiB at a time with a pause between, "dribble" writes that way, and "split" writes
    // each record in two halves with a pause between.
    std::ofstream(*this / "cat") << "#!/bin/sh\nexec cat\n";
    ::chmod((*this / "cat").c_str(), 0755);
    std::ofstream(*this / "paced") << R"(#!/usr/bin/python3
import os, sys, time
how, pending = sys.argv[-1], b""
while True:
    chunk = os.read(0, 4096)
    if not chunk:
        break
    pending += chunk
    if how == "slow":
        time.sleep(0.05)
    while b"\0" in pending:
        record, _, pending = pending.partition(b"\0")
        if how == "split":
            os.write(1, record[: len(record) // 2])
            time.sleep(0.1)
            os.write(1, record[len(record) // 2 :] + b"\0")
        elif how == "dribble":
            for at in range(0, len(record), 4096):
                os.write(1, record[at : at + 4096])
                time.sleep(0.05)
            os.write(1, b"\0")
        else:
            os.write(1, record + b"\0")
)";
    ::chmod((*this / "paced").c_str(), 0755);
  }
  std::vector<Command> Stages(int n) const {
    std::string mode = *this / "stage" + " " + *this / "log";
    for (int i = 1; i < n; ++i) mode += " | " + *this / "stage";
    return ModeCommands(mode);
  }
  // The records the first stage saw, markers left out.
  std::vector<std::string> Seen() const {
    std::vector<std::string> seen;
    std::istringstream log(testsupport::FileText(*this / "log"));
    for (std::string line; std::getline(log, line);)
      if (line.find("[parlavant-") == std::string::npos) seen.push_back(line);
    return seen;
  }
};

std::string Ask(WarmPipeline& pipeline, const std::string& text) {
  std::string output, error;
  if (!pipeline.Run(text, output, error)) return "failed: " + error;
  return output;
}

// A group of 0 or 1 would be the test's own group or every process: a pipeline that was never
// started (or a fault that reports none) must fail the test, not end ctest and its callers.
bool GroupGone(pid_t group) {
  EXPECT_GT(group, 1);
  return group > 1 && ::kill(-group, 0) != 0 && errno == ESRCH;
}

void KillGroup(pid_t group) {
  ASSERT_GT(group, 1) << "no process group to kill";
  ASSERT_EQ(::kill(-group, SIGKILL), 0);
}

// Each request comes on a thread of its own that ends after it, as the HTTP server serves each
// connection: the stages outlive the thread that started them.
TEST(WarmPipeline, AnswersEachRequestFromTheSameProcesses) {
  FakeMode mode;
  WarmPipeline pipeline(mode.Stages(3), 5s);
  auto askAndEnd = [&](const std::string& text) {
    std::string answer;
    std::thread([&] { answer = Ask(pipeline, text); }).join();
    std::this_thread::sleep_for(50ms);  // a death signal at the thread's end would have come
    return answer;
  };
  EXPECT_EQ(pipeline.Starts(), 0);
  EXPECT_EQ(askAndEnd("hola amigo"), "hello amigo");
  const pid_t group = pipeline.ProcessGroup();
  EXPECT_EQ(askAndEnd("adios"), "adios");
  EXPECT_EQ(askAndEnd(""), "");
  EXPECT_EQ(pipeline.Starts(), 1);
  EXPECT_EQ(pipeline.ProcessGroup(), group);
}

// A descriptor the translator holds without close-on-exec (as the HTTP library's sockets are)
// is not held by the stages: closing the translator's copy ends it.
TEST(WarmPipeline, StagesHoldNoneOfTheTranslatorsDescriptors) {
  FakeMode mode;
  int held[2];
  ASSERT_EQ(::pipe(held), 0);
  WarmPipeline pipeline(mode.Stages(2), 5s);
  EXPECT_EQ(Ask(pipeline, "hola"), "hello");
  ::close(held[1]);
  pollfd end{held[0], POLLIN, 0};
  ASSERT_EQ(::poll(&end, 1, 2000), 1);
  char byte;
  EXPECT_EQ(::read(held[0], &byte, 1), 0) << "a stage still holds the write end";
  ::close(held[0]);
}

// An answer is whatever comes before the request's own marker, however many NULs the stages
// pass on the way: taking the first NUL for the end would leave the rest for the next request.
TEST(WarmPipeline, AFullInputPipeIsWaitedForNotAFailure) {
  FakeMode mode;
  WarmPipeline pipeline(mode.Stages(1), 5s);
  refuseOnce = true;
  EXPECT_EQ(Ask(pipeline, "again hola"), "again hello");
  EXPECT_FALSE(refuseOnce) << "the write was never refused";
  EXPECT_EQ(pipeline.Starts(), 1);
}

TEST(WarmPipeline, TheMarkerNotANulEndsAnAnswer) {
  FakeMode mode;
  WarmPipeline pipeline(mode.Stages(1), 5s);
  EXPECT_EQ(Ask(pipeline, "split"), "onetwo");
  EXPECT_EQ(Ask(pipeline, "hola"), "hello");
}

TEST(WarmPipeline, APipelineThatDiesFailsItsRequestAndIsStartedAgain) {
  FakeMode mode;
  WarmPipeline pipeline(mode.Stages(2), 5s);
  EXPECT_EQ(Ask(pipeline, "hola"), "hello");
  const pid_t first = pipeline.ProcessGroup();
  EXPECT_EQ(Ask(pipeline, "please die"), "failed: the pipeline ended (exit status 3)");
  EXPECT_TRUE(GroupGone(first));
  EXPECT_EQ(Ask(pipeline, "hola otra vez"), "hello otra vez");
  EXPECT_EQ(pipeline.Starts(), 2);

  // Killed while idle: the next request finds it gone and starts it before asking.
  const pid_t second = pipeline.ProcessGroup();
  ASSERT_NO_FATAL_FAILURE(KillGroup(second));
  ASSERT_TRUE(testsupport::WaitUntilProcessEnded(second, 5000));
  EXPECT_EQ(Ask(pipeline, "hola"), "hello");
  EXPECT_EQ(Ask(pipeline, "selfkill"), "failed: the pipeline ended (signal Terminated)");
  EXPECT_EQ(pipeline.Starts(), 3);

  // A later stage fails while the one before it writes: the failure is named, not the broken
  // pipe that then ends the first.
  std::ofstream(mode / "failing") << "#!/bin/sh\nhead -c 1 >/dev/null\nexit 4\n";
  ::chmod((mode / "failing").c_str(), 0755);
  WarmPipeline failing(ModeCommands(mode / "stage" + " | " + mode / "failing"), 5s);
  EXPECT_EQ(Ask(failing, "flood"), "failed: the pipeline ended (exit status 4)");
}

// The last stage dies while the first waits for more input: the end of the pipeline waits for
// none of its stages for ever.
TEST(WarmPipeline, ALastStageThatDiesEndsThePipelineWhileTheFirstWaitsForInput) {
  FakeMode mode;
  std::ofstream(mode / "dies") << "#!/bin/sh\nhead -c 1 >/dev/null\nkill -SEGV $$\n";
  ::chmod((mode / "dies").c_str(), 0755);
  auto pipeline =
      std::make_shared<WarmPipeline>(ModeCommands(mode / "stage" + " | " + mode / "dies"), 5s);
  auto answer = std::make_shared<std::promise<std::string>>();
  std::future<std::string> said = answer->get_future();
  // On a thread of its own: a wait that never ends must fail the test, not hang it.
  std::thread([pipeline, answer] { answer->set_value(Ask(*pipeline, "hola")); }).detach();
  ASSERT_EQ(said.wait_for(60s), std::future_status::ready)
      << "the pipeline's end waited for a stage that waits for input";
  EXPECT_THAT(said.get(), HasSubstr("failed: the pipeline ended (signal "));
}

// A pipeline that cannot be started is said as such, and started once processes can be made.
TEST(WarmPipeline, AFailedForkFailsTheRequestAndTheNextOneStartsIt) {
  FakeMode mode;
  WarmPipeline pipeline(mode.Stages(2), 5s);
  forkFails = true;
  const std::string failed = Ask(pipeline, "hola");
  forkFails = false;
  EXPECT_EQ(failed, "failed: cannot start a process: Resource temporarily unavailable");
  EXPECT_EQ(pipeline.ProcessGroup(), 0);
  EXPECT_EQ(Ask(pipeline, "hola"), "hello");
}

TEST(WarmPipeline, AHangIsBoundedAndTheHungProcessesKilled) {
  FakeMode mode;
  // A second: a busy machine may keep a healthy answer waiting for a good part of one.
  WarmPipeline pipeline(mode.Stages(2), 1s);
  EXPECT_EQ(Ask(pipeline, "hola"), "hello");
  const pid_t group = pipeline.ProcessGroup();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(Ask(pipeline, "now hang"), HasSubstr("no answer from the pipeline within 1000 ms"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_TRUE(GroupGone(group));
  EXPECT_EQ(Ask(pipeline, "hola"), "hello");
}

// Many wait while the first is served, so that any order but theirs would show.
TEST(WarmPipeline, RequestsAreServedInTheOrderTheyCame) {
  FakeMode mode;
  WarmPipeline pipeline(mode.Stages(2), 5s);
  // Started here, so that the processes do not follow a test thread that ends.
  EXPECT_EQ(Ask(pipeline, "first"), "first");
  constexpr int kWaiting = 16;
  std::vector<std::string> answers(kWaiting + 1), expected = {"slow 0"};
  std::vector<std::string> seen = {"first", "slow 0"};
  std::vector<std::thread> threads;
  threads.emplace_back([&] { answers[0] = Ask(pipeline, "slow 0"); });
  for (int i = 1; i <= kWaiting; ++i) {
    // Each request joins the queue only once the one before has.
    while (pipeline.Arrived() < static_cast<std::uint64_t>(1 + i)) std::this_thread::yield();
    threads.emplace_back([&, i] { answers[i] = Ask(pipeline, "hola " + std::to_string(i)); });
    expected.push_back("hello " + std::to_string(i));
    seen.push_back("hola " + std::to_string(i));
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(answers, expected);
  EXPECT_EQ(mode.Seen(), seen);
  EXPECT_EQ(pipeline.Starts(), 1);
}

// A translator killed outright leaves none of its pipeline behind, even a stage that does not
// read its input.
TEST(WarmPipeline, StagesDieWithTheTranslator) {
  FakeMode mode;
  // The stages are the test's grandchildren: as their subreaper the test sees them end.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t translator = ::fork();
  ASSERT_GE(translator, 0);
  if (translator == 0) {
    WarmPipeline pipeline(mode.Stages(3), 60s);
    std::string output, error;
    pipeline.Run("hola", output, error);
    const pid_t group = pipeline.ProcessGroup();
    if (::write(report[1], &group, sizeof group) != sizeof group) ::_exit(1);
    // The last stage sleeps, the first two wait for input.
    pipeline.Run("hang", output, error);
    ::_exit(0);
  }
  ::close(report[1]);
  pid_t group = 0;
  ASSERT_EQ(::read(report[0], &group, sizeof group), static_cast<ssize_t>(sizeof group));
  ::close(report[0]);
  ASSERT_GT(group, 0);
  // Until the third stage has taken the record and gone to sleep.
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (mode.Seen().size() < 2 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(10ms);
  ::kill(translator, SIGKILL);
  // Everything the translator started ends and is reaped here, within a bound.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  int reaped = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t pid = ::waitpid(-1, nullptr, WNOHANG);
    if (pid < 0 && errno == ECHILD) break;
    if (pid > 0) ++reaped;
    if (pid == 0) std::this_thread::sleep_for(10ms);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(reaped, 4) << "the translator and its three stages";
  EXPECT_TRUE(GroupGone(group));
}

// The stages run as a shell would run them, whatever the thread that starts them has: in one
// process group (which is what is killed), with SIGPIPE at its default and SIGTERM not blocked,
// with the translator's environment and a UTF-8 character type in place of its own.
TEST(WarmPipeline, StagesRunInOneGroupWithDefaultSignalsAndAUtf8CharacterType) {
  FakeMode mode;
  const char* ctype = std::getenv("LC_CTYPE");
  const std::string savedCtype = ctype != nullptr ? ctype : "";
  ::setenv("LC_CTYPE", "POSIX", 1);
  ::setenv("PARLAVANT_MARK", "kept", 1);
  // A locale this system lacks (brought over ssh, say): the stages get C.UTF-8 in its place.
  const char* all = std::getenv("LC_ALL");
  const std::string savedAll = all != nullptr ? all : "";
  ::setenv("LC_ALL", "xx_YY.UTF-8", 1);
  // In a translator of its own, whose first pipeline starts from a thread with SIGTERM blocked:
  // the thread that starts every later stage is made then, and keeps that thread's mask.
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t translator = ::fork();
  ASSERT_GE(translator, 0);
  if (translator == 0) {
    std::string said;
    {
      WarmPipeline pipeline(mode.Stages(3), 5s);  // ended, with its stages, before the exit
      std::thread([&] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        said = Ask(pipeline, "whoami");
        said = std::to_string(pipeline.ProcessGroup()) + "\n" + said;
      }).join();
    }
    ::_exit(::write(report[1], said.data(), said.size()) == static_cast<ssize_t>(said.size())
                ? 0
                : 1);
  }
  ::close(report[1]);
  std::string said;
  char chunk[4096];
  for (ssize_t n; (n = ::read(report[0], chunk, sizeof chunk)) > 0;) said.append(chunk, n);
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(translator, &status, 0), translator);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const pid_t group = static_cast<pid_t>(std::atol(said.c_str()));
  const std::string answer = said.substr(std::min(said.size(), said.find('\n') + 1));
  ctype != nullptr ? ::setenv("LC_CTYPE", savedCtype.c_str(), 1) : ::unsetenv("LC_CTYPE");
  all != nullptr ? ::setenv("LC_ALL", savedAll.c_str(), 1) : ::unsetenv("LC_ALL");
  ::unsetenv("PARLAVANT_MARK");
  std::vector<std::string> stages;
  std::istringstream parts(answer);
  for (std::string part; std::getline(parts, part, '|');) stages.push_back(part);
  ASSERT_EQ(stages.size(), 4u) << answer;
  EXPECT_GT(group, 1);
  for (std::size_t i = 1; i < stages.size(); ++i) {
    std::istringstream fields(stages[i]);
    pid_t stageGroup = 0;
    std::string ignored, blocked, ctypes, value, mark, alls;
    fields >> stageGroup >> ignored >> blocked >> ctypes >> value >> mark >> alls;
    EXPECT_EQ(stageGroup, group) << stages[i];
    EXPECT_EQ(std::stoull(ignored, nullptr, 16) & (1u << (SIGPIPE - 1)), 0u) << stages[i];
    EXPECT_EQ(std::stoull(blocked, nullptr, 16) & (1u << (SIGTERM - 1)), 0u) << stages[i];
    EXPECT_EQ(ctypes + " " + value + " " + mark + " " + alls, "1 C.UTF-8 kept all=C.UTF-8")
        << stages[i];
  }
}

// Each stage also joins the group by the parent's hand: the next stage may be started before the
// one before it has run at all.
TEST(WarmPipeline, TheParentPutsEveryStageInTheFirstStagesGroup) {
  FakeMode mode;
  WarmPipeline pipeline(mode.Stages(3), 5s);
  stageSetpgidLate = true;
  const std::string answer = Ask(pipeline, "whoami");
  stageSetpgidLate = false;
  std::istringstream parts(answer);
  std::string part;
  std::getline(parts, part, '|');
  int stages = 0;
  for (; std::getline(parts, part, '|'); ++stages) {
    EXPECT_EQ(std::stol(part), pipeline.ProcessGroup()) << answer;
  }
  EXPECT_EQ(stages, 3) << answer;
  EXPECT_NE(pipeline.ProcessGroup(), ::getpgrp());
}

// A request far larger than a pipe holds goes in while the answer comes out: the translator
// never waits in a write while the stages wait for it to read.
TEST(WarmPipeline, ARequestLargerThanThePipesGoesInWhileTheAnswerComesOut) {
  FakeMode mode;
  WarmPipeline pipeline(ModeCommands(mode / "cat" + " | " + mode / "cat"), 5s);
  std::string text;
  while (text.size() < (4u << 20)) text += "una frase larga, " + std::to_string(text.size());
  std::string output, error;
  ASSERT_TRUE(pipeline.Run(text, output, error)) << error;
  EXPECT_EQ(output.size(), text.size());
  EXPECT_TRUE(output == text);
}

// The hang bound is a bound on silence: a stage that takes its input or gives its answer slowly
// but steadily is waited for, and an answer whose end marker comes in two pieces is found.
TEST(WarmPipeline, SteadyProgressIsNoHangAndAMarkerInTwoPiecesIsFound) {
  FakeMode mode;
  // Progress every 0.05 s for 3.2 s in all, past the bound of 2 s; what is left in the pipe once
  // the last byte is in (64 KiB) takes 0.8 s to go.
  WarmPipeline slow(ModeCommands(mode / "paced" + " slow"), 2s);
  const std::string text(256 * 1024, 'a');
  std::string output, error;
  ASSERT_TRUE(slow.Run(text, output, error)) << error;
  EXPECT_EQ(output.size(), text.size());
  WarmPipeline dribbling(ModeCommands(mode / "paced" + " dribble"), 2s);
  ASSERT_TRUE(dribbling.Run(text, output, error)) << error;
  EXPECT_EQ(output.size(), text.size());

  WarmPipeline split(ModeCommands(mode / "paced" + " split"), 2s);
  ASSERT_TRUE(split.Run("hola", output, error)) << error;
  EXPECT_EQ(output, "hola");
  ASSERT_TRUE(split.Run("otra", output, error)) << error;
  EXPECT_EQ(output, "otra");
}

// Programs are looked for as the shell looks for them: an empty entry in PATH is the current
// directory.
// A file of the name that is not a program is passed over, as a shell passes it over.
TEST(WarmPipeline, AnEmptyPathEntryIsTheCurrentDirectory) {
  FakeMode mode;
  const std::string savedPath = std::getenv("PATH");
  const std::string plain = mode / "plain";
  ::mkdir(plain.c_str(), 0700);
  std::ofstream(plain + "/stage") << "not a program\n";
  ::chmod((plain + "/stage").c_str(), 0644);
  std::string answer;
  {
    testsupport::CurrentDirectory here(mode.Path());
    ::setenv("PATH", (plain + ":/nonexistent::" + savedPath).c_str(), 1);
    WarmPipeline pipeline(ModeCommands("stage"), 5s);
    answer = Ask(pipeline, "hola");
    ::setenv("PATH", savedPath.c_str(), 1);
  }
  EXPECT_EQ(answer, "hello");
}

TEST(PipelinePool, OnePipelinePerModeStartedOnFirstUse) {
  FakeMode mode;
  int made = 0;
  PipelinePool pool(
      [&](const std::string& name) {
        ++made;
        return name == "none" ? std::vector<Command>{} : mode.Stages(1);
      },
      5s);
  std::string output, error;
  EXPECT_EQ(made, 0);
  ASSERT_TRUE(pool.Run("a", "hola", output, error)) << error;
  EXPECT_EQ(output, "hello");
  ASSERT_TRUE(pool.Run("b", "hola", output, error)) << error;
  ASSERT_TRUE(pool.Run("a", "hola", output, error)) << error;
  EXPECT_EQ(made, 2);
  EXPECT_FALSE(pool.Run("none", "hola", output, error));
  EXPECT_EQ(error, "the mode names no programs");
}

TEST(PipelinePool, AStalledPipelineHoldsOnlyItsOwnRequest) {
  FakeMode mode;
  PipelinePool pool([&](const std::string&) { return mode.Stages(2); }, 4s, 2);
  std::atomic<bool> hungEnded{false};
  std::thread hung([&] {
    std::string output, error;
    EXPECT_FALSE(pool.Run("a", "hang", output, error));
    hungEnded = true;
  });
  for (int i = 0; i < 500 && pool.Starts()["a"] < 1; ++i) std::this_thread::sleep_for(10ms);
  // The others go through the second pipeline, without waiting for the first to be given up.
  for (int i = 0; i < 5; ++i) {
    std::string output, error;
    ASSERT_TRUE(pool.Run("a", "hola", output, error)) << error;
    EXPECT_EQ(output, "hello");
  }
  EXPECT_FALSE(hungEnded);
  hung.join();
  // The stalled one was killed; being the first free, it is started afresh for the next.
  std::string output, error;
  EXPECT_TRUE(pool.Run("a", "hola", output, error)) << error;
  EXPECT_EQ(pool.Starts()["a"], 3);
}

// The warm pipelines answer what the `apertium` command answers, one fresh pipeline per text.
TEST(ApertiumPipelines, AnswerAsTheApertiumCommandDoes) {
  const std::string modes = "/usr/share/apertium/modes";
  ASSERT_TRUE(std::ifstream(modes + "/spa-eng.mode")) << "the project installs Apertium's pairs";
  std::ifstream file(modes + "/spa-eng.mode");
  std::stringstream text;
  text << file.rdbuf();
  WarmPipeline pipeline(ModeCommands(text.str()), 30s);
  std::string long_text;
  while (long_text.size() < 64 * 1024)
    long_text += "El perro de mi vecino ladra todas las noches. ¿Por qué no duerme?\n";
  for (const std::string sample :
       {"Hola, ¿cómo estás?", "Buenos días.\n\nHace sol [hoy] y 1/2 ^de$ {la} @gente <dice>.",
        "  uno\tdos\r\ntres  ", "", "sin punto final", long_text.c_str()}) {
    bool ok = false;
    const std::string cold = testsupport::RunProgram({"apertium", "-u", "spa-eng"}, sample, ok);
    ASSERT_TRUE(ok);
    std::string output, error;
    ASSERT_TRUE(pipeline.Run(ToStream(sample), output, error)) << error;
    std::string warm = FromStream(output);
    // The command ends with a line break of its own.
    EXPECT_EQ(warm + (cold.ends_with('\n') && !warm.ends_with('\n') ? "\n" : ""), cold)
        << sample.substr(0, 80);
  }
  EXPECT_EQ(pipeline.Starts(), 1);
}

TEST(ApertiumPipelines, TranslateWhenTheUsersLocaleIsNotOnThisSystem) {
  // Apertium's stages would end at their start with a locale they cannot make.
  const char* oldLang = std::getenv("LANG");
  const std::string saved = oldLang != nullptr ? oldLang : "";
  ::setenv("LANG", "xx_YY.UTF-8", 1);
  std::ifstream file("/usr/share/apertium/modes/spa-eng.mode");
  std::stringstream text;
  text << file.rdbuf();
  WarmPipeline pipeline(ModeCommands(text.str()), 30s);
  std::string output, error;
  const bool ok = pipeline.Run(ToStream("Hola"), output, error);
  if (oldLang != nullptr) {
    ::setenv("LANG", saved.c_str(), 1);
  } else {
    ::unsetenv("LANG");
  }
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(FromStream(output), "Hello");
}

TEST(ApertiumEngine, AFailingPipelineFailsTheRequestAndTheNextOneIsAnswered) {
  FakeMode mode;
  testsupport::TempDir modes("pmodes");
  std::ofstream(modes / "spa-ita.mode") << mode / "stage"
                                        << " | " << mode / "stage";
  // A hang is given up after a second; a healthy answer, busy machine or not, comes well before.
  auto engine = MakeApertiumEngine(modes.Path(), "es", 1s);
  const std::string spanish = "Buenos días, ¿cómo estás hoy, amigo mío? Yo estoy muy bien.";
  EXPECT_EQ(engine->Translate("hola " + spanish, "it"), "hello " + spanish);
  EXPECT_THROW(engine->Translate(spanish + " hang", "it"), TranslationFailed);
  EXPECT_EQ(engine->Translate("hola " + spanish, "it"), "hello " + spanish);
}

}  // namespace
}  // namespace standin
