#include "app/main_form.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <iterator>

#include "platform/codepage.h"
#include "platform/error.h"
#include "uilocal/translate_interface.h"

namespace app {
namespace {

using uilocal::ComponentKind;

const QString kControlFont = QStringLiteral("Microsoft Sans Serif");
const QString kWindowFont = QStringLiteral("MS Sans Serif");

// The two language lists, sorted: the six Latin names, then the Cyrillic one.
const char16_t* const kLanguageItems[] = {u"Deutch",   u"English", u"Espanol",  u"Francais",
                                          u"Italiano", u"Turkce",  u"Български"};

// " - Преведено със Parlavant", held in Windows-1251 and widened by CyrillicToWide, as the
// interface texts are.
constexpr std::string_view kBulgarianSignature =
    " - \xCF\xF0\xE5\xE2\xE5\xE4\xE5\xED\xEE \xF1\xFA\xF1 Parlavant";
constexpr std::u16string_view kEnglishSignature = u" - Translated with Parlavant";

constexpr int kDesignedReceiveItem = 6;  // Български
constexpr int kDesignedSendItem = 1;     // English

int ItemIndexFor(const QComboBox* list, std::int32_t index) {
  return index >= 0 && index < list->count() ? index : -1;
}

// A flat frame: one plain line instead of the 3-D border.
void MakeFlat(QFrame* frame) {
  frame->setFrameStyle(QFrame::Box | QFrame::Plain);
  frame->setLineWidth(1);
}

}  // namespace

TMainForm::TMainForm(TApplication& application, std::string settingsPath)
    : SkypeControl(application.Window()),
      application_(application),
      settings_(std::move(settingsPath)) {
  Design();
  application_.Guard([this] { FormCreate(); });
}

TMainForm::~TMainForm() {
  // The window's components go with it; the application lets go of the form.
  delete form_;
}

void TMainForm::Place(QWidget* control, int left, int top, int width, int height, int anchors) {
  layout_.Place(control, QRect(left, top, width, height), anchors, size());
}

void TMainForm::Label(WidgetComponent* component, QLabel* label) {
  component->AfterCaption = [this, label] { FitLabel(label); };
}

void TMainForm::Design() {
  // Client area 480 x 343 at 96 dpi; the minimum outer size 488 x 365 leaves a client area of at
  // least 480 x 338 with the frame the design allowed for.
  resize(480, 343);
  setMinimumSize(480, 338);
  setFont(QFont(kWindowFont, 8));
  QPalette background = palette();
  background.setColor(QPalette::Window, background.color(QPalette::Button));
  setPalette(background);
  setAutoFillBackground(true);

  form_ = new WidgetComponent(ComponentKind::kForm, "MainForm", &application_.Root(), this);
  const QFont controlFont(kControlFont, 8);

  l_Translate_To = new QLabel(this);
  l_Translate_To->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  Label(new WidgetComponent(ComponentKind::kTntLabel, "l_Translate_To", form_, l_Translate_To),
        l_Translate_To);

  TranslateTo = new QComboBox(this);
  new WidgetComponent(ComponentKind::kTntComboBox, "TranslateTo", form_, TranslateTo);

  WarnCB = new QCheckBox(this);
  new WidgetComponent(ComponentKind::kTntCheckBox, "WarnCB", form_, WarnCB);

  PageControl1 = new PageControl(this);
  PageControl1->hide();
  pageControl_ =
      new WidgetComponent(ComponentKind::kPageControl, "PageControl1", form_, PageControl1);

  SendMessage = new QPlainTextEdit(this);
  MakeFlat(SendMessage);
  // Tab moves on to the next control, as in every text box of the window; it types no tab.
  SendMessage->setTabChangesFocus(true);
  new WidgetComponent(ComponentKind::kTntMemo, "SendMessage", form_, SendMessage);

  btnSend = new QPushButton(this);
  btnSend->setEnabled(false);
  new WidgetComponent(ComponentKind::kTntButton, "btnSend", form_, btnSend);

  l_Send_To = new QLabel(this);
  Label(new WidgetComponent(ComponentKind::kTntLabel, "l_Send_To", form_, l_Send_To), l_Send_To);

  ToUsers = new QComboBox(this);
  ToUsers->setFrame(false);
  new WidgetComponent(ComponentKind::kTntComboBox, "ToUsers", form_, ToUsers);

  l_in = new QLabel(this);
  l_in->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  Label(new WidgetComponent(ComponentKind::kTntLabel, "l_in", form_, l_in), l_in);

  SendIn = new QComboBox(this);
  new WidgetComponent(ComponentKind::kTntComboBox, "SendIn", form_, SendIn);

  new uilocal::TComponent(ComponentKind::kComponent, "SkypeControl", form_);
  new uilocal::TComponent(ComponentKind::kComponent, "HTTP", form_);

  for (QWidget* control : std::initializer_list<QWidget*>{
           l_Translate_To, TranslateTo, WarnCB, SendMessage, btnSend, l_Send_To, l_in, SendIn}) {
    control->setFont(controlFont);
  }
  for (const char16_t* item : kLanguageItems) {
    AddSorted(TranslateTo, QString::fromUtf16(item));
    AddSorted(SendIn, QString::fromUtf16(item));
  }
  // The designed selections, which the settings replace before the window shows.
  TranslateTo->setCurrentIndex(kDesignedReceiveItem);
  SendIn->setCurrentIndex(kDesignedSendItem);

  Place(l_Translate_To, 324, 6, 54, 13, akTop | akRight);
  Place(TranslateTo, 383, 3, 97, 21, akTop | akRight);
  Place(WarnCB, 224, 5, 97, 17, akLeft | akTop);
  Place(PageControl1, 1, 24, 478, 180, akLeft | akTop | akRight | akBottom);
  Place(SendMessage, 1, 206, 478, 96, akLeft | akRight | akBottom);
  Place(btnSend, 1, 307, 75, 21, akLeft | akBottom);
  Place(l_Send_To, 82, 311, 13, 13, akLeft | akBottom);
  Place(ToUsers, 99, 307, 255, 21, akLeft | akRight | akBottom);
  Place(l_in, 364, 311, 8, 13, akRight | akBottom);
  Place(SendIn, 377, 307, 103, 21, akRight | akBottom);

  setTabOrder(TranslateTo, SendMessage);
  setTabOrder(SendMessage, btnSend);
  setTabOrder(btnSend, ToUsers);
  setTabOrder(ToUsers, PageControl1);
  setTabOrder(PageControl1, SendIn);
  setTabOrder(SendIn, WarnCB);

  form_->SetCaptionAnsi("Parlavant 1.0:04");
  l_Translate_To->setText("Receive in:");
  WarnCB->setText("Warning");
  btnSend->setText("Send");
  l_Send_To->setText("To");
  l_in->setText("in");

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

  // Only a choice of the user's changes the languages; setting the index in code does not.
  connect(TranslateTo, &QComboBox::activated, this,
          [this] { application_.Guard([this] { TranslateToChange(); }); });
  connect(SendMessage, &QPlainTextEdit::textChanged, this,
          [this] { application_.Guard([this] { SendMessageChange(); }); });
  connect(btnSend, &QPushButton::clicked, this,
          [this] { application_.Guard([this] { btnSendClick(); }); });
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
  // A failed save keeps the window open, with the error shown.
  if (application_.Guard([this] { FormClose(); })) {
    event->accept();
  } else {
    event->ignore();
  }
}

std::int32_t TMainForm::LangCodeFromComboIndex(int index) {
  // By the lists' sorted items: Deutch, English, Espanol, Francais, Italiano, Turkce, Български.
  static constexpr std::int32_t kCodes[] = {kGerman,  kEnglish, kSpanish,  kFrench,
                                            kItalian, kTurkish, kBulgarian};
  return index >= 0 && index < static_cast<int>(std::size(kCodes)) ? kCodes[index] : kEnglish;
}

void TMainForm::FormCreate() {
  TranslateTo->setCurrentIndex(
      ItemIndexFor(TranslateTo, settings_.ReadInteger(kSection, "Receive", 0)));
  SendIn->setCurrentIndex(ItemIndexFor(SendIn, settings_.ReadInteger(kSection, "Send", 0)));
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
      throw platform::Error("Unable to write to " + std::string(kSettingsFile));
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
  sender.Search(chatlink::stFriends, "");
}

void TMainForm::SkypeControlCurrentUserHandle(const std::string& userHandle) {
  CurrentUserHandle = userHandle;
  // The handle shows once: what an earlier report added is replaced, not appended to.
  std::string caption = form_->CaptionAnsi();
  if (!captionSuffix_.empty() && caption.ends_with(captionSuffix_)) {
    caption.resize(caption.size() - captionSuffix_.size());
  }
  captionSuffix_ = " - " + userHandle;
  form_->SetCaptionAnsi(caption + captionSuffix_);
}

void TMainForm::SkypeControlSearchResult(chatlink::TSkypeSearchType, chatlink::TStringList aList) {
  ToUsers->clear();
  for (const std::string& handle : aList) AddSorted(ToUsers, FromAnsi(handle));
  ToUsers->setCurrentIndex(ToUsers->count() > 0 ? 0 : -1);
}

QWidget* TMainForm::FindOrCreateConversationTab(const std::string& handle) {
  for (int i = 0; i < pageControl_->ComponentCount(); ++i) {
    auto* sheet = dynamic_cast<WidgetComponent*>(pageControl_->Components(i));
    if (sheet != nullptr && sheet->InheritsFrom(ComponentKind::kTabSheet) &&
        sheet->CaptionAnsi() == handle) {
      return sheet->Widget();
    }
  }
  auto* page = new QWidget;
  PageControl1->addTab(page, QString());
  auto* sheet = new WidgetComponent(ComponentKind::kTabSheet, "", pageControl_, page);
  sheet->SetCaptionAnsi(handle);
  auto* memo = new QPlainTextEdit(page);
  auto* fill = new QVBoxLayout(page);
  fill->setContentsMargins(0, 0, 0, 0);
  fill->addWidget(memo);
  new WidgetComponent(ComponentKind::kMemo, "Memo", sheet, memo);
  memo->setFont(QFont(kControlFont, 8));
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

std::u16string TMainForm::Translate(std::u16string_view text, std::int32_t languageCode) {
  // The window stands still while the exchange runs: say so with the busy cursor, restored on
  // every way out.
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  struct Restore {
    ~Restore() { QGuiApplication::restoreOverrideCursor(); }
  } restore;
  return translate::Translate(HTTP, application_.Desktop(), service_, text, languageCode);
}

void TMainForm::SkypeControlChatMsgInfo(std::int32_t chatMsgId,
                                        chatlink::TSkypeChatMsgProperty property,
                                        const std::string& value) {
  if (property == chatlink::cmStatus) {
    if (value == "RECEIVED") {
      SkypeControl.GetChatMessageProperty(chatMsgId, chatlink::cmFromHandle);
      SkypeControl.GetChatMessageProperty(chatMsgId, chatlink::cmBody);
    }
    return;
  }
  if (property != chatlink::cmBody && property != chatlink::cmFromHandle) return;
  TPendingChatMsg* record = PendingChatMessages.FindOrCreate(chatMsgId);
  (property == chatlink::cmBody ? record->Body : record->FromHandle) = value;
  if (!record->Complete()) return;

  const QString sender = FromAnsi(record->FromHandle);
  int selected = -1;
  for (int i = 0; i < ToUsers->count(); ++i) {
    if (QString::compare(ToUsers->itemText(i), sender, Qt::CaseInsensitive) == 0) {
      selected = i;
      break;
    }
  }
  ToUsers->setCurrentIndex(selected);

  QPlainTextEdit* memo = FindMemo(FindOrCreateConversationTab(record->FromHandle));
  if (memo == nullptr) return;
  PageControl1->show();
  const std::int32_t code = LangCodeFromComboIndex(TranslateTo->currentIndex());
  const std::u16string received = platform::Utf8Decode(record->Body);
  const std::u16string translation = Translate(received, code);
  AppendLine(memo, platform::AnsiToWide(record->FromHandle) + u": " + translation + u"(" +
                       received + u")");
  PendingChatMessages.Remove(record);
}

void TMainForm::btnSendClick() {
  // A message that cannot reach anybody is neither translated nor shown as sent: the typed text
  // stays for another try. (There is no read time-out, so a translation that would be thrown
  // away is not even started.)
  if (!SkypeControl.Attached()) throw platform::Error(std::string(kNotConnectedMessage));
  if (ToUsers->currentIndex() < 0) throw platform::Error(std::string(kNoRecipientMessage));
  const std::string recipient = ToAnsi(ToUsers->currentText());
  const std::int32_t code = LangCodeFromComboIndex(SendIn->currentIndex());
  const std::u16string typed = ToWide(TypedText());
  const std::u16string translation = Translate(typed, code);
  std::u16string signature;
  if (WarnCB->isChecked()) {
    signature = code == kBulgarian ? platform::CyrillicToWide(kBulgarianSignature)
                                   : std::u16string(kEnglishSignature);
  }
  SkypeControl.SendChatMessage(recipient, platform::Utf8Encode(translation + signature));

  QPlainTextEdit* memo = FindMemo(FindOrCreateConversationTab(recipient));
  if (memo == nullptr) return;
  PageControl1->show();
  std::u16string line = platform::AnsiToWide(CurrentUserHandle) + u": " + typed;
  if (!translation.empty()) line += u" (" + translation + u")";
  AppendLine(memo, line);
  SendMessage->clear();
  btnSend->setEnabled(false);
}

}  // namespace app
