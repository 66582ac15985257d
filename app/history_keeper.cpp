#include "app/history_keeper.h"

#include <algorithm>

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
    notLoaded_.clear();
    for (int i = 0; i < model_.ConversationCount(); ++i) history_.KeepPage(model_.At(i).handle);
    Changed();
    return;
  }
  const bool anyPage = model_.ConversationCount() > 0;
  restoring_ = true;
  const std::vector<KeptPage> pages = history_.Pages();
  const std::string shown = history_.Shown();
  runStart_ = history_.Newest();
  // Into the contact list at once: page by page, the list was filled again for every page.
  std::vector<std::string> contacts = model_.Contacts();
  for (const KeptPage& page : pages) {
    if (model_.FindContact(page.contact) < 0) contacts.push_back(page.contact);
  }
  if (contacts.size() != model_.Contacts().size()) model_.SetContacts(contacts);
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
    notLoaded_.insert(conversation);
    if (page.unread) model_.Restore(conversation, {}, true);
  }
  if (model_.Shown() >= 0) LoadNewest(model_.Shown());
  if (model_.ConversationCount() > 0) model_.ShowPages();
  restoring_ = false;
  // Lines shown before the user was known follow what was kept, in the order they came.
  for (const Waiting& w : std::exchange(waiting_, {})) {
    history_.KeepPage(w.contact);
    history_.Keep(w.contact, w.line, w.time, w.chatId);
  }
  // Only what differs from what was kept is written back: each write is a sync.
  if (model_.Shown() >= 0 && model_.At(model_.Shown()).handle != shown) {
    history_.SetShown(model_.At(model_.Shown()).handle);
  }
  for (const KeptPage& page : pages) {
    const int conversation = model_.FindConversation(page.contact);
    if (model_.At(conversation).unread != page.unread) {
      history_.SetUnread(page.contact, model_.At(conversation).unread);
    }
  }
  for (int i = 0; i < model_.ConversationCount(); ++i) {
    const bool kept = std::any_of(pages.begin(), pages.end(),
                                  [&](const KeptPage& p) { return p.contact == model_.At(i).handle; });
    if (!kept && model_.At(i).unread) history_.SetUnread(model_.At(i).handle, true);
  }
  Changed();
}

void HistoryKeeper::LoadNewest(int conversation) {
  if (notLoaded_.erase(conversation) == 0) return;
  const std::vector<KeptLine> kept =
      history_.Lines(model_.At(conversation).handle, runStart_ + 1, kBatch);
  complete_[conversation] = static_cast<int>(kept.size()) < kBatch;
  if (kept.empty()) return;
  oldest_[conversation] = kept.front().id;
  const bool wasRestoring = std::exchange(restoring_, true);
  model_.Restore(conversation, LinesOf(kept), false);
  restoring_ = wasRestoring;
}

bool HistoryKeeper::LoadEarlier(int conversation) {
  if (user_.empty() || conversation < 0 || conversation >= model_.ConversationCount()) {
    return false;
  }
  if (notLoaded_.count(conversation)) {
    LoadNewest(conversation);
    Changed();
    return true;
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
  notLoaded_.erase(conversation);
  oldest_.erase(conversation);
  complete_[conversation] = true;
  model_.ClearLines(conversation);
  Changed();
}

bool HistoryKeeper::AlreadyKept(int conversation, const ConversationLine& line,
                                std::int32_t chatId) {
  // A window started again within these minutes of showing it; a chat client that started
  // again counts its ids anew, and an old id with the same text from the same person later is
  // a new message.
  constexpr std::int64_t kReannouncedWithinS = 10 * 60;
  if (user_.empty() || chatId <= 0) return false;
  const bool kept = history_.Kept(model_.At(conversation).handle, line, chatId,
                                  now_() - kReannouncedWithinS);
  Changed();
  return kept;
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
    waiting_.push_back({c.handle, shown, now_(), std::exchange(chatId_, 0)});
    return;
  }
  history_.Keep(c.handle, shown, now_(), std::exchange(chatId_, 0));
  Changed();
}

void HistoryKeeper::ShownChanged() {
  if (user_.empty() || restoring_ || model_.Shown() < 0) return;
  LoadNewest(model_.Shown());
  history_.SetShown(model_.At(model_.Shown()).handle);
  Changed();
}

void HistoryKeeper::UnreadChanged(int conversation) {
  if (user_.empty() || restoring_) return;
  history_.SetUnread(model_.At(conversation).handle, model_.At(conversation).unread);
  Changed();
}

}  // namespace app
