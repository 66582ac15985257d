// The socket desktop's frame reader on arbitrary byte streams, cut into pieces whose sizes the
// input chooses. Every frame it accepts must encode back to exactly the bytes it consumed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  const std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
  platform::wire::FrameReader reader;
  std::string reencoded;
  std::size_t fed = 0;
  bool bad = false;
  while (fed < stream.size() && !bad) {
    const std::size_t n = std::min(piece, stream.size() - fed);
    reader.Append(std::string_view(stream).substr(fed, n));
    fed += n;
    platform::wire::Frame frame;
    for (;;) {
      const auto status = reader.Next(frame);
      if (status == platform::wire::FrameReader::Status::kFrame) {
        reencoded += platform::wire::Encode(frame);
        continue;
      }
      bad = status == platform::wire::FrameReader::Status::kBad;
      break;
    }
  }
  if (!bad && stream.compare(0, reencoded.size(), reencoded) != 0) std::abort();
  if (!bad && reencoded.size() + reader.Buffered() != stream.size()) std::abort();
  return 0;
}
