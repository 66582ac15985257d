#pragma once

// TMainForm: Parlavant's one window. It restores its settings, attaches to the chat client,
// fills the contact list, shows every received chat message translated beside the original in
// a tab per contact, and sends the user's messages translated, optionally signed.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "app/application.h"
#include "app/page_control.h"
#include "app/pending.h"
#include "app/widgets.h"
#include "chatlink/skype_control.h"
#include "platform/profile.h"
#include "translate/translate.h"

namespace app {

// The settings file's name, section and keys.
inline constexpr std::string_view kSettingsFile = "parlavant.ini";
inline constexpr std::string_view kSection = "General";
// Read at creation, never written: the web service's "host" or "host:port".
inline constexpr std::string_view kWebServiceKey = "WebService";
// The language last used with each contact, by their handle escaped (ContactKey).
inline constexpr std::string_view kContactSection = "ContactLanguages";
// The language codes that the translation service and the interface texts know.
inline constexpr std::int32_t kEnglish = 1;
inline constexpr std::int32_t kBulgarian = 2;
inline constexpr std::int32_t kTurkish = 3;
inline constexpr std::int32_t kGerman = 4;
inline constexpr std::int32_t kSpanish = 5;
inline constexpr std::int32_t kFrench = 6;
inline constexpr std::int32_t kItalian = 7;

// Why a send is refused before anything is translated.
inline constexpr std::string_view kNotConnectedMessage = "Not connected to the chat client.";
inline constexpr std::string_view kNoRecipientMessage =
    "No contact is chosen in the list: pick the contact to send the message to.";
// What a received message's line says when it could not be translated (before the reason).
inline constexpr std::u16string_view kUntranslated = u"untranslated";
// What a sent message's line says when it did not reach the recipient, and why when the chat
// client has gone; the caption says the latter too until the client attaches again.
inline constexpr std::u16string_view kNotDelivered = u"not delivered";
inline constexpr std::string_view kClientGone = "the chat client is gone";
// The interface texts, by their bare name.
inline constexpr std::string_view kInterfaceFile = "stintf.dat";

class TMainForm : public QWidget {
 public:
  // Creates the window from its design and runs FormCreate; an error there is shown in the
  // application's error box and the window stays as far as it was set up. `settingsPath` is
  // where "parlavant.ini" lives.
  TMainForm(TApplication& application, std::string settingsPath);

  // Controls, named as designed.
  QLabel* l_Translate_To;
  QComboBox* TranslateTo;
  QCheckBox* WarnCB;
  PageControl* PageControl1;
  QPlainTextEdit* SendMessage;
  QPushButton* btnSend;
  QLabel* l_Send_To;
  QComboBox* ToUsers;
  QLabel* l_in;
  QComboBox* SendIn;
  // Non-visual components.
  chatlink::TSkypeControl SkypeControl;
  translate::HttpClient HTTP;

  // Handlers, as the toolkit and the link call them (errors pass through to the caller).
  void FormCreate();
  void FormClose();
  void TranslateToChange();
  void SendMessageChange();
  void SkypeControlAttachSuccess(chatlink::TSkypeControl& sender);
  void SkypeControlCurrentUserHandle(const std::string& userHandle);
  void SkypeControlSearchResult(chatlink::TSkypeSearchType searchType, chatlink::TStringList aList);
  void SkypeControlChatMsgInfo(std::int32_t chatMsgId, chatlink::TSkypeChatMsgProperty property,
                               const std::string& value);
  void btnSendClick();
  void ToUsersChange();
  void SkypeControlClientGone();
  void PageControl1UserSelect(int index);

  std::u16string Translate(std::u16string_view text, std::int32_t languageCode,
                           std::int32_t* sourceLanguage = nullptr);
  static std::int32_t LangCodeFromComboIndex(int index);
  static int ComboIndexFromLangCode(std::int32_t code);  // -1 for none
  // The item of the language lists for the locale's language; -1 when it is none of them.
  static int ComboIndexForLocale(const std::string& iso);
  // A handle as a key of the settings file: every byte but letters, digits and "@._-" as "%XX",
  // so that no handle can end the key or start a section. Compared without regard to letter
  // case, as handles are.
  static std::string ContactKey(const std::string& handle);

  // A received message was shown while the window is not the active one: the sender and the
  // line as the tab shows it (the translation, or the original where it failed).
  std::function<void(const std::u16string& sender, const std::u16string& line)> OnUnseenMessage;

  // The conversation tab for a handle (its caption compared exactly), made when missing; and the
  // text box named "Memo" on a page (the name compared without regard to letter case), or null.
  QWidget* FindOrCreateConversationTab(const std::string& handle);
  static QPlainTextEdit* FindMemo(QWidget* page);

  // The window caption in 8 bits, as the caption holds it.
  const std::string& CaptionAnsi() const { return form_->CaptionAnsi(); }
  uilocal::TComponent& Component() const { return *form_; }
  // The language the interface was last switched to.
  std::int32_t InterfaceLanguage() const { return interfaceLanguage_; }

  // Program-wide state, alive as long as the program's one window.
  std::string CurrentUserHandle;
  TPendingChatMsgList PendingChatMessages;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // The design (in main_form_layout.cpp), and the handlers bound to the link and the controls.
  void Design();
  void MakeControls();
  void LayOut();
  WidgetComponent& Own(uilocal::ComponentKind kind, std::string name, QWidget* widget);
  void FitOnCaption(WidgetComponent& component, QLabel* label);
  void BindEvents();
  void Place(QWidget* control, int left, int top, int width, int height, int anchors);
  void SetClientSize(int width, int height);
  void FitLabel(QLabel* label);
  static void AppendLine(QPlainTextEdit* memo, const std::u16string& line);
  QString TypedText() const;
  // The item of `ToUsers` for a handle, compared without regard to letter case; -1 for none.
  int ContactIndex(const QString& handle) const;
  // The chat client is attached again: the caption no longer says it is gone.
  void ClientBack();
  // The send language remembered for a contact (an item of SendIn), -1 for none; and keeping it.
  int ContactLanguage(const std::string& handle);
  void RememberContactLanguage(const std::string& handle, int index);
  // "in" follows the chosen contact's language, where one is known.
  void FollowContactLanguage();

  TApplication& application_;
  platform::ProfileFile settings_;
  translate::TranslationService service_;
  // The form's component, held here alone; the application only lists it, and the controls'
  // components are its own.
  std::unique_ptr<WidgetComponent> form_;
  WidgetComponent* pageControl_ = nullptr;
  AnchorLayout layout_;
  std::string captionSuffix_;
  std::int32_t interfaceLanguage_ = 0;
  std::set<std::string> sendersAdded_;  // wrote without being contacts
  // The messages sent and not yet reported delivered, by the chat client's id: the recipient
  // and the line the tab shows for it.
  struct Sent {
    std::string recipient;
    std::u16string line;
  };
  std::map<std::int32_t, Sent> sent_;
  bool sending_ = false;  // inside the send of a message: its id is being reported
  std::int32_t sendingId_ = -1;
  bool clientGone_ = false;
  bool receiveFailing_ = false;  // the last received message's translation failed
  std::map<std::string, int> contactLanguages_;  // read from the settings file as needed
};

}  // namespace app
