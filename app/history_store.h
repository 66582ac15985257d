#pragma once

// The conversations' history in an SQLite file of the user's own (0600, its directory 0700).
//
// Each change is committed as it comes, in WAL mode with synchronous=FULL: a line that was on
// screen is on the disk, through a crash of the program or of the machine. Lines come at the
// pace people write, so the sync per line is not felt; NORMAL would lose the last ones to a
// power cut.
//
// Changes wait in memory, in order, until they are committed; one that cannot be (the file in
// use by another desktop, read-only, a full disk) is tried again with the next change and when
// the store closes, and what is wrong is said once until it is mended. A damaged file is never
// deleted: it is renamed beside itself with the date, and a new one is begun. A file of a newer
// schema is left alone: this run keeps nothing in it. An older one is brought up to date in
// place.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "app/history.h"

struct sqlite3;

namespace app {

class SqliteHistory final : public History {
 public:
  static constexpr int kSchemaVersion = 3;

  explicit SqliteHistory(std::string path);
  ~SqliteHistory() override;
  SqliteHistory(const SqliteHistory&) = delete;
  SqliteHistory& operator=(const SqliteHistory&) = delete;

  void Open(const std::string& user) override;
  std::vector<KeptPage> Pages() override;
  std::string Shown() override;
  std::vector<KeptLine> Lines(const std::string& contact, std::int64_t before,
                              int count) override;
  std::int64_t Newest() override;
  void KeepPage(const std::string& contact) override;
  void Keep(const std::string& contact, const ConversationLine& line, std::int64_t time,
            std::int32_t chatId = 0) override;
  bool Kept(const std::string& contact, const ConversationLine& line, std::int32_t chatId,
            std::int64_t since) override;
  void SetUnread(const std::string& contact, bool unread) override;
  void SetShown(const std::string& contact) override;
  void Forget(const std::string& contact) override;
  std::string TakeProblem() override;

  const std::string& Path() const { return path_; }
  // Changes not yet committed.
  std::size_t Waiting() const { return waiting_.size(); }
  // How long a change waits for another desktop's lock before it is left for later.
  int busyTimeoutMs = 200;

 private:
  struct Change {
    enum Kind { kPage, kLine, kUnread, kShown, kForget } kind;
    std::string user, contact;
    ConversationLine line{};
    std::int64_t time = 0;
    bool unread = false;
    std::int32_t chatId = 0;
  };

  // The database open and of this schema; false (said) when it cannot be.
  bool Ready();
  bool Migrate();
  // Commits every waiting change in one transaction; false (said) when it cannot.
  bool Flush();
  int Apply(const Change& change);  // SQLITE_DONE when it went in
  void Add(Change change);
  // Closes the database, on a fault that may mend: the next change opens it again.
  void Close();
  // The file is damaged: kept beside itself, and a new one begun.
  void SetAside();
  // Says `text` unless it is what was said last and not mended since.
  void Problem(const std::string& text);
  // Why the last call failed, from its code; and the SQLite code's meaning, said once.
  bool Failed(int code, const char* doing);

  std::string path_;
  sqlite3* db_ = nullptr;
  std::string user_;
  bool newer_ = false;  // a newer program's file: never written
  std::deque<Change> waiting_;
  std::string said_;     // the problem said last, until a commit mends it
  std::string problem_;  // not yet taken
};

}  // namespace app
