#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>

namespace app {
namespace {

constexpr int kAnswerMs = 2000;  // a first copy that does not take the request in this is hung

}  // namespace

SingleInstance::SingleInstance(const QString& kind, const QString& desktop) {
  const QByteArray digest =
      QCryptographicHash::hash(desktop.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
  // In the user's own runtime directory: another user's copy is neither found nor disturbed.
  path_ = QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
              .filePath(kind + QLatin1Char('-') + QString::fromLatin1(digest))
              .toStdString();
}

bool SingleInstance::HandOver(std::function<void()> onShow) {
  if (platform::InstanceChannel::AskToShow(path_, kAnswerMs)) return true;
  if (!channel_.Listen(path_)) return false;
  notifier_ = std::make_unique<QSocketNotifier>(channel_.Handle(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                   [this, onShow = std::move(onShow)] {
                     for (int n = channel_.TakeRequests(); n > 0; --n) onShow();
                   });
  return false;
}

}  // namespace app
