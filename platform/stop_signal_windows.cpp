#include "platform/stop_signal.h"

namespace platform {

int WatchStopSignals() {
  return -1;  // a Windows program is asked to end by its window's messages
}

bool TakeStopRequests(int) {
  return false;
}

}  // namespace platform
