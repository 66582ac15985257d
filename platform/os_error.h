#pragma once

// The operating system's error numbers, turned into text in one place for the whole program.

#include <string>
#include <string_view>

namespace platform {

// The system's text for an error number ("Connection refused" for ECONNREFUSED here).
std::string OsErrorText(int number);

// A network error the C library numbered (ETIMEDOUT, ECONNABORTED: what a library such as
// libstrophe sets itself) as the system numbers its own socket errors: the same on POSIX,
// Winsock's number on Windows, whose C library counts these otherwise. Anything else unchanged.
int SocketErrorFromC(int number);

// Throws platform::Error with `what`, ": " and the system's text for `number`.
[[noreturn]] void ThrowOsError(std::string_view what, int number);

}  // namespace platform
