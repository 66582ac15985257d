#pragma once

// Desktop notifications (org.freedesktop.Notifications on the session bus). A notification is
// sent and never waited for: with no bus, or nobody on it to show notifications, nothing waits
// and nothing fails.

#include <QString>

#include <functional>
#include <memory>

namespace app {

class Notifier {
 public:
  // `appName` is what the notification server shows as the sender.
  explicit Notifier(QString appName);
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  void Notify(const QString& summary, const QString& body);
  // As Notify; `onClick` runs (on this thread) when the user clicks the notification, where the
  // notification server lets them.
  void Notify(const QString& summary, const QString& body, std::function<void()> onClick);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace app
