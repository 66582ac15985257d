#include "app/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
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
                      }},
          std::move(settingsPath))),
      SkypeControl(core_->SkypeControl),
      PendingChatMessages(core_->PendingChatMessages),
      CurrentUserHandle(core_->CurrentUserHandle),
      OnUnseenMessage(core_->OnUnseenMessage) {
  AttachQt(application_);
  Design();
  BindEvents();
  application_.Guard([this] { core_->FormCreate(); });
}

TMainForm::~TMainForm() = default;

void TMainForm::BindEvents() {
  // Every handler of the controls, in one place. Only a choice of the user's changes the
  // languages; setting the index in code does not.
  FormCore& core = *core_;
  connect(TranslateTo, &QComboBox::activated, this,
          [this, &core] { application_.Guard([&core] { core.TranslateToChange(); }); });
  connect(SendMessage, &QPlainTextEdit::textChanged, this,
          [this, &core] { application_.Guard([&core] { core.SendMessageChange(); }); });
  connect(btnSend, &QPushButton::clicked, this,
          [this, &core] { application_.Guard([&core] { core.btnSendClick(); }); });
  connect(ToUsers, &QComboBox::activated, this,
          [this, &core] { application_.Guard([&core] { core.ToUsersChange(); }); });
  PageControl1->OnUserSelect = [this, &core](int index) {
    application_.Guard([&core, index] { core.PageControl1UserSelect(index); });
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
  application_.Guard([this] { core_->FormClose(); });
  event->accept();
}

FormBounds TMainForm::Bounds() const {
  return {x(), y(), width(), height()};
}

void TMainForm::SetBounds(const FormBounds& bounds) {
  move(bounds.left, bounds.top);
  SetClientSize(bounds.width, bounds.height);
}

void TMainForm::PlaceBottomRow() {
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

void TMainForm::RequestAttention() {
  QApplication::alert(this);  // the urgency hint, until the window is active
}

QComboBox* TMainForm::List(ListControl list) const {
  switch (list) {
    case ListControl::kTranslateTo:
      return TranslateTo;
    case ListControl::kSendIn:
      return SendIn;
    case ListControl::kToUsers:
      break;
  }
  return ToUsers;
}

std::string TMainForm::ItemAnsi(ListControl list, int index) const {
  return ToAnsi(List(list)->itemText(index));
}

int TMainForm::FindItem(ListControl list, const std::string& item, bool ignoreCase) const {
  const QComboBox* box = List(list);
  const QString wanted = FromAnsi(item);
  for (int i = 0; i < box->count(); ++i) {
    if (QString::compare(box->itemText(i), wanted,
                         ignoreCase ? Qt::CaseInsensitive : Qt::CaseSensitive) == 0) {
      return i;
    }
  }
  return -1;
}

int TMainForm::AddSorted(ListControl list, const std::string& item) {
  return app::AddSorted(List(list), FromAnsi(item));
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

std::u16string TMainForm::TypedText() const {
  // As typed: toPlainText() would turn a no-break space into a space and line separators into
  // LF. Block breaks (Enter) and line separators (Shift+Enter) go out as CR LF.
  QString text = SendMessage->document()->toRawText();
  text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
  text.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
  return ToWide(text);
}

WidgetComponent* TMainForm::Sheet(int page) const {
  QWidget* widget = PageControl1->widget(page);
  for (int i = 0; i < pageControl_->ComponentCount(); ++i) {
    auto* sheet = dynamic_cast<WidgetComponent*>(pageControl_->Components(i));
    if (sheet != nullptr && sheet->Widget() == widget) return sheet;
  }
  return nullptr;
}

std::string TMainForm::PageCaptionAnsi(int page) const {
  const WidgetComponent* sheet = Sheet(page);
  return sheet != nullptr ? sheet->CaptionAnsi() : std::string();
}

int TMainForm::AddPage(const std::string& caption) {
  auto* page = new QWidget;
  PageControl1->addTab(page, QString());
  auto* sheet = new WidgetComponent(uilocal::ComponentKind::kTabSheet, "", pageControl_, page);
  sheet->SetCaptionAnsi(caption);
  auto* memo = new QPlainTextEdit(page);
  auto* fill = new QVBoxLayout(page);
  fill->setContentsMargins(0, 0, 0, 0);
  fill->addWidget(memo);
  new WidgetComponent(uilocal::ComponentKind::kMemo, "Memo", sheet, memo);
  memo->setFont(QFont(kControlFace, 8));
  memo->clear();
  memo->setReadOnly(true);
  MakeFlat(memo);
  return PageControl1->indexOf(page);
}

QWidget* TMainForm::FindOrCreateConversationTab(const std::string& handle) {
  return PageControl1->widget(core_->FindOrCreateConversationPage(handle));
}

QPlainTextEdit* TMainForm::FindMemo(QWidget* page) {
  for (QPlainTextEdit* memo : page->findChildren<QPlainTextEdit*>(Qt::FindDirectChildrenOnly)) {
    if (memo->objectName().compare(QStringLiteral("Memo"), Qt::CaseInsensitive) == 0) return memo;
  }
  return nullptr;
}

void TMainForm::AppendLine(int page, const std::u16string& line) {
  QPlainTextEdit* memo = FindMemo(PageControl1->widget(page));
  if (memo == nullptr) return;
  QString text = FromWide(line);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QChar('\r'), QChar('\n'));
  memo->appendPlainText(text);
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
