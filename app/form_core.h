#pragma once

// What Parlavant's window does, apart from any toolkit: it restores its settings, attaches to
// the chat client, fills the contact list, shows every received chat message translated beside
// the original in a tab per contact, and sends the user's messages translated, optionally
// signed. It speaks to its controls through a FormView; the Qt window and the Win32 window each
// give it theirs and call its handlers from their controls' events.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/form_components.h"
#include "app/form_design.h"
#include "app/form_model.h"
#include "app/form_view.h"
#include "app/history.h"
#include "app/history_keeper.h"
#include "app/pending.h"
#include "chatlink/skype_control.h"
#include "platform/app_window.h"
#include "platform/desktop.h"
#include "platform/profile.h"
#include "translate/translate.h"
#include "uilocal/component.h"

namespace app {

// The settings file's name, section and keys.
inline constexpr std::string_view kSettingsFile = "parlavant.ini";
inline constexpr std::string_view kSection = "General";
// Read at creation, never written: the web service's "host" or "host:port".
inline constexpr std::string_view kWebServiceKey = "WebService";
// Read at creation, never written: how many seconds one translation may take (1 to 3600).
inline constexpr std::string_view kWebTimeoutKey = "WebTimeout";
inline constexpr int kDefaultWebTimeout = 20;
// Read at creation, never written: PEM certificates to trust for an https:// web service instead
// of the system's roots.
inline constexpr std::string_view kWebCaFileKey = "WebCaFile";
// Read at creation, never written: the key sent to the web service as X-Api-Key.
inline constexpr std::string_view kWebApiKeyKey = "WebApiKey";
// Read at creation, never written: 0 keeps no history and shows none.
inline constexpr std::string_view kKeepHistoryKey = "KeepHistory";
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
inline constexpr std::string_view kNotConnectedMessage = "Not connected to the chat yet.";
inline constexpr std::string_view kNoRecipientMessage =
    "No contact is chosen in the list: pick the contact to send the message to.";
// What a received message's line says when it could not be translated (before the reason).
inline constexpr std::u16string_view kUntranslated = u"untranslated";
// Where the launcher keeps how the translator it started is ("running", "restarting",
// "stopped"), for a received message's line to say why it is untranslated in words.
inline constexpr const char* kTranslatorStateVariable = "PARLAVANT_TRANSLATOR_STATE";
inline constexpr std::u16string_view kTranslatorRestarting =
    u"the translator stopped and is being started again";
inline constexpr std::u16string_view kTranslatorStopped =
    u"the translator keeps stopping and was left stopped; \"Start the translator\" in "
    u"Parlavant's menu tries again";
// What a sent message's line says when it did not reach the recipient, and why when the chat
// client has gone; the caption says the latter too until the client attaches again.
inline constexpr std::u16string_view kNotDelivered = u"not delivered";
inline constexpr std::string_view kClientGone = "the chat connection has closed";
// The interface texts, by their bare name.
inline constexpr std::string_view kInterfaceFile = "stintf.dat";

// What the form uses of the application that holds it.
struct FormContext {
  platform::Desktop& desktop;
  platform::ApplicationWindow& window;  // the link's window
  uilocal::TComponent& root;            // the component tree the interface texts apply to
  const std::vector<std::string>& dataDirectories;
  // Runs a handler as the toolkit runs one: an error that leaves it goes to the error box.
  std::function<bool(const std::function<void()>&)> guard;
  // Opens the conversations' history; none (or no function) keeps nothing.
  std::function<std::unique_ptr<History>()> openHistory = {};
};

class FormCore : private FormModelListener {
 public:
  // `settingsPath` is where "parlavant.ini" lives. Binds the link's events; FormCreate is the
  // window's to call once its controls exist.
  FormCore(FormView& view, FormContext context, std::string settingsPath);

  // Non-visual components.
  chatlink::TSkypeControl SkypeControl;
  translate::HttpClient HTTP;

  // What the window shows: the views render it, the handlers below change it.
  FormModel& Model() { return model_; }
  const FormModel& Model() const { return model_; }
  // The window's components, which the interface texts reach; their captions go to the view.
  FormComponents& Components() { return components_; }

  // Handlers, as the toolkit and the link call them (errors pass through to the caller). The
  // ones taking an index are the user's choices in a list or of a tab.
  void FormCreate();
  void FormClose();
  void FormActivate();
  void TranslateToChange();
  void TranslateToChange(int item);
  void SendInChange(int item);
  void SendMessageChange();
  void SkypeControlAttachSuccess(chatlink::TSkypeControl& sender);
  void SkypeControlCurrentUserHandle(const std::string& userHandle);
  void SkypeControlSearchResult(chatlink::TSkypeSearchType searchType, chatlink::TStringList aList);
  void SkypeControlChatMsgInfo(std::int32_t chatMsgId, chatlink::TSkypeChatMsgProperty property,
                               const std::string& value);
  void btnSendClick();
  void ToUsersChange(int contact);
  void SkypeControlClientGone();
  void PageControl1UserSelect(int conversation);
  // The user scrolled a page to its top: older lines come, when there are any (true).
  bool PageScrolledToTop(int conversation);
  // "Forget this conversation" on a tab.
  void ForgetConversation(int conversation);

  std::u16string Translate(std::u16string_view text, std::int32_t languageCode,
                           std::int32_t* sourceLanguage = nullptr);
  // Why translations fail, in words, where the launcher that started the translator says it:
  // empty where it does not.
  static std::u16string TranslatorNews();
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

  // The language the interface was last switched to.
  std::int32_t InterfaceLanguage() const { return interfaceLanguage_; }

  // Program-wide state, alive as long as the program's one window.
  std::string CurrentUserHandle;
  TPendingChatMsgList PendingChatMessages;

 private:
  // The chat client is attached again: the caption no longer says it is gone.
  void ClientBack();
  // The send language kept for a contact in the settings (an item of SendIn), -1 for none; and
  // keeping one there.
  int StoredContactLanguage(const std::string& handle);
  void StoreContactLanguage(const std::string& handle, int index);

  void ConversationAdded(int conversation) override;
  // What the history could not do, said once in the error box when the handler is over.
  void SayHistoryProblem();

  FormModel model_;
  FormView& view_;
  FormComponents components_;
  FormContext context_;
  platform::ProfileFile settings_;
  translate::TranslationService service_;
  std::string captionSuffix_;
  std::int32_t interfaceLanguage_ = 0;
  // The messages sent and not yet reported delivered, by the chat client's id: the page and the
  // line it shows for it.
  struct Sent {
    int conversation;
    std::u16string line;
  };
  std::map<std::int32_t, Sent> sent_;
  bool sending_ = false;  // inside the send of a message: its id is being reported
  std::int32_t sendingId_ = -1;
  bool clientGone_ = false;
  bool receiveFailing_ = false;                 // the last received message's translation failed
  std::map<std::string, int> storedLanguages_;  // as the settings file has them, read as needed
  std::unique_ptr<History> history_;
  std::unique_ptr<HistoryKeeper> keeper_;  // goes before the history it writes to
};

}  // namespace app
