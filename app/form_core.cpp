#include "app/form_core.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/location.h"
#include "uilocal/translate_interface.h"

namespace app {
namespace {

// " - Преведено със Parlavant", held in Windows-1251 and widened by CyrillicToWide, as the
// interface texts are.
constexpr std::string_view kBulgarianSignature =
    " - \xCF\xF0\xE5\xE2\xE5\xE4\xE5\xED\xEE \xF1\xFA\xF1 Parlavant";
constexpr std::u16string_view kEnglishSignature = u" - Translated with Parlavant";

// An item of the language lists, or -1 (none) for what is no item of theirs.
int ItemOrNone(int index) {
  return index >= 0 && index < static_cast<int>(kLanguageItems.size()) ? index : -1;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

FormCore::FormCore(FormView& view, FormContext context, std::string settingsPath)
    : SkypeControl(context.window),
      view_(view),
      components_(
          context.root,
          {// The interface texts may name the window: that title is the caption then.
           [this](std::u16string_view) { model_.SetCaption(components_.Form().CaptionAnsi()); },
           [this](Control control, std::u16string_view text) { view_.ShowCaption(control, text); },
           [this](int page, std::u16string_view text) { view_.ShowPageCaption(page, text); }}),
      context_(std::move(context)),
      settings_(std::move(settingsPath)) {
  model_.AddListener(this);  // first: a page's components exist before a view shows it
  model_.SetCaption(std::string(kDesignedCaption));
  model_.SetReceiveIn(kDesignedReceiveItem);
  model_.SetSendIn(kDesignedSendItem);
  model_.LoadContactLanguage = [this](const std::string& handle) {
    return StoredContactLanguage(handle);
  };
  // The link's events, bound once.
  SkypeControl.IdentName = "Parlavant";
  SkypeControl.AutoReAttach = true;
  SkypeControl.OnAttachSuccess = [this](chatlink::TSkypeControl& sender) {
    SkypeControlAttachSuccess(sender);
  };
  SkypeControl.OnCurrentUserHandle = [this](const std::string& handle) {
    SkypeControlCurrentUserHandle(handle);
  };
  SkypeControl.OnSearchResult = [this](chatlink::TSkypeSearchType type,
                                       chatlink::TStringList list) {
    SkypeControlSearchResult(type, std::move(list));
  };
  SkypeControl.OnChatMsgInfo = [this](std::int32_t id, chatlink::TSkypeChatMsgProperty property,
                                      const std::string& value) {
    SkypeControlChatMsgInfo(id, property, value);
  };
  SkypeControl.OnClientGone = [this](chatlink::TSkypeControl&) { SkypeControlClientGone(); };
}

std::int32_t FormCore::LangCodeFromComboIndex(int index) {
  return index >= 0 && index < static_cast<int>(kLanguageCodes.size())
             ? kLanguageCodes[static_cast<std::size_t>(index)]
             : kEnglish;
}

int FormCore::ComboIndexFromLangCode(std::int32_t code) {
  const auto it = std::find(kLanguageCodes.begin(), kLanguageCodes.end(), code);
  return it != kLanguageCodes.end() ? static_cast<int>(it - kLanguageCodes.begin()) : -1;
}

int FormCore::ComboIndexForLocale(const std::string& iso) {
  const auto it = std::find(kLanguageIsoCodes.begin(), kLanguageIsoCodes.end(), iso);
  return it != kLanguageIsoCodes.end() ? static_cast<int>(it - kLanguageIsoCodes.begin()) : -1;
}

std::string FormCore::ContactKey(const std::string& handle) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string key;
  for (const char c : handle) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || c == '@' || c == '.' || c == '_' || c == '-') {
      key += c;
    } else {
      key += '%';
      key += kHex[byte >> 4];
      key += kHex[byte & 15];
    }
  }
  return key;
}

int FormCore::StoredContactLanguage(const std::string& handle) {
  const std::string key = LowerAscii(ContactKey(handle));
  auto it = storedLanguages_.find(key);
  if (it == storedLanguages_.end()) {
    it = storedLanguages_
             .emplace(key,
                      ItemOrNone(settings_.ReadInteger(kContactSection, ContactKey(handle), -1)))
             .first;
  }
  return it->second;
}

void FormCore::StoreContactLanguage(const std::string& handle, int index) {
  if (index < 0 || StoredContactLanguage(handle) == index) return;
  storedLanguages_[LowerAscii(ContactKey(handle))] = index;
  if (!settings_.WriteString(kContactSection, ContactKey(handle), std::to_string(index))) {
    throw platform::Error("Unable to write to " + settings_.Path() + ": " + settings_.LastError());
  }
}

void FormCore::FormCreate() {
  // Without settings, the user reads in their desktop's language, and sends in another: the
  // same one would translate nothing. English, or Spanish to someone reading English: the
  // bundled translator reaches both from every language it reads (German it reaches from none).
  const int localeIndex = ComboIndexForLocale(platform::UserLanguage());
  model_.SetReceiveIn(
      ItemOrNone(settings_.ReadInteger(kSection, "Receive", std::max(localeIndex, 0))));
  const int sendDefault = model_.ReceiveIn() == 1 ? 2 : 1;
  model_.SetSendIn(ItemOrNone(settings_.ReadInteger(kSection, "Send", sendDefault)));
  view_.SetBounds({settings_.ReadInteger(kSection, "Left", 230),
                   settings_.ReadInteger(kSection, "Top", 160),
                   settings_.ReadInteger(kSection, "Width", 370),
                   settings_.ReadInteger(kSection, "Height", 338)});
  view_.SetWarnChecked(settings_.ReadInteger(kSection, "ShowWarn", 1) == 1);
  // A bad value is said once, when start-up is over (an error here would skip the steps
  // below); meanwhile and from then on the default serves.
  auto sayDefaultUsed = [this](std::string_view key, const std::string& why,
                               const std::string& used) {
    const std::string message = std::string(key) + " in " + std::string(kSettingsFile) + ": " +
                                why + "; " + used + " is used";
    view_.Later([this, message] { context_.guard([&] { throw platform::Error(message); }); });
  };
  const std::string webService =
      settings_.ReadString(kSection, kWebServiceKey, translate::kDefaultWebServiceHost);
  try {
    translate::ParseHostSetting(webService, "/");
    service_.webServiceHost = webService;
  } catch (const platform::Error& e) {
    service_.webServiceHost = std::string(translate::kDefaultWebServiceHost);
    sayDefaultUsed(kWebServiceKey, e.what(), service_.webServiceHost);
  }
  const int timeout = settings_.ReadInteger(kSection, kWebTimeoutKey, kDefaultWebTimeout);
  HTTP.Timeout = std::chrono::seconds(kDefaultWebTimeout);
  if (timeout >= 1 && timeout <= 3600) {
    HTTP.Timeout = std::chrono::seconds(timeout);
  } else {
    sayDefaultUsed(kWebTimeoutKey, "not a number of seconds from 1 to 3600",
                   std::to_string(kDefaultWebTimeout));
  }
  HTTP.CaFile = std::string(
      platform::TrimProfileBlanks(settings_.ReadString(kSection, kWebCaFileKey, "")));
  // A key goes on a header line: anything but printable ASCII would break the request.
  const std::string key(
      platform::TrimProfileBlanks(settings_.ReadString(kSection, kWebApiKeyKey, "")));
  if (std::all_of(key.begin(), key.end(), [](char c) { return c > 0x20 && c < 0x7F; })) {
    service_.webApiKey = key;
  } else {
    sayDefaultUsed(kWebApiKeyKey, "not printable ASCII without blanks", "no key");
  }

  if (settings_.ReadInteger(kSection, kKeepHistoryKey, 1) != 0 && context_.openHistory) {
    history_ = context_.openHistory();
    if (history_) {
      keeper_ = std::make_unique<HistoryKeeper>(model_, *history_, [] {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
      });
      keeper_->OnChange = [this] { SayHistoryProblem(); };
    }
  }
  uilocal::LoadTranslations(std::string(kInterfaceFile), context_.dataDirectories);
  SkypeControl.Attach(chatlink::kRequestedProtocol);
  PendingChatMessages.Clear();
  TranslateToChange();
  view_.PlaceBottomRow();
}

void FormCore::FormClose() {
  const FormBounds bounds = view_.Bounds();
  const std::pair<std::string_view, std::int32_t> values[] = {
      {"Receive", model_.ReceiveIn()},
      {"Send", model_.SendIn()},
      {"Left", bounds.left},
      {"Top", bounds.top},
      {"Width", bounds.width},
      {"Height", bounds.height},
      {"ShowWarn", view_.WarnChecked() ? 1 : 0}};
  for (const auto& [key, value] : values) {
    if (!settings_.WriteString(kSection, key, std::to_string(value))) {
      throw platform::Error("Unable to write to " + settings_.Path() + ": " +
                            settings_.LastError());
    }
  }
}

void FormCore::FormActivate() {
  model_.ReadShown();
}

void FormCore::TranslateToChange() {
  interfaceLanguage_ = LangCodeFromComboIndex(model_.ReceiveIn());
  uilocal::SetInterfaceLanguage(context_.root, interfaceLanguage_);
}

void FormCore::ConversationAdded(int conversation) {
  components_.AddPage(model_.At(conversation).handle);
}

void FormCore::SayHistoryProblem() {
  if (!history_) return;
  const std::string problem = history_->TakeProblem();
  if (problem.empty()) return;
  view_.Later([this, problem] { context_.guard([&] { throw platform::Error(problem); }); });
}

bool FormCore::PageScrolledToTop(int conversation) {
  return keeper_ && keeper_->LoadEarlier(conversation);
}

void FormCore::ForgetConversation(int conversation) {
  if (conversation < 0 || conversation >= model_.ConversationCount()) return;
  if (keeper_) {
    keeper_->Forget(conversation);
  } else {
    model_.ClearLines(conversation);
  }
}

void FormCore::TranslateToChange(int item) {
  model_.SetReceiveIn(ItemOrNone(item));
  TranslateToChange();
}

void FormCore::SendInChange(int item) {
  model_.SetSendIn(ItemOrNone(item));
}

void FormCore::SendMessageChange() {
  const std::u16string text = view_.TypedText();
  std::size_t first = 0, last = text.size();
  while (first < last && text[first] <= 0x20) ++first;
  while (last > first && text[last - 1] <= 0x20) --last;
  view_.SetSendEnabled(last > first);
}

void FormCore::SkypeControlAttachSuccess(chatlink::TSkypeControl& sender) {
  ClientBack();
  sender.Search(chatlink::stFriends, "");
}

void FormCore::ClientBack() {
  if (!clientGone_) return;
  clientGone_ = false;
  std::string caption = model_.Caption();
  const std::string gone = " (" + std::string(kClientGone) + ")";
  if (caption.ends_with(gone)) caption.resize(caption.size() - gone.size());
  model_.SetCaption(caption);
}

void FormCore::SkypeControlClientGone() {
  // Until it announces itself again: what is sent meanwhile would be lost.
  if (clientGone_) return;
  clientGone_ = true;
  model_.SetCaption(model_.Caption() + " (" + std::string(kClientGone) + ")");
}

void FormCore::SkypeControlCurrentUserHandle(const std::string& userHandle) {
  CurrentUserHandle = userHandle;
  ClientBack();  // a client that reports the user is there
  // The handle shows once: what an earlier report added is replaced, not appended to.
  std::string caption = model_.Caption();
  if (!captionSuffix_.empty() && caption.ends_with(captionSuffix_)) {
    caption.resize(caption.size() - captionSuffix_.size());
  }
  captionSuffix_ = " - " + userHandle;
  model_.SetCaption(caption + captionSuffix_);
  if (keeper_) keeper_->SignedIn(userHandle);
}

void FormCore::SkypeControlSearchResult(chatlink::TSkypeSearchType, chatlink::TStringList aList) {
  model_.SetContacts(aList);
}

void FormCore::PageControl1UserSelect(int conversation) {
  model_.ShowConversation(conversation);
}

void FormCore::ToUsersChange(int contact) {
  model_.ChooseRecipient(contact);
}

std::u16string FormCore::Translate(std::u16string_view text, std::int32_t languageCode,
                                   std::int32_t* sourceLanguage) {
  // The window stands still while the exchange runs: say so with the busy cursor, restored on
  // every way out.
  view_.SetBusy(true);
  struct Restore {
    FormView& view;
    ~Restore() { view.SetBusy(false); }
  } restore{view_};
  return translate::Translate(HTTP, context_.desktop, service_, text, languageCode, sourceLanguage);
}

void FormCore::SkypeControlChatMsgInfo(std::int32_t chatMsgId,
                                       chatlink::TSkypeChatMsgProperty property,
                                       const std::string& value) {
  if (property == chatlink::cmStatus) {
    if (value == "SENDING" && sending_ && sendingId_ < 0) sendingId_ = chatMsgId;
    if (value == "SENT") sent_.erase(chatMsgId);
    if (value == "FAILED") {
      // Said in the recipient's page with its text, so that the user can send it again.
      auto it = sent_.find(chatMsgId);
      if (it == sent_.end()) return;
      const Sent failed = std::move(it->second);
      sent_.erase(it);
      model_.AddLine(
          failed.conversation,
          {LineKind::kNotDelivered, failed.line + u" (" + std::u16string(kNotDelivered) + u")"},
          true, view_.IsActive());
      return;
    }
    if (value == "RECEIVED") {
      // The answers usually arrive while these requests are in flight: this handler then runs
      // again, nested inside this very call, and may complete the record there.
      SkypeControl.GetChatMessageProperty(chatMsgId, chatlink::cmFromHandle);
      SkypeControl.GetChatMessageProperty(chatMsgId, chatlink::cmBody);
    }
    return;
  }
  if (property != chatlink::cmBody && property != chatlink::cmFromHandle) return;
  TPendingChatMsg* record = PendingChatMessages.FindOrCreate(chatMsgId);
  (property == chatlink::cmBody ? record->Body : record->FromHandle) = value;
  if (!record->Complete()) return;

  // The sender's page, made when missing; the message changes neither the chosen recipient nor
  // the page on show (while the user types to one person another may write), unless nothing
  // was on show yet.
  const int conversation = model_.OpenConversation(record->FromHandle);
  model_.ShowPages();
  const std::int32_t code = LangCodeFromComboIndex(model_.ReceiveIn());
  const std::u16string received = platform::Utf8Decode(record->Body);
  const std::u16string from = platform::AnsiToWide(record->FromHandle);
  std::u16string translation;
  std::int32_t source = 0;
  // Told when the user is elsewhere, whether the line is translated or not.
  auto tell = [&](const std::u16string& line) {
    if (view_.IsActive()) return;
    view_.RequestAttention();
    if (OnUnseenMessage) OnUnseenMessage(from, line);
  };
  try {
    // The chat client is still waiting in its send of the line that got us here: it stands
    // still until the translation is over, as the window does.
    translation = Translate(received, code, &source);
  } catch (const std::exception& e) {
    // The message is shown as it came rather than lost, and said once for a run of failures
    // (while the translator is down every message would bring its own box).
    // On the message's own line, so the reason's line breaks go.
    std::u16string reason = TranslatorNews();
    if (reason.empty()) reason = platform::AnsiToWide(e.what());
    for (std::size_t at; (at = reason.find_first_of(u"\r\n")) != std::u16string::npos;) {
      const std::size_t end = reason.find_first_not_of(u"\r\n", at);
      reason.replace(at, (end == std::u16string::npos ? reason.size() : end) - at, u" ");
    }
    model_.AddLine(
        conversation,
        {LineKind::kUntranslated,
         from + u": " + received + u" (" + std::u16string(kUntranslated) + u": " + reason + u")"},
        true, view_.IsActive());
    tell(received);
    PendingChatMessages.Remove(record);
    if (receiveFailing_) return;
    receiveFailing_ = true;
    throw;
  }
  receiveFailing_ = false;
  const std::string handle = record->FromHandle;
  PendingChatMessages.Remove(record);
  const ConversationLine line{LineKind::kReceived,
                              from + u": " + translation + u"(" + received + u")"};
  if (keeper_ && keeper_->AlreadyKept(conversation, line, chatMsgId)) return;
  // What the contact writes in is what to answer them in, until the user chooses otherwise.
  // Kept before the line is shown: the line's commit to the history is then the last thing
  // before the chat client learns the message was taken, and a crash between the two (which
  // would show it again) is as short as it can be.
  const int written = ComboIndexFromLangCode(source);
  if (written >= 0 && model_.ContactLanguage(handle) < 0) {
    StoreContactLanguage(handle, written);
    model_.SetContactLanguage(handle, written);
  }
  if (keeper_) keeper_->Receiving(chatMsgId);
  model_.AddLine(conversation, line, true, view_.IsActive());
  tell(translation);
}

std::u16string FormCore::TranslatorNews() {
  const char* path = std::getenv(kTranslatorStateVariable);
  if (path == nullptr || *path == '\0') return {};
  std::ifstream file(path);
  std::string state;
  file >> state;
  if (state == "restarting") return std::u16string(kTranslatorRestarting);
  if (state == "stopped") return std::u16string(kTranslatorStopped);
  return {};
}

void FormCore::btnSendClick() {
  // A message that cannot reach anybody is neither translated nor shown as sent: the typed text
  // stays for another try. (A translation may take up to WebTimeout seconds, so one that would
  // be thrown away is not even started.)
  if (!SkypeControl.Attached()) throw platform::Error(std::string(kNotConnectedMessage));
  if (model_.Recipient() < 0) throw platform::Error(std::string(kNoRecipientMessage));
  // The person on show is the one answered; their page takes the line whatever comes meanwhile.
  const std::string recipient = model_.RecipientHandle();
  const int conversation = model_.Shown();
  const int sendIndex = model_.SendIn();
  const std::int32_t code = LangCodeFromComboIndex(sendIndex);
  const std::u16string typed = view_.TypedText();
  std::int32_t typedIn = 0;
  const std::u16string translation = Translate(typed, code, &typedIn);
  std::u16string signature;
  // Text the translator gave back because it was already in the language it goes out in was
  // not translated: signing it so would be false.
  if (view_.WarnChecked() && typedIn != code) {
    signature = code == kBulgarian ? platform::CyrillicToWide(kBulgarianSignature)
                                   : std::u16string(kEnglishSignature);
  }
  // The chat client reports the message's id while the command is in flight.
  sending_ = true;
  sendingId_ = -1;
  const bool taken =
      SkypeControl.SendChatMessage(recipient, platform::Utf8Encode(translation + signature));
  sending_ = false;

  model_.ShowPages();
  std::u16string line = platform::AnsiToWide(CurrentUserHandle) + u": " + typed;
  if (!translation.empty()) line += u" (" + translation + u")";
  if (!taken) {
    // Not shown as sent: the typed text stays for when the client is back.
    model_.AddLine(conversation,
                   {LineKind::kNotDelivered, line + u" (" + std::u16string(kNotDelivered) + u": " +
                                                 platform::AnsiToWide(kClientGone) + u")"},
                   false, view_.IsActive());
    return;
  }
  model_.AddLine(conversation, {LineKind::kSent, line}, false, view_.IsActive());
  model_.SetContactLanguage(recipient, sendIndex);
  if (sendingId_ >= 0) {
    sent_[sendingId_] = {conversation, line};
    // Bounded: the client reports on the newest; the oldest outcomes are not waited for.
    if (sent_.size() > 1000) sent_.erase(sent_.begin());
  }
  view_.ClearTyped();
  view_.SetSendEnabled(false);
  StoreContactLanguage(recipient, sendIndex);
}

}  // namespace app
