#pragma once

// Between the window's model and its history: every line a page shows is kept as it is shown,
// with the pages, their unread marks and the page on show; once the chat client has said who
// the user is, what was kept comes back before whatever the window shows already, the page on
// show and its contact as they were. Lines shown before the user is known wait for it.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/form_model.h"
#include "app/history.h"

namespace app {

class HistoryKeeper : private FormModelListener {
 public:
  // How many lines a page gets back at once: at start, and each time the user reaches its top.
  static constexpr int kBatch = 200;

  // `now`: seconds since 1970, UTC, for the lines kept.
  HistoryKeeper(FormModel& model, History& history, std::function<std::int64_t()> now);
  ~HistoryKeeper() override;
  HistoryKeeper(const HistoryKeeper&) = delete;
  HistoryKeeper& operator=(const HistoryKeeper&) = delete;

  // The user the chat client reports: their history comes back (once per user and run).
  void SignedIn(const std::string& user);
  // The user reached the top of a page: the lines before it come. False when there were none.
  bool LoadEarlier(int conversation);
  // "Forget this conversation": its lines go from the page and from the history.
  void Forget(int conversation);
  // The chat client's message the next line is for. A chat client announces a message again
  // when the window that showed it died before saying it took it: the line kept for it in the
  // last minutes (AlreadyKept) is not shown a second time.
  void Receiving(std::int32_t chatId) { chatId_ = chatId; }
  bool AlreadyKept(int conversation, const ConversationLine& line, std::int32_t chatId);

  // After every change handed to the history (where it may have met a problem to tell).
  std::function<void()> OnChange;

 private:
  void ConversationAdded(int conversation) override;
  void LineAdded(int conversation, int line) override;
  void ShownChanged() override;
  void UnreadChanged(int conversation) override;
  void Changed() {
    if (OnChange) OnChange();
  }

  FormModel& model_;
  History& history_;
  std::function<std::int64_t()> now_;
  std::string user_;
  bool restoring_ = false;  // what the history itself puts back is not kept again
  // Shown before the user was known: the page's contact, the line and when it was shown.
  struct Waiting {
    std::string contact;
    ConversationLine line;
    std::int64_t time;
    std::int32_t chatId;
  };
  std::vector<Waiting> waiting_;
  // Brings a page's newest kept lines (those from before this run) before what it shows.
  void LoadNewest(int conversation);

  // Per page: the id of the oldest line the history gave back (absent: none yet), and whether
  // there is nothing older.
  std::map<int, std::int64_t> oldest_;
  std::map<int, bool> complete_;
  // Pages whose kept lines come when they are first shown: at start only the page on show
  // reads its lines, so that fifty pages of history cost no more than one.
  std::set<int> notLoaded_;
  std::int64_t runStart_ = 0;  // the newest line kept before this run
  std::int32_t chatId_ = 0;    // for the next line shown
};

}  // namespace app
