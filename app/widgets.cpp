#include "app/widgets.h"

#include <QMessageBox>
#include <QSocketNotifier>

#include "app/application.h"
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

void MakeFlat(QFrame* frame) {
  frame->setFrameStyle(QFrame::Box | QFrame::Plain);
  frame->setLineWidth(1);
}

}  // namespace app
