// Windows' error numbers as text. The network's numbers (Winsock's) read as the POSIX build's
// texts, so that "Socket Error # N" is followed by the same words on both ("Connection
// refused."); anything else is the system's own message.
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/error.h"
#include "platform/os_error.h"

namespace platform {
namespace {

const char* NetworkText(int number) {
  switch (number) {
    case 10004:
      return "Interrupted system call";
    case 10013:
      return "Permission denied";
    case 10022:
      return "Invalid argument";
    case 10024:
      return "Too many open files";
    case 10035:
      return "Resource temporarily unavailable";
    case 10038:
      return "Socket operation on non-socket";
    case 10040:
      return "Message too long";
    case 10047:
      return "Address family not supported by protocol";
    case 10048:
      return "Address already in use";
    case 10049:
      return "Cannot assign requested address";
    case 10050:
      return "Network is down";
    case 10051:
      return "Network is unreachable";
    case 10052:
      return "Network dropped connection on reset";
    case 10053:
      return "Software caused connection abort";
    case 10054:
      return "Connection reset by peer";
    case 10055:
      return "No buffer space available";
    case 10056:
      return "Transport endpoint is already connected";
    case 10057:
      return "Transport endpoint is not connected";
    case 10058:
      return "Cannot send after transport endpoint shutdown";
    case 10060:
      return "Connection timed out";
    case 10061:
      return "Connection refused";
    case 10064:
      return "Host is down";
    case 10065:
      return "No route to host";
    case 11001:
      return "Name or service not known";
    case 11002:
      return "Temporary failure in name resolution";
    case 11003:
      return "Non-recoverable failure in name resolution";
    case 11004:
      return "No address associated with hostname";
    default:
      return nullptr;
  }
}

}  // namespace

int SocketErrorFromC(int number) {
  switch (number) {
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOTCONN:
      return 10057;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EHOSTUNREACH:
      return 10065;
    default:
      return number;
  }
}

std::string OsErrorText(int number) {
  if (const char* text = NetworkText(number)) return text;
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(number), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length > 0 ? std::string(buffer, length) : "Error " + std::to_string(number);
  if (buffer != nullptr) LocalFree(buffer);
  // The system ends its texts with a full stop and a line break; the callers add their own.
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

void ThrowOsError(std::string_view what, int number) {
  throw Error(std::string(what) + ": " + OsErrorText(number));
}

}  // namespace platform
