#pragma once

// The one name for a socket on every system.

#include <cstdint>

namespace platform {

// A socket as the system names it: a descriptor here, a SOCKET (as wide as a pointer) on Windows.
#ifdef _WIN32
using SocketId = std::uintptr_t;
inline constexpr SocketId kNoSocket = ~SocketId{0};
#else
using SocketId = int;
inline constexpr SocketId kNoSocket = -1;
#endif

}  // namespace platform
