#pragma once

// A desktop session of a test's own: a private D-Bus session bus, the keyring daemon on it
// (unlocked), and a notification server that records what it is asked to show. The bus's
// address goes into this process's environment, so the code under test and every program the
// test starts find it there.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/child_process.h"
#include "testsupport/scoped_variable.h"

namespace testsupport {

inline bool CanConnectUnix(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

class PrivateSessionBus {
 public:
  // The bus's socket, the keyring's files and its control socket all go under `dir`.
  explicit PrivateSessionBus(const std::string& dir)
      : socket_(dir + "/bus"),
        runtime_("XDG_RUNTIME_DIR", dir),
        data_("XDG_DATA_HOME", dir + "/data"),
        address_("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + socket_) {
    // The session bus's rules without its service directories: nothing is started on demand,
    // so that a test decides which services there are.
    std::ofstream(dir + "/bus.conf")
        << "<busconfig><type>session</type><listen>unix:path=" << socket_
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\""
           " eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
           "</busconfig>\n";
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + dir + "/bus.conf",
                                 "--nofork", "--nopidfile"},
        dir + "/bus.out", dir + "/bus.err");
    for (int i = 0; i < 500 && !CanConnectUnix(socket_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  bool Ready() const { return CanConnectUnix(socket_); }
  std::string Address() const { return "unix:path=" + socket_; }
  // As if the bus went away: its socket no longer answers.
  void Stop() { daemon_.reset(); }

 private:
  std::string socket_;
  ScopedVariable runtime_, data_, address_;
  std::unique_ptr<ChildProcess> daemon_;
};

// The keyring daemon on the bus, unlocked with a password of the test's own.
class KeyringDaemon {
 public:
  explicit KeyringDaemon(const std::string& dir) {
    ::mkdir((dir + "/data").c_str(), 0700);
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/gnome-keyring-daemon", "--foreground", "--unlock",
                                 "--components=secrets"},
        dir + "/keyring.out", dir + "/keyring.err");
    daemon_->Write("test-keyring-password");
    daemon_->CloseInput();
  }

 private:
  std::unique_ptr<ChildProcess> daemon_;
};

// An X display of the test's own (Xvfb, no window manager): windows on it are shown and, unless
// something gives them the focus, not active.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const std::string& dir) {
    for (int number = 100 + ::getpid() % 300; number < 1000 && !daemon_; number += 7) {
      const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
      struct stat st {};
      if (::stat(socket.c_str(), &st) == 0 ||
          ::stat(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), &st) == 0) {
        continue;
      }
      daemon_ = std::make_unique<ChildProcess>(
          std::vector<std::string>{"/usr/bin/Xvfb", ":" + std::to_string(number), "-screen", "0",
                                   "1024x768x24", "-nolisten", "tcp"},
          dir + "/xvfb.out", dir + "/xvfb.err");
      for (int i = 0; i < 500 && !CanConnectUnix(socket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (!CanConnectUnix(socket)) {
        daemon_.reset();  // another one took the number meanwhile
        continue;
      }
      display_ = std::make_unique<ScopedVariable>("DISPLAY", ":" + std::to_string(number));
    }
  }
  bool Ready() const { return display_ != nullptr; }

 private:
  std::unique_ptr<ChildProcess> daemon_;
  std::unique_ptr<ScopedVariable> display_;
};

// org.freedesktop.Notifications on the bus: records every Notify and answers it.
class NotificationRecorder : public QDBusVirtualObject {
 public:
  struct Shown {
    QString app, summary, body;
    QStringList actions;
  };
  explicit NotificationRecorder(const std::string& address)
      : bus_(QDBusConnection::connectToBus(QString::fromStdString(address),
                                           QStringLiteral("notification-recorder"))) {
    registered_ =
        bus_.registerService(QStringLiteral("org.freedesktop.Notifications")) &&
        bus_.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), this);
  }
  ~NotificationRecorder() override {
    bus_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    bus_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection::disconnectFromBus(QStringLiteral("notification-recorder"));
  }
  bool Registered() const { return registered_; }
  // The user clicks the notification numbered `index` from 0 (its id is index + 1).
  void Click(std::size_t index) {
    QDBusMessage clicked = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    clicked << static_cast<uint>(index + 1) << QStringLiteral("default");
    bus_.send(clicked);
  }
  const std::vector<Shown>& Notifications() const { return shown_; }

  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String("Notify") || message.arguments().size() < 5) {
      return false;
    }
    const QList<QVariant> args = message.arguments();
    shown_.push_back(
        {args[0].toString(), args[3].toString(), args[4].toString(), args[5].toStringList()});
    connection.send(message.createReply(QVariant::fromValue(static_cast<uint>(shown_.size()))));
    return true;
  }

 private:
  QDBusConnection bus_;
  bool registered_ = false;
  std::vector<Shown> shown_;
};

}  // namespace testsupport
