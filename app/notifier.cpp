#include "app/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QThread>
#include <QVariantMap>

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/location.h"

namespace app {
namespace {

constexpr int kQueued = 20;  // notifications kept while the bus is being reached
constexpr int kShownMs = 10000;

QDBusMessage NotifyCall(const QString& appName, const QString& summary, const QString& body) {
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                     "/org/freedesktop/Notifications",
                                                     "org.freedesktop.Notifications", "Notify");
  call << appName << 0u << QStringLiteral("parlavant") << summary << body << QStringList()
       << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("parlavant")}} << kShownMs;
  return call;  // sent, never waited for: its answer is of no use here
}

}  // namespace

// Reaching the bus (connect and greet) may stall on a daemon that hangs: it is done on a thread
// of its own, and what is notified meanwhile waits here.
struct Notifier::Shared {
  ~Shared() {
    if (bus) QDBusConnection::disconnectFromBus(bus->name());
  }
  QString appName;
  std::mutex mutex;
  std::optional<QDBusConnection> bus;
  bool reaching = false, unreachable = false;
  std::deque<QDBusMessage> waiting;
};

Notifier::Notifier(QString appName) : shared_(std::make_shared<Shared>()) {
  shared_->appName = std::move(appName);
}

Notifier::~Notifier() = default;

void Notifier::Notify(const QString& summary, const QString& body) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->unreachable) return;
  QDBusMessage call = NotifyCall(shared_->appName, summary, body);
  if (shared_->bus) {
    shared_->bus->send(call);
    return;
  }
  if (static_cast<int>(shared_->waiting.size()) < kQueued) shared_->waiting.push_back(call);
  if (shared_->reaching) return;
  if (!platform::SessionBusKnown()) {
    shared_->unreachable = true;
    shared_->waiting.clear();
    return;
  }
  shared_->reaching = true;
  QThread* reach = QThread::create([shared = shared_] {
    // A name of its own: Qt keeps connections by name, and another notifier's may be to a bus
    // that has gone.
    static std::atomic<int> count{0};
    // The address as the environment gives it now (the D-Bus library reads it once a process).
    const QString name = QStringLiteral("parlavant-notify-%1").arg(++count);
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    QDBusConnection bus =
        address.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)
                          : QDBusConnection::connectToBus(QString::fromLocal8Bit(address), name);
    std::lock_guard<std::mutex> hold(shared->mutex);
    shared->reaching = false;
    if (!bus.isConnected()) {
      QDBusConnection::disconnectFromBus(name);
      shared->unreachable = true;
      shared->waiting.clear();
      return;
    }
    shared->bus = bus;
    for (const QDBusMessage& waiting : shared->waiting) bus.send(waiting);
    shared->waiting.clear();
  });
  QObject::connect(reach, &QThread::finished, reach, &QObject::deleteLater);
  reach->start();
}

}  // namespace app
