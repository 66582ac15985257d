#include "app/form_model.h"

#include <algorithm>
#include <stdexcept>

namespace app {
namespace {

// Handles are bytes in the ANSI code page (Windows-1252): its letters fold as the list folds them.
unsigned char Fold(char c) {
  const auto b = static_cast<unsigned char>(c);
  if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) return b + 0x20;
  if (b == 0x8A || b == 0x8C || b == 0x8E) return b + 0x10;
  if (b == 0x9F) return 0xFF;
  return b;
}

std::string Folded(const std::string& handle) {
  std::string folded(handle.size(), '\0');
  std::transform(handle.begin(), handle.end(), folded.begin(),
                 [](char c) { return static_cast<char>(Fold(c)); });
  return folded;
}

bool SortsBefore(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return Fold(x) < Fold(y); });
}

}  // namespace

bool SameContact(const std::string& a, const std::string& b) {
  return a.size() == b.size() && Folded(a) == Folded(b);
}

void FormModel::RemoveListener(FormModelListener* listener) {
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

int FormModel::FindContact(const std::string& handle) const {
  for (std::size_t i = 0; i < contacts_.size(); ++i) {
    if (SameContact(contacts_[i], handle)) return static_cast<int>(i);
  }
  return -1;
}

int FormModel::ContactOf(const std::string& handle) const {
  const auto exact = std::find(contacts_.begin(), contacts_.end(), handle);
  return exact != contacts_.end() ? static_cast<int>(exact - contacts_.begin())
                                  : FindContact(handle);
}

std::string FormModel::RecipientHandle() const {
  return recipient_ >= 0 ? contacts_[static_cast<std::size_t>(recipient_)] : std::string();
}

int FormModel::AddContact(const std::string& handle) {
  // After its equals, as a sorted list inserts.
  const auto at = std::upper_bound(contacts_.begin(), contacts_.end(), handle, SortsBefore);
  const int index = static_cast<int>(at - contacts_.begin());
  contacts_.insert(at, handle);
  if (recipient_ >= index) ++recipient_;
  return index;
}

void FormModel::SetContacts(const std::vector<std::string>& roster) {
  const std::string chosen = RecipientHandle();
  contacts_.clear();
  recipient_ = -1;
  for (const std::string& handle : roster) AddContact(handle);
  for (const Conversation& c : conversations_) {
    if (FindContact(c.handle) < 0) AddContact(c.handle);
  }
  // Whoever was chosen has a page, so is still in the list.
  if (!chosen.empty()) recipient_ = ContactOf(chosen);
  if (recipient_ < 0 && shown_ >= 0) recipient_ = ContactOf(At(shown_).handle);
  Tell([](FormModelListener& l) { l.ContactsChanged(); });
}

void FormModel::ChooseRecipient(int contact) {
  if (contact < 0 || contact >= static_cast<int>(contacts_.size())) return;
  Show(PageOfContact(contact), contact);
}

void FormModel::SetReceiveIn(int item) {
  if (item == receiveIn_) return;
  receiveIn_ = item;
  Tell([](FormModelListener& l) { l.LanguagesChanged(); });
}

void FormModel::SetSendIn(int item) {
  if (recipient_ >= 0 && item >= 0) languages_[Folded(RecipientHandle())] = item;
  if (item == sendIn_) return;
  sendIn_ = item;
  Tell([](FormModelListener& l) { l.LanguagesChanged(); });
}

int FormModel::ContactLanguage(const std::string& handle) {
  const std::string key = Folded(handle);
  auto it = languages_.find(key);
  if (it == languages_.end()) {
    it = languages_.emplace(key, LoadContactLanguage ? LoadContactLanguage(handle) : -1).first;
  }
  return it->second;
}

void FormModel::SetContactLanguage(const std::string& handle, int item) {
  if (item < 0) return;
  languages_[Folded(handle)] = item;
  if (recipient_ >= 0 && SameContact(handle, RecipientHandle())) FollowRecipientLanguage();
}

void FormModel::FollowRecipientLanguage() {
  if (recipient_ < 0) return;
  const int item = ContactLanguage(RecipientHandle());
  if (item < 0 || item == sendIn_) return;
  sendIn_ = item;
  Tell([](FormModelListener& l) { l.LanguagesChanged(); });
}

const Conversation& FormModel::At(int conversation) const {
  if (conversation < 0 || conversation >= ConversationCount()) {
    throw std::out_of_range("no conversation " + std::to_string(conversation));
  }
  return conversations_[static_cast<std::size_t>(conversation)];
}

int FormModel::FindConversation(const std::string& handle) const {
  for (std::size_t i = 0; i < conversations_.size(); ++i) {
    if (conversations_[i].handle == handle) return static_cast<int>(i);
  }
  return -1;
}

int FormModel::OpenConversation(const std::string& handle) {
  const int found = FindConversation(handle);
  if (found >= 0) return found;
  int contact = ContactOf(handle);
  if (contact < 0) {
    contact = AddContact(handle);
    Tell([](FormModelListener& l) { l.ContactsChanged(); });
  }
  conversations_.push_back({handle, {}, false});
  const int made = ConversationCount() - 1;
  Tell([made](FormModelListener& l) { l.ConversationAdded(made); });
  if (shown_ < 0) Show(made, contact);
  return made;
}

int FormModel::PageOfContact(int contact) {
  const std::string& handle = contacts_[static_cast<std::size_t>(contact)];
  if (const int exact = FindConversation(handle); exact >= 0) return exact;
  for (int i = 0; i < ConversationCount(); ++i) {
    if (SameContact(At(i).handle, handle)) return i;
  }
  conversations_.push_back({handle, {}, false});
  const int made = ConversationCount() - 1;
  Tell([made](FormModelListener& l) { l.ConversationAdded(made); });
  return made;
}

void FormModel::Show(int conversation, int contact) {
  const bool pageChanged = conversation != shown_ || !pagesVisible_;
  shown_ = conversation;
  pagesVisible_ = true;
  if (contact != recipient_) {
    recipient_ = contact;
    Tell([](FormModelListener& l) { l.RecipientChanged(); });
  }
  if (pageChanged) Tell([](FormModelListener& l) { l.ShownChanged(); });
  SetUnread(conversation, false);
  FollowRecipientLanguage();
}

void FormModel::ShowConversation(int conversation) {
  if (conversation < 0 || conversation >= ConversationCount()) return;
  Show(conversation, ContactOf(At(conversation).handle));
}

void FormModel::ReadShown() {
  if (shown_ >= 0) SetUnread(shown_, false);
}

void FormModel::ShowPages() {
  if (pagesVisible_) return;
  pagesVisible_ = true;
  Tell([](FormModelListener& l) { l.ShownChanged(); });
}

void FormModel::SetUnread(int conversation, bool unread) {
  Conversation& c = conversations_[static_cast<std::size_t>(conversation)];
  if (c.unread == unread) return;
  c.unread = unread;
  Tell([conversation](FormModelListener& l) { l.UnreadChanged(conversation); });
}

void FormModel::AddLine(int conversation, ConversationLine line, bool comes, bool userAtWindow) {
  At(conversation);  // in range
  auto& lines = conversations_[static_cast<std::size_t>(conversation)].lines;
  lines.push_back(std::move(line));
  const int index = static_cast<int>(lines.size()) - 1;
  Tell([conversation, index](FormModelListener& l) { l.LineAdded(conversation, index); });
  if (comes && !(conversation == shown_ && userAtWindow)) SetUnread(conversation, true);
}

void FormModel::Restore(int conversation, std::vector<ConversationLine> earlier, bool unread) {
  At(conversation);
  auto& lines = conversations_[static_cast<std::size_t>(conversation)].lines;
  earlier.insert(earlier.end(), std::make_move_iterator(lines.begin()),
                 std::make_move_iterator(lines.end()));
  lines = std::move(earlier);
  Tell([conversation](FormModelListener& l) { l.LinesRestored(conversation); });
  if (unread && conversation != shown_) SetUnread(conversation, true);
}

void FormModel::ClearLines(int conversation) {
  At(conversation);
  conversations_[static_cast<std::size_t>(conversation)].lines.clear();
  Tell([conversation](FormModelListener& l) { l.LinesRestored(conversation); });
  SetUnread(conversation, false);
}

void FormModel::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  Tell([](FormModelListener& l) { l.CaptionChanged(); });
}

}  // namespace app
