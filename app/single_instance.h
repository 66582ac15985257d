#pragma once

// One running copy of a program per user and desktop: a second start asks the first to come to
// the front and ends.

#include <QSocketNotifier>
#include <QString>

#include <functional>
#include <memory>

#include "platform/instance_channel.h"

namespace app {

class SingleInstance {
 public:
  // `kind` tells the programs apart ("parlavant", "parlavant-xmpp"); `desktop` is the desktop
  // location the program serves.
  SingleInstance(const QString& kind, const QString& desktop);

  // True when another copy runs and took the request to show itself: this one should end.
  // Otherwise this copy becomes the one that is asked, and `onShow` runs for every later start.
  bool HandOver(std::function<void()> onShow);

 private:
  std::string path_;
  platform::InstanceChannel channel_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace app
