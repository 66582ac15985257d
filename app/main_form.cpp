#include "app/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QScrollBar>
#include <QShortcut>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include "platform/codepage.h"

namespace app {

TMainForm::TMainForm(TApplication& application, std::string settingsPath)
    : application_(application),
      core_(std::make_unique<FormCore>(
          static_cast<FormView&>(*this),
          FormContext{application.Desktop(), application.Window(), application.Root(),
                      application.DataDirectories,
                      [&application](const std::function<void()>& handler) {
                        return application.Guard(handler);
                      },
                      application.OpenHistory},
          std::move(settingsPath))),
      SkypeControl(core_->SkypeControl),
      PendingChatMessages(core_->PendingChatMessages),
      CurrentUserHandle(core_->CurrentUserHandle),
      OnUnseenMessage(core_->OnUnseenMessage) {
  AttachQt(application_);
  Design();
  // Shown as it stands, then told of every change.
  core_->Model().AddListener(this);
  LanguagesChanged();
  CaptionChanged();
  ContactsChanged();
  BindEvents();
  application_.Guard([this] { core_->FormCreate(); });
}

TMainForm::~TMainForm() {
  core_->Model().RemoveListener(this);
}

void TMainForm::BindEvents() {
  // Every handler of the controls, in one place. Only a choice of the user's changes the
  // languages; setting the index in code does not.
  FormCore& core = *core_;
  connect(TranslateTo, &QComboBox::activated, this, [this, &core](int item) {
    application_.Guard([&core, item] { core.TranslateToChange(item); });
  });
  connect(SendIn, &QComboBox::activated, this, [this, &core](int item) {
    application_.Guard([&core, item] { core.SendInChange(item); });
  });
  connect(SendMessage, &QPlainTextEdit::textChanged, this,
          [this, &core] { application_.Guard([&core] { core.SendMessageChange(); }); });
  connect(btnSend, &QPushButton::clicked, this,
          [this, &core] { application_.Guard([&core] { core.btnSendClick(); }); });
  connect(ToUsers, &QComboBox::activated, this, [this, &core](int contact) {
    application_.Guard([&core, contact] { core.ToUsersChange(contact); });
  });
  PageControl1->OnUserSelect = [this, &core](int index) {
    application_.Guard([&core, index] { core.PageControl1UserSelect(index); });
  };
  PageControl1->OnTabContextMenu = [this](int index, QPoint at) {
    std::unique_ptr<QMenu> menu(TabMenu(index));
    menu->exec(at);
  };
  // From anywhere in the window, not only from the tabs: the next and the previous page.
  for (const auto& [keys, step] :
       {std::pair{QKeySequence(Qt::CTRL | Qt::Key_Tab), 1},
        std::pair{QKeySequence(Qt::CTRL | Qt::Key_PageDown), 1},
        std::pair{QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), -1},
        std::pair{QKeySequence(Qt::CTRL | Qt::Key_Backtab), -1},
        std::pair{QKeySequence(Qt::CTRL | Qt::Key_PageUp), -1}}) {
    auto* shortcut = new QShortcut(keys, this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this, step = step] {
      if (PageControl1->isVisible()) PageControl1->Step(step);
    });
  }
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceControls();
}

void TMainForm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // The user is back: what came to the page on show while they were away is read now.
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
    application_.Guard([this] { core_->FormActivate(); });
  }
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // A failed save is shown, and the window closes all the same: a settings file the user made
  // read-only must not keep the program from ending.
  application_.Guard([this] { core_->FormClose(); });
  event->accept();
}

FormBounds TMainForm::Bounds() const {
  return {x(), y(), width(), height()};
}

void TMainForm::SetBounds(const FormBounds& bounds) {
  move(bounds.left, bounds.top);
  const Size client = FormLayout::Clamp({bounds.width, bounds.height});
  resize(client.width, client.height);
  PlaceControls();
}

void TMainForm::PlaceBottomRow() {
  layout_.PlaceBottomRow();
  PlaceControls();
}

void TMainForm::PlaceControls() {
  for (const DesignedControl& c : kDesign) {
    const Rect r = layout_.Place(c.id, {width(), height()});
    ControlWidget(c.id)->setGeometry(r.left, r.top, r.width, r.height);
  }
}

void TMainForm::RequestAttention() {
  QApplication::alert(this);  // the urgency hint, until the window is active
}

QWidget* TMainForm::ControlWidget(Control control) const {
  switch (control) {
    case Control::l_Translate_To:
      return l_Translate_To;
    case Control::TranslateTo:
      return TranslateTo;
    case Control::WarnCB:
      return WarnCB;
    case Control::PageControl1:
      return PageControl1;
    case Control::SendMessage:
      return SendMessage;
    case Control::btnSend:
      return btnSend;
    case Control::l_Send_To:
      return l_Send_To;
    case Control::ToUsers:
      return ToUsers;
    case Control::l_in:
      return l_in;
    case Control::SendIn:
      break;
  }
  return SendIn;
}

void TMainForm::FitLabel(Control control) {
  auto* label = static_cast<QLabel*>(ControlWidget(control));
  layout_.SetLabelWidth(control, label->fontMetrics().horizontalAdvance(label->text()));
  const Rect r = layout_.Place(control, {width(), height()});
  label->setGeometry(r.left, r.top, r.width, r.height);
}

std::u16string TMainForm::TypedText() const {
  // As typed: toPlainText() would turn a no-break space into a space and line separators into
  // LF. Block breaks (Enter) and line separators (Shift+Enter) go out as CR LF.
  QString text = SendMessage->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
  text.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
  return ToWide(text);
}

void TMainForm::ConversationAdded(int conversation) {
  // The page's memo is made when it is first needed: a window that brings back fifty pages of
  // history would otherwise lay out every one of them at start.
  auto* page = new QWidget;
  PageControl1->addTab(page, FromAnsi(core_->Model().At(conversation).handle));
  auto* fill = new QVBoxLayout(page);
  fill->setContentsMargins(0, 0, 0, 0);
}

QPlainTextEdit* TMainForm::Memo(int conversation) {
  QWidget* page = PageControl1->widget(conversation);
  if (QPlainTextEdit* memo = FindMemo(page)) return memo;
  auto* memo = new QPlainTextEdit(page);
  memo->setObjectName(QStringLiteral("Memo"));
  page->layout()->addWidget(memo);
  memo->setFont(QFont(kControlFace, 8));
  memo->setReadOnly(true);
  MakeFlat(memo);
  Render(conversation, memo);
  // At the top of what it shows, the page asks for what came before.
  connect(memo->verticalScrollBar(), &QScrollBar::valueChanged, this, [this, memo](int value) {
    if (rendering_ || value != memo->verticalScrollBar()->minimum()) return;
    const int index = PageControl1->indexOf(memo->parentWidget());
    application_.Guard([this, index] { core_->PageScrolledToTop(index); });
  });
  return memo;
}

QMenu* TMainForm::TabMenu(int page) {
  auto* menu = new QMenu(this);
  QAction* forget = menu->addAction(QString::fromWCharArray(kForgetConversation));
  connect(forget, &QAction::triggered, this,
          [this, page] { application_.Guard([this, page] { core_->ForgetConversation(page); }); });
  return menu;
}

QWidget* TMainForm::FindOrCreateConversationTab(const std::string& handle) {
  return PageControl1->widget(core_->Model().OpenConversation(handle));
}

QPlainTextEdit* TMainForm::FindMemo(QWidget* page) {
  for (QPlainTextEdit* memo : page->findChildren<QPlainTextEdit*>(Qt::FindDirectChildrenOnly)) {
    if (memo->objectName().compare(QStringLiteral("Memo"), Qt::CaseInsensitive) == 0) return memo;
  }
  return nullptr;
}

namespace {

QString LineText(const ConversationLine& line) {
  QString text = FromWide(line.text);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QChar('\r'), QChar('\n'));
  return text;
}

}  // namespace

void TMainForm::LineAdded(int conversation, int line) {
  if (stale_.count(conversation)) return;  // filled whole when it is shown
  QPlainTextEdit* memo = FindMemo(PageControl1->widget(conversation));
  if (memo == nullptr) {
    Memo(conversation);  // made with every line, this one too
    return;
  }
  memo->appendPlainText(LineText(core_->Model().At(conversation).lines.at(line)));
}

void TMainForm::LinesRestored(int conversation) {
  QPlainTextEdit* memo = FindMemo(PageControl1->widget(conversation));
  if (memo == nullptr) return;  // filled when it is made
  if (conversation != core_->Model().Shown()) {
    stale_.insert(conversation);
    return;
  }
  Render(conversation, memo);
}

void TMainForm::Render(int conversation, QPlainTextEdit* memo) {
  stale_.erase(conversation);
  // Where the reader was stays in view: lines put before it push it down.
  QScrollBar* bar = memo->verticalScrollBar();
  const bool empty = memo->document()->isEmpty();
  const int fromEnd = bar->maximum() - bar->value();
  rendering_ = true;
  QString text;
  for (const ConversationLine& line : core_->Model().At(conversation).lines) {
    if (!text.isEmpty()) text += QChar('\n');
    text += LineText(line);
  }
  // In one piece: line by line, a page of history took a layout pass for every line.
  memo->setPlainText(text);
  bar->setValue(empty ? bar->maximum() : bar->maximum() - fromEnd);
  rendering_ = false;
}

void TMainForm::ContactsChanged() {
  ToUsers->clear();
  for (const std::string& handle : core_->Model().Contacts()) ToUsers->addItem(FromAnsi(handle));
  ToUsers->setCurrentIndex(core_->Model().Recipient());
}

void TMainForm::RecipientChanged() {
  ToUsers->setCurrentIndex(core_->Model().Recipient());
}

void TMainForm::LanguagesChanged() {
  TranslateTo->setCurrentIndex(core_->Model().ReceiveIn());
  SendIn->setCurrentIndex(core_->Model().SendIn());
}

void TMainForm::ShownChanged() {
  if (core_->Model().PagesVisible()) PageControl1->show();
  const int shown = core_->Model().Shown();
  if (shown >= 0) {
    QPlainTextEdit* memo = Memo(shown);
    if (stale_.count(shown)) Render(shown, memo);
  }
  PageControl1->setCurrentIndex(shown);
}

void TMainForm::UnreadChanged(int conversation) {
  PageControl1->setTabUnread(conversation, core_->Model().At(conversation).unread);
}

void TMainForm::CaptionChanged() {
  setWindowTitle(FromAnsi(core_->Model().Caption()));
}

void TMainForm::ShowCaption(Control control, std::u16string_view text) {
  QWidget* widget = ControlWidget(control);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(FromWide(text));
    FitLabel(control);  // as wide as its text
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(FromWide(text));
  }
}

void TMainForm::ShowPageCaption(int page, std::u16string_view text) {
  PageControl1->setTabText(page, FromWide(text));
}

void TMainForm::ClearTyped() {
  SendMessage->clear();
  // The next message is typed where the last one was (the button the focus may be on is about
  // to be disabled, which would pass the focus on to the contact list).
  if (isActiveWindow()) SendMessage->setFocus();
}

void TMainForm::SetBusy(bool busy) {
  if (busy) {
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QGuiApplication::restoreOverrideCursor();
  }
}

void TMainForm::Later(std::function<void()> work) {
  QTimer::singleShot(0, this, std::move(work));
}

}  // namespace app
