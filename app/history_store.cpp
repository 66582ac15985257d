#include "app/history_store.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <limits>
#include <utility>

#include "platform/codepage.h"
#include "platform/profile.h"

namespace app {
namespace {

// How many changes wait in memory at most while the file cannot take them.
constexpr std::size_t kMaxWaiting = 100000;

// The kinds as the file has them: fixed codes, whatever order the enumeration takes.
constexpr std::pair<LineKind, int> kKindCodes[] = {{LineKind::kReceived, 1},
                                                   {LineKind::kUntranslated, 2},
                                                   {LineKind::kSent, 3},
                                                   {LineKind::kNotDelivered, 4}};

int KindCode(LineKind kind) {
  for (const auto& [k, code] : kKindCodes) {
    if (k == kind) return code;
  }
  return 1;
}

// False for a code this program does not know.
bool KindOfCode(int code, LineKind& kind) {
  for (const auto& [k, c] : kKindCodes) {
    if (c == code) {
      kind = k;
      return true;
    }
  }
  return false;
}

// Each step brings the file from the version before it to its own: a new file takes them all.
// Handles are the chat client's bytes, kept as blobs.
const char* const kSteps[SqliteHistory::kSchemaVersion] = {
    // 1: the lines.
    "CREATE TABLE lines(id INTEGER PRIMARY KEY AUTOINCREMENT, user BLOB NOT NULL,"
    " contact BLOB NOT NULL, time INTEGER NOT NULL, kind INTEGER NOT NULL, text TEXT NOT NULL);"
    "CREATE INDEX lines_by_page ON lines(user, contact, id);",
    // 2: the pages as the window left them.
    "CREATE TABLE pages(user BLOB NOT NULL, contact BLOB NOT NULL, made INTEGER NOT NULL,"
    " unread INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(user, contact));"
    "CREATE TABLE shown(user BLOB PRIMARY KEY, contact BLOB NOT NULL);"
    "INSERT INTO pages(user, contact, made) SELECT user, contact, MIN(id) FROM lines"
    " GROUP BY user, contact;",
    // 3: the chat client's id of a received message, to know it when it is announced again.
    "ALTER TABLE lines ADD COLUMN chat_id INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX lines_by_chat_id ON lines(user, contact, chat_id);",
};

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

// A prepared statement, finalised on every way out.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { code_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
  ~Statement() { Finish(); }
  // Finalised now: a connection with a statement left open stays open after it is closed, and
  // Windows renames no file that is open.
  void Finish() {
    sqlite3_finalize(s_);
    s_ = nullptr;
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int Code() const { return code_; }
  Statement& Blob(int at, const std::string& value) {
    sqlite3_bind_blob(s_, at, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Text(int at, const std::string& value) {
    sqlite3_bind_text(s_, at, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Int(int at, std::int64_t value) {
    sqlite3_bind_int64(s_, at, value);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or the failure.
  int Step() { return code_ = code_ == SQLITE_OK || code_ == SQLITE_ROW ? sqlite3_step(s_) : code_; }
  std::int64_t ColumnInt(int at) const { return sqlite3_column_int64(s_, at); }
  std::string ColumnBytes(int at) const {
    const void* bytes = sqlite3_column_blob(s_, at);
    return bytes == nullptr ? std::string()
                            : std::string(static_cast<const char*>(bytes),
                                          static_cast<std::size_t>(sqlite3_column_bytes(s_, at)));
  }

 private:
  sqlite3_stmt* s_ = nullptr;
  int code_;
};

}  // namespace

SqliteHistory::SqliteHistory(std::string path) : path_(std::move(path)) {}

SqliteHistory::~SqliteHistory() {
  // The last changes get longer to wait out another desktop's lock.
  busyTimeoutMs = 2000;
  if (db_ != nullptr) sqlite3_busy_timeout(db_, busyTimeoutMs);
  Flush();
  Close();
}

void SqliteHistory::Close() {
  if (db_ == nullptr) return;
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

void SqliteHistory::Problem(const std::string& text) {
  if (text == said_) return;
  said_ = text;
  problem_ = text;
}

std::string SqliteHistory::TakeProblem() {
  return std::exchange(problem_, std::string());
}

bool SqliteHistory::Failed(int code, const char* doing) {
  const int primary = code & 0xff;
  if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
    SetAside();
    return false;
  }
  std::string why;
  switch (primary) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      why = "it is in use by another program (another desktop's Parlavant?)";
      break;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
      why = "it cannot be written (read-only)";
      break;
    case SQLITE_FULL:
      why = "the disk is full";
      break;
    default:
      why = std::string(doing) + " failed: " + sqlite3_errstr(code);
      Close();  // opened again with the next change
  }
  Problem("The conversations are not being kept in " + path_ + ": " + why +
          ". They stay in this window and are kept once that is mended.");
  return false;
}

void SqliteHistory::SetAside() {
  Close();
  std::error_code error;
  std::string kept = path_ + ".damaged-" + Today();
  for (int n = 2; std::filesystem::exists(kept, error); ++n) {
    kept = path_ + ".damaged-" + Today() + "-" + std::to_string(n);
  }
  std::filesystem::rename(path_, kept, error);
  if (error) {
    // Neither kept aside nor to be used: this run keeps nothing in it.
    newer_ = true;
    Problem("The history in " + path_ + " is damaged and could not be set aside (" +
            error.message() + "): the conversations of this run are not kept.");
    return;
  }
  // Its journal belongs with it.
  for (const char* suffix : {"-wal", "-shm"}) {
    std::error_code ignored;
    if (std::filesystem::exists(path_ + suffix, ignored)) {
      std::filesystem::rename(path_ + suffix, kept + suffix, ignored);
    }
  }
  Problem("The history in " + path_ + " was damaged: it was kept as " + kept +
          ", and a new one was begun.");
}

bool SqliteHistory::Ready() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (newer_) return false;
    if (db_ != nullptr) return true;
    std::string error;
    if (!platform::MakePrivateFile(path_, error)) {
      Problem("The conversations are not being kept: " + error + ".");
      return false;
    }
    if (const int code = sqlite3_open_v2(platform::Utf8Path(path_).c_str(), &db_,
                                         SQLITE_OPEN_READWRITE, nullptr);
        code != SQLITE_OK) {
      Close();
      return Failed(code, "opening");
    }
    sqlite3_busy_timeout(db_, busyTimeoutMs);
    if (Migrate()) return true;
    if (db_ != nullptr || newer_) return false;  // a fault that leaves the file as it is
    // Set aside: once more with a new file.
  }
  return false;
}

bool SqliteHistory::Migrate() {
  int version = 0;
  {
    Statement s(db_, "PRAGMA user_version");
    const int code = s.Step();
    if (code != SQLITE_ROW) {
      s.Finish();
      return Failed(code, "reading the schema");
    }
    version = static_cast<int>(s.ColumnInt(0));
  }
  if (version > kSchemaVersion) {
    newer_ = true;
    Close();
    Problem("The history in " + path_ + " was written by a newer Parlavant (schema " +
            std::to_string(version) + "): it is left as it is, and this run's conversations are "
            "not kept.");
    return false;
  }
  // Only a file of this program's is changed. Deleted lines are overwritten, not left in free
  // pages: "forget" means gone. WAL is not possible on a read-only file, which can still be
  // read: that is said on writing.
  sqlite3_exec(db_, "PRAGMA secure_delete = ON; PRAGMA synchronous = FULL;", nullptr, nullptr,
               nullptr);
  if (const int code = sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
      (code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB) {
    return Failed(code, "opening");
  }
  if (version == kSchemaVersion) return true;
  if (const int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
      code != SQLITE_OK) {
    return Failed(code, "bringing the schema up to date");
  }
  for (int step = version; step < kSchemaVersion; ++step) {
    if (const int code = sqlite3_exec(db_, kSteps[step], nullptr, nullptr, nullptr);
        code != SQLITE_OK) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return Failed(code, "bringing the schema up to date");
    }
  }
  const std::string stamp = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
  int code = sqlite3_exec(db_, stamp.c_str(), nullptr, nullptr, nullptr);
  if (code == SQLITE_OK) code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return Failed(code, "bringing the schema up to date");
  }
  return true;
}

void SqliteHistory::Open(const std::string& user) {
  user_ = user;
  Ready();
}

std::vector<KeptPage> SqliteHistory::Pages() {
  std::vector<KeptPage> pages;
  if (!Ready()) return pages;
  Statement s(db_, "SELECT contact, unread FROM pages WHERE user = ? ORDER BY made");
  s.Blob(1, user_);
  int code;
  while ((code = s.Step()) == SQLITE_ROW) pages.push_back({s.ColumnBytes(0), s.ColumnInt(1) != 0});
  s.Finish();
  if (code != SQLITE_DONE) Failed(code, "reading the pages");
  return pages;
}

std::string SqliteHistory::Shown() {
  if (!Ready()) return {};
  Statement s(db_, "SELECT contact FROM shown WHERE user = ?");
  s.Blob(1, user_);
  const int code = s.Step();
  if (code == SQLITE_ROW) return s.ColumnBytes(0);
  s.Finish();
  if (code != SQLITE_DONE) Failed(code, "reading the page on show");
  return {};
}

std::vector<KeptLine> SqliteHistory::Lines(const std::string& contact, std::int64_t before,
                                           int count) {
  std::vector<KeptLine> lines;
  if (!Ready()) return lines;
  Statement s(db_,
              "SELECT id, kind, text FROM lines WHERE user = ? AND contact = ? AND id < ?"
              " ORDER BY id DESC LIMIT ?");
  s.Blob(1, user_)
      .Blob(2, contact)
      .Int(3, before > 0 ? before : std::numeric_limits<std::int64_t>::max())
      .Int(4, count);
  int code;
  while ((code = s.Step()) == SQLITE_ROW) {
    LineKind kind;
    if (!KindOfCode(static_cast<int>(s.ColumnInt(1)), kind)) continue;
    lines.push_back({s.ColumnInt(0), {kind, platform::Utf8Decode(s.ColumnBytes(2))}});
  }
  s.Finish();
  if (code != SQLITE_DONE) Failed(code, "reading the lines");
  return {lines.rbegin(), lines.rend()};
}

std::int64_t SqliteHistory::Newest() {
  if (!Ready()) return 0;
  Statement s(db_, "SELECT COALESCE(MAX(id), 0) FROM lines");
  const int code = s.Step();
  if (code == SQLITE_ROW) return s.ColumnInt(0);
  s.Finish();
  Failed(code, "reading the lines");
  return 0;
}

void SqliteHistory::Add(Change change) {
  change.user = user_;
  waiting_.push_back(std::move(change));
  if (waiting_.size() > kMaxWaiting) waiting_.pop_front();
  Flush();
}

void SqliteHistory::KeepPage(const std::string& contact) {
  Add({Change::kPage, {}, contact});
}

void SqliteHistory::Keep(const std::string& contact, const ConversationLine& line,
                         std::int64_t time, std::int32_t chatId) {
  Add({Change::kLine, {}, contact, line, time, false, chatId});
}

bool SqliteHistory::Kept(const std::string& contact, const ConversationLine& line,
                         std::int32_t chatId, std::int64_t since) {
  for (const Change& c : waiting_) {
    if (c.kind == Change::kLine && c.user == user_ && c.contact == contact &&
        c.chatId == chatId && c.time >= since && c.line == line) {
      return true;
    }
  }
  if (!Ready()) return false;
  Statement s(db_,
              "SELECT 1 FROM lines WHERE user = ? AND contact = ? AND chat_id = ? AND time >= ?"
              " AND kind = ? AND text = ? LIMIT 1");
  s.Blob(1, user_)
      .Blob(2, contact)
      .Int(3, chatId)
      .Int(4, since)
      .Int(5, KindCode(line.kind))
      .Text(6, platform::Utf8Encode(line.text));
  const int code = s.Step();
  s.Finish();
  if (code != SQLITE_ROW && code != SQLITE_DONE) Failed(code, "reading the lines");
  return code == SQLITE_ROW;
}

void SqliteHistory::SetUnread(const std::string& contact, bool unread) {
  Add({Change::kUnread, {}, contact, {}, 0, unread});
}

void SqliteHistory::SetShown(const std::string& contact) {
  Add({Change::kShown, {}, contact});
}

void SqliteHistory::Forget(const std::string& contact) {
  // What still waits of theirs goes too.
  std::erase_if(waiting_, [&](const Change& c) {
    return c.kind == Change::kLine && c.user == user_ && c.contact == contact;
  });
  Add({Change::kForget, {}, contact});
}

int SqliteHistory::Apply(const Change& c) {
  const auto page = [&] {
    Statement s(db_,
                "INSERT OR IGNORE INTO pages(user, contact, made, unread) VALUES(?1, ?2,"
                " (SELECT COALESCE(MAX(made), 0) + 1 FROM pages WHERE user = ?1), 0)");
    return s.Blob(1, c.user).Blob(2, c.contact).Step();
  };
  switch (c.kind) {
    case Change::kPage:
      return page();
    case Change::kLine: {
      if (const int code = page(); code != SQLITE_DONE) return code;
      Statement s(db_,
                  "INSERT INTO lines(user, contact, time, kind, text, chat_id)"
                  " VALUES(?, ?, ?, ?, ?, ?)");
      return s.Blob(1, c.user)
          .Blob(2, c.contact)
          .Int(3, c.time)
          .Int(4, KindCode(c.line.kind))
          .Text(5, platform::Utf8Encode(c.line.text))
          .Int(6, c.chatId)
          .Step();
    }
    case Change::kUnread: {
      Statement s(db_, "UPDATE pages SET unread = ? WHERE user = ? AND contact = ?");
      return s.Int(1, c.unread ? 1 : 0).Blob(2, c.user).Blob(3, c.contact).Step();
    }
    case Change::kShown: {
      Statement s(db_, "INSERT OR REPLACE INTO shown(user, contact) VALUES(?, ?)");
      return s.Blob(1, c.user).Blob(2, c.contact).Step();
    }
    case Change::kForget: {
      Statement s(db_, "DELETE FROM lines WHERE user = ? AND contact = ?");
      return s.Blob(1, c.user).Blob(2, c.contact).Step();
    }
  }
  return SQLITE_MISUSE;
}

bool SqliteHistory::Flush() {
  if (waiting_.empty() || user_.empty()) return true;
  if (!Ready()) return false;
  if (const int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
      code != SQLITE_OK) {
    return Failed(code, "keeping a line");
  }
  for (const Change& c : waiting_) {
    const int code = Apply(c);
    if (code != SQLITE_DONE) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return Failed(code, "keeping a line");
    }
  }
  if (const int code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
      code != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return Failed(code, "keeping a line");
  }
  waiting_.clear();
  said_.clear();  // mended: a fault after this is said again
  return true;
}

}  // namespace app
