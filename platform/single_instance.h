#pragma once

// One running copy of a program per user and desktop: a second start asks the first to come to
// the front and ends. The program's event loop waits on Handle() for the later starts.

#include <cstdint>
#include <string>

#include "platform/instance_channel.h"

namespace platform {

class SingleInstance {
 public:
  // `kind` tells the programs apart ("parlavant", "parlavant-xmpp"); `desktop` is the desktop
  // location the program serves.
  SingleInstance(const std::string& kind, const std::string& desktop);

  // True when another copy runs and took the request to show itself: this one should end.
  // Otherwise this copy listens for later starts, where it can (else it runs unfound).
  bool HandOver();
  // Asks the copy of `kind` on `desktop` to show itself; true when one took the request.
  static bool AskToShow(const std::string& kind, const std::string& desktop);

  // After HandOver: readable (POSIX) or set (Windows) when later starts ask; -1 when unfound.
  std::intptr_t Handle() const { return channel_.Handle(); }
  // How many later starts asked since the last call.
  int TakeRequests() { return channel_.TakeRequests(); }

 private:
  std::string name_;
  InstanceChannel channel_;
};

// The channel's name for `kind` on `desktop`: the user's own (and on Windows the session's), so
// that another user's copy is neither found nor disturbed.
std::string InstanceName(const std::string& kind, const std::string& desktop);

}  // namespace platform
