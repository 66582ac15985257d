#include "platform/instance_channel.h"

namespace platform {

// The Windows window finds a running copy by its window instead.
InstanceChannel::~InstanceChannel() = default;
bool InstanceChannel::AskToShow(const std::string&, int) {
  return false;
}
bool InstanceChannel::Listen(const std::string&) {
  return false;
}
int InstanceChannel::TakeRequests() {
  return 0;
}

}  // namespace platform
