#include "app/form_core.h"

#include <algorithm>
#include <cctype>
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

// By the lists' sorted items: Deutch, English, Espanol, Francais, Italiano, Turkce, Български.
constexpr std::int32_t kCodes[] = {kGerman,  kEnglish, kSpanish,  kFrench,
                                   kItalian, kTurkish, kBulgarian};
constexpr const char* kIsoCodes[] = {"de", "en", "es", "fr", "it", "tr", "bg"};

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

FormCore::FormCore(FormView& view, FormContext context, std::string settingsPath)
    : SkypeControl(context.window),
      view_(view),
      context_(std::move(context)),
      settings_(std::move(settingsPath)) {
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
  return index >= 0 && index < static_cast<int>(std::size(kCodes)) ? kCodes[index] : kEnglish;
}

int FormCore::ComboIndexFromLangCode(std::int32_t code) {
  for (int i = 0; i < static_cast<int>(std::size(kCodes)); ++i) {
    if (kCodes[i] == code) return i;
  }
  return -1;
}

int FormCore::ComboIndexForLocale(const std::string& iso) {
  for (int i = 0; i < static_cast<int>(std::size(kIsoCodes)); ++i) {
    if (iso == kIsoCodes[i]) return i;
  }
  return -1;
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

int FormCore::ContactLanguage(const std::string& handle) {
  const std::string key = LowerAscii(ContactKey(handle));
  auto it = contactLanguages_.find(key);
  if (it == contactLanguages_.end()) {
    const int index = ItemOrNone(ListControl::kSendIn,
                                 settings_.ReadInteger(kContactSection, ContactKey(handle), -1));
    it = contactLanguages_.emplace(key, index).first;
  }
  return it->second;
}

void FormCore::RememberContactLanguage(const std::string& handle, int index) {
  if (index < 0 || ContactLanguage(handle) == index) return;
  contactLanguages_[LowerAscii(ContactKey(handle))] = index;
  if (!settings_.WriteString(kContactSection, ContactKey(handle), std::to_string(index))) {
    throw platform::Error("Unable to write to " + settings_.Path() + ": " + settings_.LastError());
  }
}

void FormCore::FollowContactLanguage() {
  const int chosen = view_.ItemIndex(ListControl::kToUsers);
  if (chosen < 0) return;
  const int index = ContactLanguage(view_.ItemAnsi(ListControl::kToUsers, chosen));
  if (index >= 0) view_.SetItemIndex(ListControl::kSendIn, index);
}

void FormCore::FormCreate() {
  // Without settings, the user reads in their desktop's language, and sends in another: the
  // same one would translate nothing.
  const int localeIndex = ComboIndexForLocale(platform::UserLanguage());
  view_.SetItemIndex(
      ListControl::kTranslateTo,
      ItemOrNone(ListControl::kTranslateTo,
                 settings_.ReadInteger(kSection, "Receive", std::max(localeIndex, 0))));
  const int sendDefault = view_.ItemIndex(ListControl::kTranslateTo) == 0 ? 1 : 0;
  view_.SetItemIndex(
      ListControl::kSendIn,
      ItemOrNone(ListControl::kSendIn, settings_.ReadInteger(kSection, "Send", sendDefault)));
  view_.SetBounds({settings_.ReadInteger(kSection, "Left", 230),
                   settings_.ReadInteger(kSection, "Top", 160),
                   settings_.ReadInteger(kSection, "Width", 370),
                   settings_.ReadInteger(kSection, "Height", 338)});
  view_.SetWarnChecked(settings_.ReadInteger(kSection, "ShowWarn", 1) == 1);
  const std::string webService =
      settings_.ReadString(kSection, kWebServiceKey, translate::kDefaultWebServiceHost);
  try {
    translate::ParseHostSetting(webService, "/");
    service_.webServiceHost = webService;
  } catch (const platform::Error& e) {
    // Said once, when start-up is over (an error here would skip the steps below); meanwhile
    // and from then on the default host serves.
    service_.webServiceHost = std::string(translate::kDefaultWebServiceHost);
    const std::string message = std::string(kWebServiceKey) + " in " + std::string(kSettingsFile) +
                                ": " + e.what() + "; " +
                                std::string(translate::kDefaultWebServiceHost) + " is used";
    view_.Later([this, message] { context_.guard([&] { throw platform::Error(message); }); });
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
      {"Receive", view_.ItemIndex(ListControl::kTranslateTo)},
      {"Send", view_.ItemIndex(ListControl::kSendIn)},
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

void FormCore::TranslateToChange() {
  interfaceLanguage_ = LangCodeFromComboIndex(view_.ItemIndex(ListControl::kTranslateTo));
  uilocal::SetInterfaceLanguage(context_.root, interfaceLanguage_);
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
  std::string caption = view_.CaptionAnsi();
  const std::string gone = " (" + std::string(kClientGone) + ")";
  if (caption.ends_with(gone)) caption.resize(caption.size() - gone.size());
  view_.SetCaptionAnsi(caption);
}

void FormCore::SkypeControlClientGone() {
  // Until it announces itself again: what is sent meanwhile would be lost.
  if (clientGone_) return;
  clientGone_ = true;
  view_.SetCaptionAnsi(view_.CaptionAnsi() + " (" + std::string(kClientGone) + ")");
}

void FormCore::SkypeControlCurrentUserHandle(const std::string& userHandle) {
  CurrentUserHandle = userHandle;
  ClientBack();  // a client that reports the user is there
  // The handle shows once: what an earlier report added is replaced, not appended to.
  std::string caption = view_.CaptionAnsi();
  if (!captionSuffix_.empty() && caption.ends_with(captionSuffix_)) {
    caption.resize(caption.size() - captionSuffix_.size());
  }
  captionSuffix_ = " - " + userHandle;
  view_.SetCaptionAnsi(caption + captionSuffix_);
}

void FormCore::SkypeControlSearchResult(chatlink::TSkypeSearchType, chatlink::TStringList aList) {
  // A new list keeps the recipient the user chose, and the people who wrote without being
  // contacts, so that they can still be answered.
  const int chosenIndex = view_.ItemIndex(ListControl::kToUsers);
  const std::string chosen =
      chosenIndex >= 0 ? view_.ItemAnsi(ListControl::kToUsers, chosenIndex) : std::string();
  view_.ClearItems(ListControl::kToUsers);
  for (const std::string& handle : aList) view_.AddSorted(ListControl::kToUsers, handle);
  for (const std::string& handle : sendersAdded_) {
    if (ContactIndex(handle) < 0) view_.AddSorted(ListControl::kToUsers, handle);
  }
  const int kept = chosen.empty() ? -1 : view_.FindItem(ListControl::kToUsers, chosen, false);
  view_.SetItemIndex(ListControl::kToUsers, kept >= 0                                    ? kept
                                            : view_.ItemCount(ListControl::kToUsers) > 0 ? 0
                                                                                         : -1);
  if (kept < 0) FollowContactLanguage();
}

int FormCore::ItemOrNone(ListControl list, int index) const {
  return index >= 0 && index < view_.ItemCount(list) ? index : -1;
}

int FormCore::ContactIndex(const std::string& handle) const {
  return view_.FindItem(ListControl::kToUsers, handle, true);
}

void FormCore::PageControl1UserSelect(int index) {
  // The tab is the conversation: choosing it chooses whom the next message goes to.
  const int contact = ContactIndex(view_.PageCaptionAnsi(index));
  if (contact >= 0 && contact != view_.ItemIndex(ListControl::kToUsers)) {
    view_.SetItemIndex(ListControl::kToUsers, contact);
    FollowContactLanguage();
  }
}

void FormCore::ToUsersChange() {
  FollowContactLanguage();
  const int chosen = view_.ItemIndex(ListControl::kToUsers);
  const std::string handle = chosen >= 0 ? view_.ItemAnsi(ListControl::kToUsers, chosen) : "";
  for (int i = 0; i < view_.PageCount(); ++i) {
    if (view_.PageCaptionAnsi(i) == handle) {
      view_.SelectPage(i);
      return;
    }
  }
}

int FormCore::FindOrCreateConversationPage(const std::string& handle) {
  for (int i = 0; i < view_.PageCount(); ++i) {
    if (view_.PageCaptionAnsi(i) == handle) return i;
  }
  return view_.AddPage(handle);
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
      // Said in the recipient's tab with its text, so that the user can send it again.
      auto it = sent_.find(chatMsgId);
      if (it == sent_.end()) return;
      const Sent failed = std::move(it->second);
      sent_.erase(it);
      const int page = FindOrCreateConversationPage(failed.recipient);
      view_.AppendLine(page, failed.line + u" (" + std::u16string(kNotDelivered) + u")");
      view_.SetPageUnread(page, true);
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

  // The message changes neither the chosen recipient nor the page the user reads: while they
  // type to one person another may write. Only when nobody is chosen yet is the sender chosen;
  // a sender who is no contact is added, so that they can be answered.
  // Asked first: adding to an empty list makes its first item the current one.
  const bool nobodyChosen = view_.ItemIndex(ListControl::kToUsers) < 0;
  int contact = ContactIndex(record->FromHandle);
  if (contact < 0) {
    contact = view_.AddSorted(ListControl::kToUsers, record->FromHandle);
    sendersAdded_.insert(record->FromHandle);
  }
  if (nobodyChosen) {
    view_.SetItemIndex(ListControl::kToUsers, contact);
    FollowContactLanguage();
  }

  const int page = FindOrCreateConversationPage(record->FromHandle);
  view_.ShowPages();
  const std::int32_t code = LangCodeFromComboIndex(view_.ItemIndex(ListControl::kTranslateTo));
  const std::u16string received = platform::Utf8Decode(record->Body);
  const std::u16string from = platform::AnsiToWide(record->FromHandle);
  view_.SetPageUnread(page, true);
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
    std::u16string reason = platform::AnsiToWide(e.what());
    for (std::size_t at; (at = reason.find_first_of(u"\r\n")) != std::u16string::npos;) {
      const std::size_t end = reason.find_first_not_of(u"\r\n", at);
      reason.replace(at, (end == std::u16string::npos ? reason.size() : end) - at, u" ");
    }
    view_.AppendLine(page, from + u": " + received + u" (" + std::u16string(kUntranslated) + u": " +
                               reason + u")");
    tell(received);
    PendingChatMessages.Remove(record);
    if (receiveFailing_) return;
    receiveFailing_ = true;
    throw;
  }
  receiveFailing_ = false;
  view_.AppendLine(page, from + u": " + translation + u"(" + received + u")");
  const std::string handle = record->FromHandle;
  PendingChatMessages.Remove(record);
  tell(translation);
  // What the contact writes in is what to answer them in, until the user chooses otherwise.
  const int written = ComboIndexFromLangCode(source);
  if (written >= 0 && ContactLanguage(handle) < 0) {
    RememberContactLanguage(handle, written);
    if (ContactIndex(handle) == view_.ItemIndex(ListControl::kToUsers)) FollowContactLanguage();
  }
}

void FormCore::btnSendClick() {
  // A message that cannot reach anybody is neither translated nor shown as sent: the typed text
  // stays for another try. (There is no read time-out, so a translation that would be thrown
  // away is not even started.)
  if (!SkypeControl.Attached()) throw platform::Error(std::string(kNotConnectedMessage));
  const int chosen = view_.ItemIndex(ListControl::kToUsers);
  if (chosen < 0) throw platform::Error(std::string(kNoRecipientMessage));
  const std::string recipient = view_.ItemAnsi(ListControl::kToUsers, chosen);
  const int sendIndex = view_.ItemIndex(ListControl::kSendIn);
  const std::int32_t code = LangCodeFromComboIndex(sendIndex);
  const std::u16string typed = view_.TypedText();
  const std::u16string translation = Translate(typed, code);
  std::u16string signature;
  if (view_.WarnChecked()) {
    signature = code == kBulgarian ? platform::CyrillicToWide(kBulgarianSignature)
                                   : std::u16string(kEnglishSignature);
  }
  // The chat client reports the message's id while the command is in flight.
  sending_ = true;
  sendingId_ = -1;
  const bool taken =
      SkypeControl.SendChatMessage(recipient, platform::Utf8Encode(translation + signature));
  sending_ = false;

  const int page = FindOrCreateConversationPage(recipient);
  view_.ShowPages();
  std::u16string line = platform::AnsiToWide(CurrentUserHandle) + u": " + typed;
  if (!translation.empty()) line += u" (" + translation + u")";
  if (!taken) {
    // Not shown as sent: the typed text stays for when the client is back.
    view_.AppendLine(page, line + u" (" + std::u16string(kNotDelivered) + u": " +
                               platform::AnsiToWide(kClientGone) + u")");
    return;
  }
  view_.AppendLine(page, line);
  RememberContactLanguage(recipient, sendIndex);
  if (sendingId_ >= 0) {
    sent_[sendingId_] = {recipient, line};
    // Bounded: the client reports on the newest; the oldest outcomes are not waited for.
    if (sent_.size() > 1000) sent_.erase(sent_.begin());
  }
  view_.ClearTyped();
  view_.SetSendEnabled(false);
}

}  // namespace app
