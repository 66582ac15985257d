// The history's costs, each against its baseline measured in the same run:
// - start-up of the real program (offscreen) with 50 contacts of 10,000 lines each in the
//   history, against start-up with an empty history: from starting the program until it asks
//   for the first message the chat client announces after attaching, which it handles after
//   the user's history is back on its pages;
// - keeping a line through the store, against a bare insert-and-commit of the same row on a
//   connection of its own, in the same mode (WAL, synchronous=FULL), on the same disk.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/history_store.h"
#include "bench/ratio_reporter.h"
#include "platform/desktop.h"
#include "tests/echo_translator.h"
#include "testsupport/http_test_server.h"
#include "testsupport/temp_dir.h"
#include "tools/chatclient/stand_in_client.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kContacts = 50, kLinesEach = 10000;

std::string Contact(int i) {
  return "contact" + std::to_string(100 + i) + "@example.org";
}

// Two homes for the program: one with the full history, one with an empty one.
struct Homes {
  testsupport::TempDir temp{"pbhistory"};
  const std::string dir = temp.Path();
  testsupport::HttpTestServer translator{testsupport::EchoTranslation};
  Homes() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("PARLAVANT_DESKTOP", (dir + "/d").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    std::filesystem::create_directory(dir + "/run");
    std::filesystem::permissions(dir + "/run", std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    // The message is translated, so that no error box waits for the user.
    std::filesystem::create_directories(dir + "/config/parlavant");
    std::ofstream(dir + "/config/parlavant/parlavant.ini")
        << "[General]\r\nReceive=1\r\nSend=2\r\nWebService=127.0.0.1:" << translator.Port()
        << "\r\n";
    app::SqliteHistory(dir + "/empty/parlavant/history.sqlite3").Open("alice");
    const std::string full = dir + "/full/parlavant/history.sqlite3";
    {
      app::SqliteHistory store(full);
      store.Open("alice");
      store.KeepPage(Contact(0));  // the schema
    }
    sqlite3* db = nullptr;
    sqlite3_open(full.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* page = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO pages(user, contact, made) VALUES(?, ?, ?)", -1,
                       &page, nullptr);
    sqlite3_stmt* line = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO lines(user, contact, time, kind, text) VALUES(?, ?, ?, ?, ?)",
                       -1, &line, nullptr);
    const std::string user = "alice";
    for (int c = 0; c < kContacts; ++c) {
      const std::string contact = Contact(c);
      sqlite3_bind_blob(page, 1, user.data(), static_cast<int>(user.size()), SQLITE_STATIC);
      sqlite3_bind_blob(page, 2, contact.data(), static_cast<int>(contact.size()), SQLITE_STATIC);
      sqlite3_bind_int(page, 3, c + 1);
      sqlite3_step(page);
      sqlite3_reset(page);
      for (int i = 0; i < kLinesEach; ++i) {
        const std::string text = contact + ": [1] a line of an ordinary chat, number " +
                                 std::to_string(i) + "(una línea)";
        sqlite3_bind_blob(line, 1, user.data(), static_cast<int>(user.size()), SQLITE_STATIC);
        sqlite3_bind_blob(line, 2, contact.data(), static_cast<int>(contact.size()), SQLITE_STATIC);
        sqlite3_bind_int64(line, 3, 1700000000 + i);
        sqlite3_bind_int(line, 4, 1 + i % 4);
        sqlite3_bind_text(line, 5, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        sqlite3_step(line);
        sqlite3_reset(line);
      }
    }
    sqlite3_finalize(page);
    sqlite3_finalize(line);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
};

Homes& TheHomes() {
  static Homes homes;
  return homes;
}

void Startup(benchmark::State& state, const std::string& dataHome) {
  Homes& homes = TheHomes();
  ::setenv("XDG_DATA_HOME", (homes.dir + "/" + dataHome).c_str(), 1);
  auto desktop = platform::OpenDesktop(homes.dir + "/d");
  bool searched = false, asked = false;
  standin::StandInClient client(*desktop, {}, [&](standin::Direction d, std::string_view line) {
    if (d != standin::Direction::kIn) return;
    if (line.starts_with("SEARCH FRIENDS")) searched = true;
    if (line.starts_with("GET CHATMESSAGE")) asked = true;
  });
  for (auto _ : state) {
    searched = asked = false;
    const Clock::time_point start = Clock::now();
    char* argv[] = {const_cast<char*>(PARLAVANT_PATH), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, PARLAVANT_PATH, nullptr, nullptr, argv, environ) != 0) pid = -1;
    bool told = false;
    while (pid > 0 && !asked && Clock::now() - start < std::chrono::seconds(60)) {
      desktop->WaitAndProcess(5);
      // Attached and searching: a message follows the history, which comes back first. Told
      // from here, not from inside the program's request, which waits for its answer.
      if (searched && !told) {
        told = true;
        client.Receive(Contact(0), "hola");
      }
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      const Clock::time_point ended = Clock::now();
      int status = 0;
      while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() - ended > std::chrono::seconds(10)) ::kill(pid, SIGKILL);
        desktop->WaitAndProcess(5);
      }
    }
    if (!asked) {
      state.SkipWithError("the program did not ask for the message");
      break;
    }
  }
}

void BM_StartupEmptyHistory(benchmark::State& state) {
  Startup(state, "empty");
}

void BM_StartupFullHistory(benchmark::State& state) {
  Startup(state, "full");
}

// On the disk the history lives on, not in memory: the sync is the cost of a line.
std::string DiskDirectory() {
  static const std::string dir = [] {
    const char* home = std::getenv("HOME");
    const std::string d = std::string(home != nullptr ? home : ".") + "/.cache/parlavant-bench";
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

const std::u16string kLine = u"alice: hola, ¿qué tal? ([5] hola, ¿qué tal?)";

void BM_KeepLine(benchmark::State& state) {
  const std::string path = DiskDirectory() + "/keep.sqlite3";
  std::filesystem::remove(path);
  app::SqliteHistory store(path);
  store.Open("alice");
  store.KeepPage("bob@example.org");
  for (auto _ : state) store.Keep("bob@example.org", {app::LineKind::kSent, kLine}, 1700000000);
  if (!store.TakeProblem().empty() || store.Waiting() != 0) state.SkipWithError("not kept");
}

void BM_BareInsertAndCommit(benchmark::State& state) {
  const std::string path = DiskDirectory() + "/bare.sqlite3";
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;"
               "CREATE TABLE lines(id INTEGER PRIMARY KEY AUTOINCREMENT, user BLOB NOT NULL,"
               " contact BLOB NOT NULL, time INTEGER NOT NULL, kind INTEGER NOT NULL,"
               " text TEXT NOT NULL);"
               "CREATE INDEX lines_by_page ON lines(user, contact, id);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO lines(user, contact, time, kind, text) VALUES(?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  const std::string user = "alice", contact = "bob@example.org";
  const std::u16string& text = kLine;
  for (auto _ : state) {
    sqlite3_bind_blob(insert, 1, user.data(), static_cast<int>(user.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, contact.data(), static_cast<int>(contact.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 3, 1700000000);
    sqlite3_bind_int(insert, 4, 3);
    sqlite3_bind_text16(insert, 5, text.data(), static_cast<int>(text.size() * 2), SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("not inserted");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

BENCHMARK(BM_StartupEmptyHistory)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_StartupFullHistory)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_KeepLine)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_BareInsertAndCommit)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchsupport::RunBenchmarks(argc, argv, [](const benchsupport::Figures& f) {
    if (f.count("BM_StartupFullHistory") && f.count("BM_StartupEmptyHistory")) {
      benchsupport::ReportRow("start-up, 50 contacts x 10,000 lines",
                              f.at("BM_StartupFullHistory") / 1e6, "start-up, empty history",
                              f.at("BM_StartupEmptyHistory") / 1e6, "ms");
    }
    if (f.count("BM_KeepLine") && f.count("BM_BareInsertAndCommit")) {
      benchsupport::ReportRow("keeping a line", f.at("BM_KeepLine") / 1e3,
                              "a bare insert-and-commit of the row", f.at("BM_BareInsertAndCommit") / 1e3,
                              "us");
    }
  });
}
