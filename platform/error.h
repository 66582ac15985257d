#pragma once

#include <stdexcept>
#include <string>

namespace platform {

// The one error type of the system: it carries a message and nothing else. Routines that wrap
// the failures of others prefix their own name to the inner message.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace platform
