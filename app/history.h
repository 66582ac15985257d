#pragma once

// What Parlavant keeps of its conversations beyond a run, as the window needs it: per signed-in
// user, the pages in the order they were made with their unread marks, the page on show, and
// every line a page showed. The window's core knows only this interface; the store behind it
// (SQLite, or a fake in tests) decides how.
//
// A store that cannot write (in use elsewhere, damaged, read-only, a full disk, a newer
// program's file) keeps what it was given in memory, tries again with the next change, and says
// what is wrong once through TakeProblem().

#include <cstdint>
#include <string>
#include <vector>

#include "app/form_model.h"

namespace app {

struct KeptLine {
  std::int64_t id = 0;  // rising with every line kept: an older line has a smaller one
  ConversationLine line;
};

struct KeptPage {
  std::string contact;
  bool unread = false;
};

class History {
 public:
  virtual ~History() = default;

  // Whose history the calls below are about: the user the chat client reports.
  virtual void Open(const std::string& user) = 0;
  // The pages as the last run left them, in the order they were made, and the one on show
  // (empty: none).
  virtual std::vector<KeptPage> Pages() = 0;
  virtual std::string Shown() = 0;
  // The newest `count` lines of a contact's page older than `before` (0: the newest of all),
  // oldest first.
  virtual std::vector<KeptLine> Lines(const std::string& contact, std::int64_t before,
                                      int count) = 0;
  // The id of the newest line kept of anybody's (0: none).
  virtual std::int64_t Newest() = 0;

  // A page was made; a line was shown at its end at `time` (seconds since 1970, UTC), for the
  // chat client's message `chatId` (0: none).
  virtual void KeepPage(const std::string& contact) = 0;
  virtual void Keep(const std::string& contact, const ConversationLine& line, std::int64_t time,
                    std::int32_t chatId = 0) = 0;
  // Whether this line was kept for the chat client's message `chatId` at `since` or later.
  virtual bool Kept(const std::string& contact, const ConversationLine& line, std::int32_t chatId,
                    std::int64_t since) = 0;
  virtual void SetUnread(const std::string& contact, bool unread) = 0;
  virtual void SetShown(const std::string& contact) = 0;
  // The user asked for a conversation to be forgotten: its lines go, its page stays.
  virtual void Forget(const std::string& contact) = 0;

  // What went wrong since the last call, to be said once; empty for nothing.
  virtual std::string TakeProblem() = 0;
};

}  // namespace app
