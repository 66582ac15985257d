#include "app/application.h"

#include <QFont>
#include <QMessageBox>
#include <QString>

namespace app {

TApplication::TApplication(platform::Desktop& desktop, std::string title)
    : desktop_(desktop),
      title_(std::move(title)),
      window_(desktop, title_),
      root_(uilocal::ComponentKind::kApplication, "", nullptr) {
  // The window's fonts are those of another system; where they are missing, a face of the same
  // metrics fits the designed sizes better than the system's default face.
  for (const char* family : {"MS Sans Serif", "Microsoft Sans Serif"}) {
    QFont::insertSubstitutions(family, {"Liberation Sans", "Arial"});
  }
  ErrorBox = [](const std::string& boxTitle, const std::string& text) {
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(boxTitle),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
  };
  window_.SetExceptionHandler([this](std::exception_ptr error) { HandleException(error); });
  // Link events run on Qt's thread: whatever reaches the application window is handled when
  // the desktop's descriptor becomes readable.
  if (desktop_.EventHandle() >= 0) {
    notifier_ = std::make_unique<QSocketNotifier>(desktop_.EventHandle(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                     [this] { desktop_.ProcessPending(); });
  }
}

TApplication::~TApplication() = default;

std::string TApplication::ErrorBoxText(std::string message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') message += '.';
  return message;
}

void TApplication::HandleException(std::exception_ptr error) {
  const std::string text = ErrorBoxText(platform::ApplicationWindow::MessageOf(error));
  if (ErrorBox) ErrorBox(title_, text);
}

bool TApplication::Guard(const std::function<void()>& handler) {
  try {
    handler();
    return true;
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

}  // namespace app
