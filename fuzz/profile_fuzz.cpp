// The settings-file reader and writer on arbitrary INI text: a lookup never fails, and a key
// written is read back as written while every other key keeps its value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto before = platform::ProfileLookup(text, "General", "Receive");
  if (before) platform::ParseProfileInteger(*before);
  const std::string written = platform::ProfileAssign(text, "General", "Left", "230");
  const auto left = platform::ProfileLookup(written, "General", "Left");
  // A key written is found again with its value, unless an earlier line of the same section
  // already spells it differently in a way the writer does not replace (it replaces the first).
  if (!left) std::abort();
  if (platform::ProfileLookup(text, "General", "Left") == std::nullopt && *left != "230")
    std::abort();
  const auto receive = platform::ProfileLookup(written, "General", "Receive");
  if (before != receive) std::abort();
  return 0;
}
