// The settings-file reader and writer on arbitrary file bytes (8-bit, UTF-8 or UTF-16 by their
// mark): a lookup never fails, a key written is read back as written, and every other key keeps
// its value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const auto before = platform::ProfileLookup(bytes, "General", "Receive");
  if (before) platform::ParseProfileInteger(*before);
  const std::string written = platform::ProfileAssign(bytes, "General", "Left", "230");
  if (platform::ProfileLookup(written, "General", "Left") != "230") std::abort();
  if (platform::ProfileLookup(written, "General", "Receive") != before) std::abort();
  // Writing what is already there changes nothing.
  if (platform::ProfileAssign(written, "General", "Left", "230") != written) std::abort();
  return 0;
}
