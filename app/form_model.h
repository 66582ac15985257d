#pragma once

// What Parlavant's window shows, apart from any toolkit: the contacts, whom the next message goes
// to and in which language, the conversations with their lines and unread marks, the page on
// show, and the caption. This is the one place these live: FormCore changes them, the views show
// them and report what the user does, and keep no copy and no rule of their own.
//
// One rule holds after every change: the page on show is the person you answer. While a page is
// on show, the chosen recipient is its contact and "in" is theirs; while a recipient is chosen,
// their page is on show (made, empty, when they had none). The first page made is shown and its
// contact chosen; after that only the user changes either. Everyone with a page is in the
// contact list, so that they can be answered.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace app {

enum class LineKind {
  kReceived,      // translated, with the original
  kUntranslated,  // received, shown as it came with the reason
  kSent,          // typed, with its translation
  kNotDelivered,  // sent, and reported failed or never handed over
};

struct ConversationLine {
  LineKind kind;
  std::u16string text;
  friend bool operator==(const ConversationLine&, const ConversationLine&) = default;
};

struct Conversation {
  std::string handle;  // as the contact's messages or the list name them, byte for byte
  std::vector<ConversationLine> lines;
  bool unread = false;
};

// Told of every change after it is made and the rule holds again. The views show the change;
// a history keeps the lines.
class FormModelListener {
 public:
  virtual ~FormModelListener() = default;
  virtual void ContactsChanged() {}   // the list, and with it the chosen recipient's index
  virtual void RecipientChanged() {}  // only the choice
  virtual void LanguagesChanged() {}  // "Receive in:" or "in"
  virtual void ConversationAdded(int /*conversation*/) {}
  virtual void LineAdded(int /*conversation*/, int /*line*/) {}
  // Other than at their end: earlier lines put before all it had, or every line taken away.
  virtual void LinesRestored(int /*conversation*/) {}
  virtual void ShownChanged() {}  // another page on show, or the pages shown at all
  virtual void UnreadChanged(int /*conversation*/) {}
  virtual void CaptionChanged() {}
};

class FormModel {
 public:
  // Where "in" per contact is kept beyond this run: -1 where none is known yet.
  std::function<int(const std::string& handle)> LoadContactLanguage;

  void AddListener(FormModelListener* listener) { listeners_.push_back(listener); }
  void RemoveListener(FormModelListener* listener);

  // The contact list, sorted as the list sorts (letter case ignored, an item after its equals).
  const std::vector<std::string>& Contacts() const { return contacts_; }
  // The first contact equal to `handle` without regard to letter case; -1 for none.
  int FindContact(const std::string& handle) const;
  int Recipient() const { return recipient_; }  // index in Contacts(); -1: nobody
  std::string RecipientHandle() const;
  // A new contact list from the chat client: everyone with a page stays in it, and so does the
  // recipient; nobody new is chosen.
  void SetContacts(const std::vector<std::string>& roster);
  // The user chose a contact in the list: their page comes on show.
  void ChooseRecipient(int contact);

  // Item indexes of the two language lists; -1: none.
  int ReceiveIn() const { return receiveIn_; }
  int SendIn() const { return sendIn_; }
  void SetReceiveIn(int item);
  // "in" as the user (or the settings) chose it; it becomes the recipient's language.
  void SetSendIn(int item);
  // The recipient's language as a contact's messages or a send showed it; "in" follows it
  // where that contact is the recipient.
  void SetContactLanguage(const std::string& handle, int item);
  int ContactLanguage(const std::string& handle);

  int ConversationCount() const { return static_cast<int>(conversations_.size()); }
  const Conversation& At(int conversation) const;
  // The page whose handle is exactly this one; -1 for none.
  int FindConversation(const std::string& handle) const;
  // That page, made when missing (and the handle added to the contacts when it is no contact).
  // The first page ever made is put on show and its contact chosen; later ones are not.
  int OpenConversation(const std::string& handle);
  // A line at the end of a page. A line that comes to the user (`comes` : received, or a send
  // reported failed) marks its page unread unless it is on show while the user is at the window.
  void AddLine(int conversation, ConversationLine line, bool comes, bool userAtWindow);
  // Lines kept from before (a history), put before whatever the page shows now.
  void Restore(int conversation, std::vector<ConversationLine> earlier, bool unread);
  // Every line of a page taken away (the user had it forgotten); the page stays, read.
  void ClearLines(int conversation);

  int Shown() const { return shown_; }  // -1 until a page exists
  bool PagesVisible() const { return pagesVisible_; }
  void ShowPages();
  // The user brought a page on show (a click on its tab, a key): its contact is chosen.
  void ShowConversation(int conversation);
  // The user is at the window again: the page on show is read.
  void ReadShown();

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);

 private:
  int AddContact(const std::string& handle);
  // The contact of a page: the same handle to the byte, else one differing only in letter case.
  int ContactOf(const std::string& handle) const;
  // The page for the contact at `contact`: exactly their handle, or else one that differs only
  // in letter case, or else a new empty one.
  int PageOfContact(int contact);
  void Show(int conversation, int contact);
  void FollowRecipientLanguage();
  void SetUnread(int conversation, bool unread);
  template <typename Event>
  void Tell(Event event) {
    for (FormModelListener* listener : listeners_) event(*listener);
  }

  std::vector<FormModelListener*> listeners_;
  std::vector<std::string> contacts_;
  int recipient_ = -1;
  int receiveIn_ = -1, sendIn_ = -1;
  std::map<std::string, int> languages_;  // by handle in lower case, as handles are compared
  std::vector<Conversation> conversations_;
  int shown_ = -1;
  bool pagesVisible_ = false;
  std::string caption_;
};

// Whether two handles are the same contact: letter case does not count.
bool SameContact(const std::string& a, const std::string& b);

}  // namespace app
