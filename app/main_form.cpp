#include "app/main_form.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

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

int ItemIndexFor(const QComboBox* list, std::int32_t index) {
  return index >= 0 && index < list->count() ? index : -1;
}

}  // namespace

TMainForm::TMainForm(TApplication& application, std::string settingsPath)
    : SkypeControl(application.Window()),
      application_(application),
      settings_(std::move(settingsPath)) {
  Design();
  BindEvents();
  application_.Guard([this] { FormCreate(); });
}

void TMainForm::BindEvents() {
  // Every handler of the window, in one place: the link's four events and the controls' signals.
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

  // Only a choice of the user's changes the languages; setting the index in code does not.
  connect(TranslateTo, &QComboBox::activated, this,
          [this] { application_.Guard([this] { TranslateToChange(); }); });
  connect(SendMessage, &QPlainTextEdit::textChanged, this,
          [this] { application_.Guard([this] { SendMessageChange(); }); });
  connect(btnSend, &QPushButton::clicked, this,
          [this] { application_.Guard([this] { btnSendClick(); }); });
  connect(ToUsers, &QComboBox::activated, this,
          [this] { application_.Guard([this] { ToUsersChange(); }); });
  PageControl1->OnUserSelect = [this](int index) {
    application_.Guard([this, index] { PageControl1UserSelect(index); });
  };
}

void TMainForm::SetClientSize(int width, int height) {
  resize(std::max(width, minimumWidth()), std::max(height, minimumHeight()));
  layout_.Apply(size());
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layout_.Apply(size());
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // A failed save is shown, and the window closes all the same: a settings file the user made
  // read-only must not keep the program from ending.
  application_.Guard([this] { FormClose(); });
  event->accept();
}

namespace {
// By the lists' sorted items: Deutch, English, Espanol, Francais, Italiano, Turkce, Български.
constexpr std::int32_t kCodes[] = {kGerman,  kEnglish, kSpanish,  kFrench,
                                   kItalian, kTurkish, kBulgarian};
constexpr const char* kIsoCodes[] = {"de", "en", "es", "fr", "it", "tr", "bg"};
}  // namespace

std::int32_t TMainForm::LangCodeFromComboIndex(int index) {
  return index >= 0 && index < static_cast<int>(std::size(kCodes)) ? kCodes[index] : kEnglish;
}

int TMainForm::ComboIndexFromLangCode(std::int32_t code) {
  for (int i = 0; i < static_cast<int>(std::size(kCodes)); ++i) {
    if (kCodes[i] == code) return i;
  }
  return -1;
}

int TMainForm::ComboIndexForLocale(const std::string& iso) {
  for (int i = 0; i < static_cast<int>(std::size(kIsoCodes)); ++i) {
    if (iso == kIsoCodes[i]) return i;
  }
  return -1;
}

std::string TMainForm::ContactKey(const std::string& handle) {
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

int TMainForm::ContactLanguage(const std::string& handle) {
  std::string key = ContactKey(handle);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto it = contactLanguages_.find(key);
  if (it == contactLanguages_.end()) {
    const int index = ItemIndexFor(SendIn, settings_.ReadInteger(kContactSection, ContactKey(handle), -1));
    it = contactLanguages_.emplace(key, index).first;
  }
  return it->second;
}

void TMainForm::RememberContactLanguage(const std::string& handle, int index) {
  if (index < 0 || ContactLanguage(handle) == index) return;
  std::string key = ContactKey(handle);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  contactLanguages_[key] = index;
  if (!settings_.WriteString(kContactSection, ContactKey(handle), std::to_string(index))) {
    throw platform::Error("Unable to write to " + settings_.Path() + ": " + settings_.LastError());
  }
}

void TMainForm::FollowContactLanguage() {
  if (ToUsers->currentIndex() < 0) return;
  const int index = ContactLanguage(ToAnsi(ToUsers->currentText()));
  if (index >= 0) SendIn->setCurrentIndex(index);
}

void TMainForm::FormCreate() {
  // Without settings, the user reads in their desktop's language, and sends in another: the
  // same one would translate nothing.
  const int localeIndex = ComboIndexForLocale(platform::UserLanguage());
  TranslateTo->setCurrentIndex(ItemIndexFor(
      TranslateTo, settings_.ReadInteger(kSection, "Receive", std::max(localeIndex, 0))));
  const int sendDefault = TranslateTo->currentIndex() == 0 ? 1 : 0;
  SendIn->setCurrentIndex(
      ItemIndexFor(SendIn, settings_.ReadInteger(kSection, "Send", sendDefault)));
  move(settings_.ReadInteger(kSection, "Left", 230), settings_.ReadInteger(kSection, "Top", 160));
  SetClientSize(settings_.ReadInteger(kSection, "Width", 370),
                settings_.ReadInteger(kSection, "Height", 338));
  WarnCB->setChecked(settings_.ReadInteger(kSection, "ShowWarn", 1) == 1);
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
    QTimer::singleShot(
        0, this, [this, message] { application_.Guard([&] { throw platform::Error(message); }); });
  }

  uilocal::LoadTranslations(std::string(kInterfaceFile), application_.DataDirectories);
  SkypeControl.Attach(chatlink::kRequestedProtocol);
  PendingChatMessages.Clear();
  TranslateToChange();

  // The bottom row against the client height now in force; the anchors keep it there later.
  const int h = height();
  for (QWidget* control : {static_cast<QWidget*>(btnSend), static_cast<QWidget*>(ToUsers),
                           static_cast<QWidget*>(SendIn)}) {
    layout_.Move(
        control,
        QRect(control->x(), h - control->height() - 2, control->width(), control->height()),
        size());
  }
  for (QWidget* control : {static_cast<QWidget*>(l_Send_To), static_cast<QWidget*>(l_in)}) {
    layout_.Move(
        control,
        QRect(control->x(), h - control->height() - 7, control->width(), control->height()),
        size());
  }
  layout_.Move(SendMessage,
               QRect(SendMessage->x(), SendMessage->y(), SendMessage->width(),
                     btnSend->y() - SendMessage->y() - 3),
               size());
}

void TMainForm::FormClose() {
  const std::pair<std::string_view, std::int32_t> values[] = {
      {"Receive", TranslateTo->currentIndex()},
      {"Send", SendIn->currentIndex()},
      {"Left", x()},
      {"Top", y()},
      {"Width", width()},
      {"Height", height()},
      {"ShowWarn", WarnCB->isChecked() ? 1 : 0}};
  for (const auto& [key, value] : values) {
    if (!settings_.WriteString(kSection, key, std::to_string(value))) {
      throw platform::Error("Unable to write to " + settings_.Path() + ": " +
                            settings_.LastError());
    }
  }
}

void TMainForm::TranslateToChange() {
  interfaceLanguage_ = LangCodeFromComboIndex(TranslateTo->currentIndex());
  uilocal::SetInterfaceLanguage(application_.Root(), interfaceLanguage_);
}

void TMainForm::FitLabel(QLabel* label) {
  // A label is as wide as its text; a right-aligned one keeps its right edge.
  const int width = label->fontMetrics().horizontalAdvance(label->text());
  QRect bounds = label->geometry();
  if (label->alignment() & Qt::AlignRight) {
    bounds.setLeft(bounds.right() + 1 - width);
  } else {
    bounds.setWidth(width);
  }
  layout_.Move(label, bounds, size());
}

QString TMainForm::TypedText() const {
  // As typed: toPlainText() would turn a no-break space into a space and line separators into
  // LF. Block breaks (Enter) and line separators (Shift+Enter) go out as CR LF.
  QString text = SendMessage->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
  text.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
  return text;
}

void TMainForm::SendMessageChange() {
  const QString text = TypedText();
  qsizetype first = 0, last = text.size();
  while (first < last && text[first].unicode() <= 0x20) ++first;
  while (last > first && text[last - 1].unicode() <= 0x20) --last;
  btnSend->setEnabled(last > first);
}

void TMainForm::SkypeControlAttachSuccess(chatlink::TSkypeControl& sender) {
  ClientBack();
  sender.Search(chatlink::stFriends, "");
}

void TMainForm::ClientBack() {
  if (!clientGone_) return;
  clientGone_ = false;
  std::string caption = form_->CaptionAnsi();
  const std::string gone = " (" + std::string(kClientGone) + ")";
  if (caption.ends_with(gone)) caption.resize(caption.size() - gone.size());
  form_->SetCaptionAnsi(caption);
}

void TMainForm::SkypeControlClientGone() {
  // Until it announces itself again: what is sent meanwhile would be lost.
  if (clientGone_) return;
  clientGone_ = true;
  form_->SetCaptionAnsi(form_->CaptionAnsi() + " (" + std::string(kClientGone) + ")");
}

void TMainForm::SkypeControlCurrentUserHandle(const std::string& userHandle) {
  CurrentUserHandle = userHandle;
  ClientBack();  // a client that reports the user is there
  // The handle shows once: what an earlier report added is replaced, not appended to.
  std::string caption = form_->CaptionAnsi();
  if (!captionSuffix_.empty() && caption.ends_with(captionSuffix_)) {
    caption.resize(caption.size() - captionSuffix_.size());
  }
  captionSuffix_ = " - " + userHandle;
  form_->SetCaptionAnsi(caption + captionSuffix_);
}

void TMainForm::SkypeControlSearchResult(chatlink::TSkypeSearchType, chatlink::TStringList aList) {
  // A new list keeps the recipient the user chose, and the people who wrote without being
  // contacts, so that they can still be answered.
  const QString chosen = ToUsers->currentIndex() >= 0 ? ToUsers->currentText() : QString();
  ToUsers->clear();
  for (const std::string& handle : aList) AddSorted(ToUsers, FromAnsi(handle));
  for (const std::string& handle : sendersAdded_) {
    if (ContactIndex(FromAnsi(handle)) < 0) AddSorted(ToUsers, FromAnsi(handle));
  }
  const int kept = chosen.isEmpty() ? -1 : ToUsers->findText(chosen, Qt::MatchExactly);
  ToUsers->setCurrentIndex(kept >= 0 ? kept : ToUsers->count() > 0 ? 0 : -1);
  if (kept < 0) FollowContactLanguage();
}

int TMainForm::ContactIndex(const QString& handle) const {
  for (int i = 0; i < ToUsers->count(); ++i) {
    if (QString::compare(ToUsers->itemText(i), handle, Qt::CaseInsensitive) == 0) return i;
  }
  return -1;
}

void TMainForm::PageControl1UserSelect(int index) {
  // The tab is the conversation: choosing it chooses whom the next message goes to.
  const int contact = ContactIndex(PageControl1->tabText(index));
  if (contact >= 0 && contact != ToUsers->currentIndex()) {
    ToUsers->setCurrentIndex(contact);
    FollowContactLanguage();
  }
}

void TMainForm::ToUsersChange() {
  FollowContactLanguage();
  for (int i = 0; i < PageControl1->count(); ++i) {
    if (PageControl1->tabText(i) == ToUsers->currentText()) {
      PageControl1->setCurrentIndex(i);
      return;
    }
  }
}

QWidget* TMainForm::FindOrCreateConversationTab(const std::string& handle) {
  for (int i = 0; i < pageControl_->ComponentCount(); ++i) {
    auto* sheet = dynamic_cast<WidgetComponent*>(pageControl_->Components(i));
    if (sheet != nullptr && sheet->InheritsFrom(uilocal::ComponentKind::kTabSheet) &&
        sheet->CaptionAnsi() == handle) {
      return sheet->Widget();
    }
  }
  auto* page = new QWidget;
  PageControl1->addTab(page, QString());
  auto* sheet = new WidgetComponent(uilocal::ComponentKind::kTabSheet, "", pageControl_, page);
  sheet->SetCaptionAnsi(handle);
  auto* memo = new QPlainTextEdit(page);
  auto* fill = new QVBoxLayout(page);
  fill->setContentsMargins(0, 0, 0, 0);
  fill->addWidget(memo);
  new WidgetComponent(uilocal::ComponentKind::kMemo, "Memo", sheet, memo);
  memo->setFont(QFont(kControlFace, 8));
  memo->clear();
  memo->setReadOnly(true);
  MakeFlat(memo);
  return page;
}

QPlainTextEdit* TMainForm::FindMemo(QWidget* page) {
  for (QPlainTextEdit* memo : page->findChildren<QPlainTextEdit*>(Qt::FindDirectChildrenOnly)) {
    if (memo->objectName().compare(QStringLiteral("Memo"), Qt::CaseInsensitive) == 0) return memo;
  }
  return nullptr;
}

void TMainForm::AppendLine(QPlainTextEdit* memo, const std::u16string& line) {
  QString text = FromWide(line);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QChar('\r'), QChar('\n'));
  memo->appendPlainText(text);
}

std::u16string TMainForm::Translate(std::u16string_view text, std::int32_t languageCode,
                                    std::int32_t* sourceLanguage) {
  // The window stands still while the exchange runs: say so with the busy cursor, restored on
  // every way out.
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  struct Restore {
    ~Restore() { QGuiApplication::restoreOverrideCursor(); }
  } restore;
  return translate::Translate(HTTP, application_.Desktop(), service_, text, languageCode,
                              sourceLanguage);
}

void TMainForm::SkypeControlChatMsgInfo(std::int32_t chatMsgId,
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
      QWidget* page = FindOrCreateConversationTab(failed.recipient);
      if (QPlainTextEdit* memo = FindMemo(page)) {
        AppendLine(memo, failed.line + u" (" + std::u16string(kNotDelivered) + u")");
        PageControl1->setTabUnread(PageControl1->indexOf(page), true);
      }
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
  const QString sender = FromAnsi(record->FromHandle);
  // Asked first: adding to an empty list makes its first item the current one.
  const bool nobodyChosen = ToUsers->currentIndex() < 0;
  int contact = ContactIndex(sender);
  if (contact < 0) {
    contact = AddSorted(ToUsers, sender);
    sendersAdded_.insert(record->FromHandle);
  }
  if (nobodyChosen) {
    ToUsers->setCurrentIndex(contact);
    FollowContactLanguage();
  }

  QWidget* page = FindOrCreateConversationTab(record->FromHandle);
  QPlainTextEdit* memo = FindMemo(page);
  if (memo == nullptr) return;
  PageControl1->show();
  const std::int32_t code = LangCodeFromComboIndex(TranslateTo->currentIndex());
  const std::u16string received = platform::Utf8Decode(record->Body);
  const std::u16string from = platform::AnsiToWide(record->FromHandle);
  PageControl1->setTabUnread(PageControl1->indexOf(page), true);
  std::u16string translation;
  std::int32_t source = 0;
  // Told when the user is elsewhere, whether the line is translated or not.
  auto tell = [&](const std::u16string& line) {
    if (OnUnseenMessage && !isActiveWindow()) OnUnseenMessage(from, line);
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
    AppendLine(memo, from + u": " + received + u" (" + std::u16string(kUntranslated) + u": " +
                         reason + u")");
    tell(received);
    PendingChatMessages.Remove(record);
    if (receiveFailing_) return;
    receiveFailing_ = true;
    throw;
  }
  receiveFailing_ = false;
  AppendLine(memo, from + u": " + translation + u"(" + received + u")");
  const std::string handle = record->FromHandle;
  PendingChatMessages.Remove(record);
  tell(translation);
  // What the contact writes in is what to answer them in, until the user chooses otherwise.
  const int written = ComboIndexFromLangCode(source);
  if (written >= 0 && ContactLanguage(handle) < 0) {
    RememberContactLanguage(handle, written);
    if (ContactIndex(FromAnsi(handle)) == ToUsers->currentIndex()) FollowContactLanguage();
  }
}

void TMainForm::btnSendClick() {
  // A message that cannot reach anybody is neither translated nor shown as sent: the typed text
  // stays for another try. (There is no read time-out, so a translation that would be thrown
  // away is not even started.)
  if (!SkypeControl.Attached()) throw platform::Error(std::string(kNotConnectedMessage));
  if (ToUsers->currentIndex() < 0) throw platform::Error(std::string(kNoRecipientMessage));
  const std::string recipient = ToAnsi(ToUsers->currentText());
  const std::int32_t code = LangCodeFromComboIndex(SendIn->currentIndex());
  const int sendIndex = SendIn->currentIndex();
  const std::u16string typed = ToWide(TypedText());
  const std::u16string translation = Translate(typed, code);
  std::u16string signature;
  if (WarnCB->isChecked()) {
    signature = code == kBulgarian ? platform::CyrillicToWide(kBulgarianSignature)
                                   : std::u16string(kEnglishSignature);
  }
  // The chat client reports the message's id while the command is in flight.
  sending_ = true;
  sendingId_ = -1;
  const bool taken =
      SkypeControl.SendChatMessage(recipient, platform::Utf8Encode(translation + signature));
  sending_ = false;

  QPlainTextEdit* memo = FindMemo(FindOrCreateConversationTab(recipient));
  if (memo == nullptr) return;
  PageControl1->show();
  std::u16string line = platform::AnsiToWide(CurrentUserHandle) + u": " + typed;
  if (!translation.empty()) line += u" (" + translation + u")";
  if (!taken) {
    // Not shown as sent: the typed text stays for when the client is back.
    AppendLine(memo, line + u" (" + std::u16string(kNotDelivered) + u": " +
                         platform::AnsiToWide(kClientGone) + u")");
    return;
  }
  AppendLine(memo, line);
  RememberContactLanguage(recipient, sendIndex);
  if (sendingId_ >= 0) {
    sent_[sendingId_] = {recipient, line};
    // Bounded: the client reports on the newest; the oldest outcomes are not waited for.
    if (sent_.size() > 1000) sent_.erase(sent_.begin());
  }
  SendMessage->clear();
  btnSend->setEnabled(false);
}

}  // namespace app
