#include "app/widgets.h"

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>

#include "app/application.h"
#include "app/page_control.h"
#include "platform/codepage.h"

namespace app {

void AttachQt(TApplication& application) {
  if (application.Toolkit) return;
  // The window's fonts are those of another system; where they are missing, a face of the same
  // metrics fits the designed sizes better than the system's default face.
  for (const char* family : {"MS Sans Serif", "Microsoft Sans Serif"}) {
    QFont::insertSubstitutions(family, {"Liberation Sans", "Arial"});
  }
  if (!application.ErrorBox) {
    application.ErrorBox = [](const std::string& boxTitle, const std::string& text) {
      QMessageBox box(QMessageBox::Critical, QString::fromStdString(boxTitle),
                      QString::fromStdString(text), QMessageBox::Ok);
      box.exec();
    };
  }
  // Link events run on Qt's thread: whatever reaches the application window is handled when
  // the desktop's descriptor becomes readable.
  platform::Desktop& desktop = application.Desktop();
  if (desktop.EventHandle() >= 0) {
    auto notifier = std::make_shared<QSocketNotifier>(desktop.EventHandle(), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated,
                     [&desktop] { desktop.ProcessPending(); });
    application.Toolkit = notifier;
  } else {
    application.Toolkit = std::make_shared<int>(0);
  }
}

QString FromAnsi(std::string_view bytes) {
  return FromWide(platform::AnsiToWide(bytes));
}
std::string ToAnsi(const QString& text) {
  return platform::WideToAnsi(ToWide(text));
}
QString FromWide(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
std::u16string ToWide(const QString& text) {
  return text.toStdU16String();
}

WidgetComponent::WidgetComponent(uilocal::ComponentKind kind, std::string name,
                                 uilocal::TComponent* owner, QWidget* widget)
    : uilocal::TComponent(kind, std::move(name), owner), widget_(widget) {
  if (widget_ != nullptr && !Name().empty()) widget_->setObjectName(QString::fromStdString(Name()));
}

WidgetComponent::WidgetComponent(uilocal::ComponentKind kind, std::string name,
                                 uilocal::TComponent& owner, uilocal::TComponent::HeldByMaker held,
                                 QWidget* widget)
    : uilocal::TComponent(kind, std::move(name), owner, held), widget_(widget) {
  if (widget_ != nullptr) widget_->setObjectName(QString::fromStdString(Name()));
}

void WidgetComponent::ShowCaption(const QString& text) {
  if (widget_ == nullptr) return;
  if (InheritsFrom(uilocal::ComponentKind::kForm)) {
    widget_->setWindowTitle(text);
  } else if (InheritsFrom(uilocal::ComponentKind::kTabSheet)) {
    // A sheet's caption is its tab's text; the page control holds the tabs.
    for (QWidget* p = widget_->parentWidget(); p != nullptr; p = p->parentWidget()) {
      if (auto* tabs = dynamic_cast<PageControl*>(p)) {
        tabs->setTabText(tabs->indexOf(widget_), text);
        break;
      }
    }
  } else if (auto* label = qobject_cast<QLabel*>(widget_)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget_)) {
    button->setText(text);
  }
  if (AfterCaption) AfterCaption();
}

void WidgetComponent::SetCaptionAnsi(std::string_view text) {
  caption_ = std::string(text);
  ShowCaption(FromAnsi(text));
}

void WidgetComponent::SetCaptionWide(std::u16string_view text) {
  caption_ = platform::WideToAnsi(text);
  ShowCaption(FromWide(text));
}

void WidgetComponent::SetHintAnsi(std::string_view text) {
  if (widget_ != nullptr) widget_->setToolTip(FromAnsi(text));
}

void WidgetComponent::SetHintWide(std::u16string_view text) {
  if (widget_ != nullptr) widget_->setToolTip(FromWide(text));
}

void MakeFlat(QFrame* frame) {
  frame->setFrameStyle(QFrame::Box | QFrame::Plain);
  frame->setLineWidth(1);
}

}  // namespace app
