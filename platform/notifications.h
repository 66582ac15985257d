#pragma once

// Desktop notifications: a summary and a body shown beside whatever is in front. A notification
// is sent and never waited for: with nobody to show it, nothing waits and nothing fails.

#include <functional>
#include <memory>
#include <string>

namespace platform {

class Notifications {
 public:
  virtual ~Notifications() = default;
  // `onClick`, when given, runs on the program's loop when the user clicks the notification,
  // where the desktop lets them.
  virtual void Notify(const std::string& summary, const std::string& body,
                      std::function<void()> onClick = {}) = 0;
};

// Runs a task on the program's loop; callable from any thread.
using PostToLoop = std::function<void(std::function<void()>)>;

// The session bus's notification server (Linux). `appName` is what it shows as the sender.
std::unique_ptr<Notifications> DesktopNotifications(const std::string& appName, PostToLoop post);

}  // namespace platform
