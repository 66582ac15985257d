#include "app/history_keeper.h"

namespace app {
namespace {

std::vector<ConversationLine> LinesOf(const std::vector<KeptLine>& kept) {
  std::vector<ConversationLine> lines;
  lines.reserve(kept.size());
  for (const KeptLine& k : kept) lines.push_back(k.line);
  return lines;
}

}  // namespace

HistoryKeeper::HistoryKeeper(FormModel& model, History& history,
                             std::function<std::int64_t()> now)
    : model_(model), history_(history), now_(std::move(now)) {
  model_.AddListener(this);
}

HistoryKeeper::~HistoryKeeper() {
  model_.RemoveListener(this);
}

void HistoryKeeper::SignedIn(const std::string& user) {
  if (user.empty() || user == user_) return;
  const bool firstUser = user_.empty();
  user_ = user;
  history_.Open(user);
  if (!firstUser) {
    // Another account on the same window: what it shows from now on is that account's.
    oldest_.clear();
    complete_.clear();
    for (int i = 0; i < model_.ConversationCount(); ++i) history_.KeepPage(model_.At(i).handle);
    Changed();
    return;
  }
  const bool anyPage = model_.ConversationCount() > 0;
  restoring_ = true;
  const std::vector<KeptPage> pages = history_.Pages();
  const std::string shown = history_.Shown();
  for (const KeptPage& page : pages) model_.OpenConversation(page.contact);
  // A page a message opened before the history came stays on show; otherwise the one that was.
  // It is on show before the marks come back, which a page on show would not take.
  if (!anyPage && !shown.empty()) {
    if (const int conversation = model_.FindConversation(shown); conversation >= 0) {
      model_.ShowConversation(conversation);
    }
  }
  for (const KeptPage& page : pages) {
    const int conversation = model_.FindConversation(page.contact);
    std::vector<KeptLine> kept = history_.Lines(page.contact, 0, kBatch);
    complete_[conversation] = static_cast<int>(kept.size()) < kBatch;
    if (!kept.empty()) oldest_[conversation] = kept.front().id;
    model_.Restore(conversation, LinesOf(kept), page.unread);
  }
  if (model_.ConversationCount() > 0) model_.ShowPages();
  restoring_ = false;
  // Lines shown before the user was known follow what was kept, in the order they came.
  for (const Waiting& w : std::exchange(waiting_, {})) {
    history_.KeepPage(w.contact);
    history_.Keep(w.contact, w.line, w.time);
  }
  history_.SetShown(model_.Shown() >= 0 ? model_.At(model_.Shown()).handle : std::string());
  for (int i = 0; i < model_.ConversationCount(); ++i) {
    history_.SetUnread(model_.At(i).handle, model_.At(i).unread);
  }
  Changed();
}

bool HistoryKeeper::LoadEarlier(int conversation) {
  if (user_.empty() || conversation < 0 || conversation >= model_.ConversationCount()) {
    return false;
  }
  if (complete_[conversation]) return false;
  const auto oldest = oldest_.find(conversation);
  if (oldest == oldest_.end()) {
    // Nothing came back at start: the page holds only what was shown in this run, which the
    // history has too. The oldest it has is the first line of this run, or older ones.
    complete_[conversation] = true;
    return false;
  }
  std::vector<KeptLine> kept = history_.Lines(model_.At(conversation).handle, oldest->second,
                                              kBatch);
  complete_[conversation] = static_cast<int>(kept.size()) < kBatch;
  if (kept.empty()) return false;
  oldest->second = kept.front().id;
  restoring_ = true;
  model_.Restore(conversation, LinesOf(kept), false);
  restoring_ = false;
  Changed();
  return true;
}

void HistoryKeeper::Forget(int conversation) {
  if (conversation < 0 || conversation >= model_.ConversationCount()) return;
  const std::string contact = model_.At(conversation).handle;
  if (!user_.empty()) history_.Forget(contact);
  std::erase_if(waiting_, [&](const Waiting& w) { return w.contact == contact; });
  oldest_.erase(conversation);
  complete_[conversation] = true;
  model_.ClearLines(conversation);
  Changed();
}

void HistoryKeeper::ConversationAdded(int conversation) {
  if (user_.empty() || restoring_) return;
  history_.KeepPage(model_.At(conversation).handle);
  Changed();
}

void HistoryKeeper::LineAdded(int conversation, int line) {
  if (restoring_) return;
  const Conversation& c = model_.At(conversation);
  const ConversationLine& shown = c.lines.at(static_cast<std::size_t>(line));
  if (user_.empty()) {
    waiting_.push_back({c.handle, shown, now_()});
    return;
  }
  history_.Keep(c.handle, shown, now_());
  Changed();
}

void HistoryKeeper::ShownChanged() {
  if (user_.empty() || restoring_ || model_.Shown() < 0) return;
  history_.SetShown(model_.At(model_.Shown()).handle);
  Changed();
}

void HistoryKeeper::UnreadChanged(int conversation) {
  if (user_.empty() || restoring_) return;
  history_.SetUnread(model_.At(conversation).handle, model_.At(conversation).unread);
  Changed();
}

}  // namespace app
