#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QLocalSocket>
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
  name_ = QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
              .filePath(kind + QLatin1Char('-') + QString::fromLatin1(digest));
}

bool SingleInstance::HandOver(std::function<void()> onShow) {
  QLocalSocket first;
  first.connectToServer(name_);
  if (first.waitForConnected(kAnswerMs)) {
    first.write("show\n");
    if (first.waitForBytesWritten(kAnswerMs) && first.waitForReadyRead(kAnswerMs)) return true;
  }
  // Nobody answers: a copy that ended without removing its socket leaves it behind.
  QLocalServer::removeServer(name_);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  server_.listen(name_);
  QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this, onShow] {
    while (QLocalSocket* asker = server_.nextPendingConnection()) {
      QObject::connect(asker, &QLocalSocket::readyRead, asker, [asker, onShow] {
        if (!asker->readAll().contains('\n')) return;
        onShow();
        asker->write("ok\n");
        asker->disconnectFromServer();
      });
      QObject::connect(asker, &QLocalSocket::disconnected, asker, &QObject::deleteLater);
    }
  });
  return false;
}

}  // namespace app
