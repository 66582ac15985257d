#include "platform/os_error.h"

#include <cstring>

#include "platform/error.h"

namespace platform {

std::string OsErrorText(int number) {
  return std::strerror(number);
}

int SocketErrorFromC(int number) { return number; }

void ThrowOsError(std::string_view what, int number) {
  throw Error(std::string(what) + ": " + OsErrorText(number));
}

}  // namespace platform
