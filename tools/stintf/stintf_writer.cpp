#include "tools/stintf/stintf_writer.h"

#include <zlib.h>

#include "platform/codepage.h"
#include "platform/error.h"
#include "uilocal/translate_interface.h"

namespace stintf {
namespace {

void Put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::string TextFromSource(std::string_view utf8Source) {
  const std::u16string wide = platform::Utf8Decode(utf8Source);
  if (wide.empty() && !utf8Source.empty()) throw platform::Error("The source is not UTF-8");
  std::string text;
  text.reserve(wide.size());
  int line = 1;
  for (char16_t c : wide) {
    if (c == u'\n') ++line;
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else if (c >= 0x410 && c <= 0x44F) {
      text.push_back(static_cast<char>(c - 0x350));
    } else {
      throw platform::Error(
          "Line " + std::to_string(line) +
          ": only ASCII and the basic Cyrillic letters can be written to the file");
    }
  }
  return text;
}

std::string Content(std::string_view text) {
  std::string out;
  Put32(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
  return out;
}

std::string RawDeflate(std::string_view bytes) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw platform::Error("Cannot start compressing");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw platform::Error("Cannot compress");
  return out;
}

std::string GzipMember(std::string_view bytes, const MemberOptions& options) {
  std::string out = {'\x1F', '\x8B', '\x08', static_cast<char>(options.flags), 0, 0, 0,
                     0,      0,      '\x03'};
  if (options.flags & 4) {
    out.push_back(static_cast<char>(options.extra.size() & 0xFF));
    out.push_back(static_cast<char>(options.extra.size() >> 8));
    out += options.extra;
  }
  if (options.flags & 8) out += options.name + '\0';
  if (options.flags & 16) out += options.comment + '\0';
  if (options.flags & 2) {
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())));
    out.push_back(static_cast<char>(crc & 0xFF));
    out.push_back(static_cast<char>((crc >> 8) & 0xFF));
  }
  out += RawDeflate(bytes);
  auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
  if (options.corruptCrc) ++crc;
  Put32(out, crc);
  Put32(out, static_cast<std::uint32_t>(bytes.size()));
  return out;
}

std::string Scramble(std::string_view bytes, std::uint32_t firstOffset) {
  std::string out(bytes);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char>(static_cast<std::uint8_t>(out[i]) ^
                               uilocal::KeystreamByte(firstOffset + static_cast<std::uint32_t>(i)));
  }
  return out;
}

std::string InterfaceFile(std::string_view text) {
  return Scramble(GzipMember(Content(text)));
}

}  // namespace stintf
