// The history on a real SQLite file: what comes back, the file's rights, an older schema brought
// up to date, and every fault it meets (a newer schema, damage, another desktop's lock, a
// read-only file, a full disk), each said once while the lines wait in memory.
#include "app/history_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <functional>

#include "testsupport/temp_dir.h"

namespace app {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The last digit of `i`, as text.
std::u16string Digit(int i) {
  return std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
}

ConversationLine Line(LineKind kind, const std::u16string& text) {
  return {kind, text};
}

std::vector<std::u16string> Texts(const std::vector<KeptLine>& lines) {
  std::vector<std::u16string> texts;
  for (const KeptLine& l : lines) texts.push_back(l.line.text);
  return texts;
}

// A second connection to the file, as another program has it.
class Other {
 public:
  explicit Other(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
  ~Other() { sqlite3_close(db_); }
  int Exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }
  std::int64_t Number(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr);
    const std::int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    return n;
  }

 private:
  sqlite3* db_ = nullptr;
};

class HistoryStoreTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.Path() + "/parlavant/history.sqlite3"; }
  testsupport::TempDir dir_{"phistory"};
};

TEST_F(HistoryStoreTest, KeepsPagesLinesAndMarksPerUserAndGivesThemBackInPages) {
  {
    SqliteHistory h(Path());
    h.Open("alice");
    h.KeepPage("bob");
    const std::string odd = "zo\xEB";  // a handle's bytes, not UTF-8
    h.Keep(odd, Line(LineKind::kReceived, u"zo\u00EB: hola (hello)"), 100);
    for (int i = 0; i < 450; ++i) {
      h.Keep("bob", Line(i % 2 ? LineKind::kSent : LineKind::kNotDelivered,
                         u"line " + std::u16string(1, char16_t(u'0' + i % 10))),
             200 + i);
    }
    h.Keep("bob", Line(LineKind::kUntranslated, u"\U0001F44D"), 900);
    h.SetUnread(odd, true);
    h.SetShown("bob");
    h.Open("carol");
    h.Keep("dave", Line(LineKind::kSent, u"carol's"), 1);
    EXPECT_THAT(h.TakeProblem(), IsEmpty());
    EXPECT_EQ(h.Waiting(), 0u);
  }
  SqliteHistory h(Path());
  h.Open("alice");
  const std::vector<KeptPage> pages = h.Pages();
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].contact, "bob");
  EXPECT_FALSE(pages[0].unread);
  EXPECT_EQ(pages[1].contact, "zo\xEB");
  EXPECT_TRUE(pages[1].unread);
  EXPECT_EQ(h.Shown(), "bob");
  // The newest 200, oldest first; then the 200 before them; then the rest.
  const std::vector<KeptLine> newest = h.Lines("bob", 0, 200);
  ASSERT_EQ(newest.size(), 200u);
  EXPECT_EQ(newest.back().line, Line(LineKind::kUntranslated, u"\U0001F44D"));
  EXPECT_LT(newest.front().id, newest.back().id);
  const std::vector<KeptLine> before = h.Lines("bob", newest.front().id, 200);
  const std::vector<KeptLine> rest = h.Lines("bob", before.front().id, 200);
  EXPECT_EQ(before.size() + rest.size(), 251u);
  EXPECT_EQ(rest.front().line, Line(LineKind::kNotDelivered, u"line 0"));
  EXPECT_EQ(before.back().id + 1, newest.front().id);
  EXPECT_THAT(Texts(h.Lines("zo\xEB", 0, 200)), ElementsAre(u"zo\u00EB: hola (hello)"));
  EXPECT_THAT(h.Lines("dave", 0, 200), IsEmpty()) << "carol's conversations are hers";

  // Forgotten: the lines go, the page stays, and the text is gone from the file.
  h.Forget("bob");
  EXPECT_THAT(h.Lines("bob", 0, 200), IsEmpty());
  EXPECT_EQ(h.Pages().size(), 2u);
  Other(Path()).Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  std::ifstream file(Path(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ(bytes.find("line 7"), std::string::npos);
  EXPECT_NE(bytes.find("hola"), std::string::npos);
}

#ifndef _WIN32  // the rights of a file elsewhere are its ACL's
TEST_F(HistoryStoreTest, TheFileAndItsDirectoryAreTheUsersOnly) {
  SqliteHistory h(Path());
  h.Open("alice");
  h.Keep("bob", Line(LineKind::kSent, u"x"), 1);
  struct stat st {};
  ASSERT_EQ(::stat(Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((dir_.Path() + "/parlavant").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((Path() + "-wal").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}
#endif

TEST_F(HistoryStoreTest, AnOlderSchemaIsBroughtUpToDateInPlace) {
  std::filesystem::create_directories(dir_.Path() + "/parlavant");
  {
    Other old(Path());
    ASSERT_EQ(old.Exec("CREATE TABLE lines(id INTEGER PRIMARY KEY AUTOINCREMENT, user BLOB NOT NULL,"
                       " contact BLOB NOT NULL, time INTEGER NOT NULL, kind INTEGER NOT NULL,"
                       " text TEXT NOT NULL);"
                       "CREATE INDEX lines_by_page ON lines(user, contact, id);"
                       "INSERT INTO lines(user, contact, time, kind, text) VALUES"
                       " (CAST('alice' AS BLOB), CAST('erin' AS BLOB), 1, 1, 'first'),"
                       " (CAST('alice' AS BLOB), CAST('bob' AS BLOB), 2, 3, 'second');"
                       "PRAGMA user_version = 1;"),
              SQLITE_OK);
  }
  SqliteHistory h(Path());
  h.Open("alice");
  const std::vector<KeptPage> pages = h.Pages();
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].contact, "erin");  // in the order their first lines came
  EXPECT_THAT(Texts(h.Lines("bob", 0, 10)), ElementsAre(u"second"));
  h.Keep("bob", Line(LineKind::kSent, u"third"), 3);
  EXPECT_THAT(Texts(h.Lines("bob", 0, 10)), ElementsAre(u"second", u"third"));
  EXPECT_EQ(Other(Path()).Number("PRAGMA user_version"), SqliteHistory::kSchemaVersion);
  EXPECT_THAT(h.TakeProblem(), IsEmpty());
}

TEST_F(HistoryStoreTest, ANewerSchemaIsLeftAsItIsAndSaidOnce) {
  std::filesystem::create_directories(dir_.Path() + "/parlavant");
  Other(Path()).Exec("CREATE TABLE future(x); PRAGMA user_version = 9;");
  const auto before = std::filesystem::last_write_time(Path());
  SqliteHistory h(Path());
  h.Open("alice");
  EXPECT_THAT(h.Pages(), IsEmpty());
  for (int i = 0; i < 5; ++i) h.Keep("bob", Line(LineKind::kSent, u"x"), i);
  EXPECT_THAT(h.TakeProblem(), HasSubstr("written by a newer Parlavant (schema 9)"));
  EXPECT_THAT(h.TakeProblem(), IsEmpty());
  EXPECT_EQ(std::filesystem::last_write_time(Path()), before);
  EXPECT_EQ(Other(Path()).Number("PRAGMA user_version"), 9);
}

TEST_F(HistoryStoreTest, ADamagedFileIsKeptAsideWithTheDateAndANewOneBegun) {
  std::filesystem::create_directories(dir_.Path() + "/parlavant");
  const std::string junk(8192, '\x5a');
  std::ofstream(Path(), std::ios::binary) << junk;
  SqliteHistory h(Path());
  h.Open("alice");
  h.Keep("bob", Line(LineKind::kSent, u"after"), 1);
  const std::string said = h.TakeProblem();
  EXPECT_THAT(said, HasSubstr("was damaged: it was kept as " + Path() + ".damaged-"));
  EXPECT_THAT(h.TakeProblem(), IsEmpty());
  EXPECT_THAT(Texts(h.Lines("bob", 0, 10)), ElementsAre(u"after"));
  int kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path() + "/parlavant")) {
    if (entry.path().filename().string().rfind("history.sqlite3.damaged-", 0) != 0) continue;
    ++kept;
    std::ifstream in(entry.path(), std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), junk);
  }
  EXPECT_EQ(kept, 1);
}

// Another desktop holds the file: the lines wait, said once, and go in, in order and once each,
// when it lets go.
TEST_F(HistoryStoreTest, LinesWaitOutAnotherDesktopsLock) {
  SqliteHistory h(Path());
  h.busyTimeoutMs = 10;
  h.Open("alice");
  h.Keep("bob", Line(LineKind::kSent, u"0"), 0);
  {
    Other other(Path());
    ASSERT_EQ(other.Exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    for (int i = 1; i < 20; ++i) h.Keep("bob", Line(LineKind::kSent, Digit(i)), i);
    EXPECT_THAT(h.TakeProblem(), HasSubstr("in use by another program"));
    EXPECT_THAT(h.TakeProblem(), IsEmpty());
    EXPECT_EQ(h.Waiting(), 19u);
    other.Exec("COMMIT");
  }
  h.Keep("bob", Line(LineKind::kSent, u"last"), 20);
  EXPECT_EQ(h.Waiting(), 0u);
  const std::vector<std::u16string> texts = Texts(h.Lines("bob", 0, 100));
  ASSERT_EQ(texts.size(), 21u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(texts[i], Digit(i));
}

#ifndef _WIN32  // mount tables of a process's own are Linux's
// Runs `body` in a child process with a mount table of its own (where a test may mount a small
// or read-only file system), and gives back what it wrote; empty when that cannot be done here.
std::string InOwnMounts(const std::function<std::string()>& body) {
  if (::geteuid() != 0) return {};
  int out[2];
  if (::pipe(out) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    std::string said = "no mount namespace";
    if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
      said = body();
    }
    [[maybe_unused]] const ssize_t n = ::write(out[1], said.data(), said.size());
    ::_exit(0);
  }
  ::close(out[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return said;
}

// A disk that fills up: said once, the lines wait, and all go in, in order, once there is room.
TEST_F(HistoryStoreTest, AFullDiskIsSaidOnceAndTheLinesGoInOnceThereIsRoom) {
  const std::string directory = dir_.Path() + "/parlavant";
  std::filesystem::create_directories(directory);
  const std::string said = InOwnMounts([&] {
    if (::mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=512k,mode=0700") != 0) {
      return std::string("no tmpfs");
    }
    // Room that can be made again: a file taking half the disk.
    std::ofstream(directory + "/filler", std::ios::binary) << std::string(256 << 10, '\0');
    SqliteHistory h(Path());
    h.Open("alice");
    const std::u16string text(400, u'x');
    int problems = 0, lines = 0;
    for (; lines < 5000 && h.Waiting() < 5; ++lines) {
      h.Keep("bob", Line(LineKind::kSent, text + u" " + Digit(lines)), lines);
      if (const std::string p = h.TakeProblem(); !p.empty()) {
        ++problems;
        if (p.find("the disk is full") == std::string::npos) return "said: " + p;
      }
    }
    for (int i = 0; i < 20; ++i, ++lines) {
      h.Keep("bob", Line(LineKind::kSent, text + u" " + Digit(lines)), lines);
      if (!h.TakeProblem().empty()) ++problems;
    }
    const std::size_t waiting = h.Waiting();
    std::filesystem::remove(directory + "/filler");
    h.Keep("bob", Line(LineKind::kSent, u"after"), lines++);
    const std::vector<KeptLine> kept = h.Lines("bob", 0, 10000);
    bool inOrder = kept.size() == static_cast<std::size_t>(lines);
    for (std::size_t i = 0; inOrder && i + 1 < kept.size(); ++i) {
      inOrder = kept[i].line.text.back() == Digit(static_cast<int>(i)).back();
    }
    return "problems " + std::to_string(problems) + " waiting " + std::to_string(waiting) +
           " left " + std::to_string(h.Waiting()) + (inOrder ? " all in order" : " not all");
  });
  if (said.empty()) GTEST_SKIP() << "mounting needs root";
  EXPECT_THAT(said, ::testing::MatchesRegex("problems 1 waiting 2[0-9] left 0 all in order")) << said;
}

// A read-only file system: this run's lines wait, said once. (What the file has cannot be read
// either: SQLite needs to make its shared-memory file beside it.)
TEST_F(HistoryStoreTest, AReadOnlyFileIsSaidOnceAndTheLinesWait) {
  {
    SqliteHistory h(Path());
    h.Open("alice");
    h.Keep("bob", Line(LineKind::kSent, u"kept before"), 0);
  }
  const std::string directory = dir_.Path() + "/parlavant";
  const std::string said = InOwnMounts([&] {
    if (::mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      return std::string("no read-only mount");
    }
    SqliteHistory h(Path());
    h.Open("alice");
    int problems = 0;
    for (int i = 0; i < 5; ++i) {
      h.Keep("bob", Line(LineKind::kSent, u"new"), i);
      if (const std::string p = h.TakeProblem(); !p.empty()) {
        ++problems;
        if (p.find("read-only") == std::string::npos) return "said: " + p;
      }
    }
    return "problems " + std::to_string(problems) + " waiting " + std::to_string(h.Waiting());
  });
  if (said.empty()) GTEST_SKIP() << "mounting needs root";
  EXPECT_EQ(said, "problems 1 waiting 5");
}
#endif

}  // namespace
}  // namespace app
