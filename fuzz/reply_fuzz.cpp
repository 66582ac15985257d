// The HTTP reply reader on arbitrary bytes, cut into pieces whose size the first byte chooses;
// the outcome must not depend on how the bytes were cut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "translate/http_reply.h"

namespace {

std::string Outcome(std::string_view bytes, std::size_t piece) {
  try {
    translate::ReplyReader reader;
    bool done = false;
    for (std::size_t i = 0; i < bytes.size() && !done; i += piece)
      done = reader.Feed(bytes.substr(i, piece));
    reader.Finish();
    return "ok " + std::to_string(reader.Status()) + " " + reader.Body();
  } catch (const platform::Error& e) {
    return std::string("error ") + e.what();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 32;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (Outcome(bytes, piece) != Outcome(bytes, bytes.size() + 1)) std::abort();
  return 0;
}
