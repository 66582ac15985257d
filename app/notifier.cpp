#include "app/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QVariantMap>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "platform/location.h"

namespace app {
namespace {

constexpr int kQueued = 20;  // notifications kept while the bus is being reached
constexpr int kShownMs = 10000;

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

QDBusMessage NotifyCall(const QString& appName, const QString& summary, const QString& body,
                        bool clickable) {
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
  // "default" is the action of a click on the notification itself.
  const QStringList actions = clickable ? QStringList{QStringLiteral("default"),
                                                      QStringLiteral("Show Parlavant")}
                                        : QStringList();
  call << appName << 0u << QStringLiteral("parlavant") << summary << body << actions
       << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("parlavant")}} << kShownMs;
  return call;
}

}  // namespace

// Hears the server's ActionInvoked signal; lives on the notifier's thread, so the click's
// action runs there.
class NotificationClicks : public QObject {
  Q_OBJECT

 public:
  // The action of the notification the server gave `id`.
  std::map<uint, std::function<void()>> actions;

 public slots:
  void Invoked(uint id, const QString& key) {
    const auto it = actions.find(id);
    if (it == actions.end() || key != QLatin1String("default")) return;
    const std::function<void()> action = it->second;
    actions.erase(it);
    action();
  }
};

struct Waiting {
  QDBusMessage call;
  std::function<void()> onClick;
};

// Reaching the bus (connect and greet) may stall on a daemon that hangs: it is done on a thread
// of its own, and what is notified meanwhile waits here.
struct Notifier::Shared {
  ~Shared() {
    if (bus) QDBusConnection::disconnectFromBus(bus->name());
  }
  // Sends it, and once the server answers with its id, keeps its action for a click.
  void Send(const Waiting& w) {
    if (!w.onClick) {
      bus->send(w.call);  // never waited for: its answer is of no use here
      return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus->asyncCall(w.call), clicks.data());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, clicks.data(),
                     [clicks = clicks, onClick = w.onClick](QDBusPendingCallWatcher* done) {
                       const QDBusPendingReply<uint> reply = *done;
                       if (clicks && reply.isValid()) clicks->actions[reply.value()] = onClick;
                       done->deleteLater();
                     });
  }
  QString appName;
  std::mutex mutex;
  std::optional<QDBusConnection> bus;
  bool reaching = false, unreachable = false;
  std::deque<Waiting> waiting;
  QPointer<NotificationClicks> clicks;
};

Notifier::Notifier(QString appName) : shared_(std::make_shared<Shared>()) {
  shared_->appName = std::move(appName);
  shared_->clicks = new NotificationClicks;
}

Notifier::~Notifier() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  delete shared_->clicks.data();
}

void Notifier::Notify(const QString& summary, const QString& body) {
  Notify(summary, body, {});
}

void Notifier::Notify(const QString& summary, const QString& body,
                      std::function<void()> onClick) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->unreachable) return;
  Waiting w{NotifyCall(shared_->appName, summary, body, static_cast<bool>(onClick)),
            std::move(onClick)};
  // Ones that waited for the bus go first.
  if (shared_->bus && shared_->waiting.empty()) {
    shared_->Send(w);
    return;
  }
  if (static_cast<int>(shared_->waiting.size()) < kQueued) shared_->waiting.push_back(w);
  if (shared_->reaching || shared_->bus) return;
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
    // The clicks come back as a signal, to the notifier's thread.
    if (shared->clicks) {
      bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"),
                  shared->clicks.data(), SLOT(Invoked(uint, QString)));
    }
    QMetaObject::invokeMethod(shared->clicks.data(), [shared] {
      std::lock_guard<std::mutex> held(shared->mutex);
      for (const Waiting& waiting : shared->waiting) shared->Send(waiting);
      shared->waiting.clear();
    });
  });
  QObject::connect(reach, &QThread::finished, reach, &QObject::deleteLater);
  reach->start();
}

}  // namespace app

#include "notifier.moc"
