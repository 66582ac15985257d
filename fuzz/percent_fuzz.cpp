// Percent-decoding and UTF-8 decoding of arbitrary reply values.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/codepage.h"
#include "translate/web_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string bytes = translate::PercentDecode(text);
  if (bytes.size() > text.size()) std::abort();
  // "%00" is dropped: a zero byte out is a zero byte that came in as itself.
  if (std::count(bytes.begin(), bytes.end(), '\0') > std::count(text.begin(), text.end(), '\0'))
    std::abort();
  const std::u16string decoded = platform::Utf8Decode(bytes);
  // What decodes, encodes back to the same bytes when it holds no overlong or surrogate forms;
  // at least it must encode to well-formed UTF-8 that decodes to itself.
  const std::string again = platform::Utf8Encode(decoded);
  if (!decoded.empty() && platform::Utf8Decode(again).empty()) std::abort();
  return 0;
}
