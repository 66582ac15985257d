#include "platform/single_instance.h"

namespace platform {
namespace {

constexpr int kAnswerMs = 2000;  // a first copy that does not take the request in this is hung

}  // namespace

SingleInstance::SingleInstance(const std::string& kind, const std::string& desktop)
    : name_(InstanceName(kind, desktop)) {}

bool SingleInstance::HandOver() {
  if (InstanceChannel::AskToShow(name_, kAnswerMs)) return true;
  channel_.Listen(name_);
  return false;
}

bool SingleInstance::AskToShow(const std::string& kind, const std::string& desktop) {
  return InstanceChannel::AskToShow(InstanceName(kind, desktop), kAnswerMs);
}

}  // namespace platform
