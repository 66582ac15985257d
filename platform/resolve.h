#pragma once

// Names and whether they stay on this machine.

#include <string>
#include <vector>

namespace platform {

// Every address `host` resolves to, as numeric text ("127.0.0.1", "::1"). Throws platform::Error
// when it does not resolve.
std::vector<std::string> ResolveAddresses(const std::string& host);
// Whether a numeric address is this machine's loopback (127.0.0.0/8, ::1, or IPv4-mapped 127/8).
bool IsLoopbackAddress(const std::string& numeric);

}  // namespace platform
