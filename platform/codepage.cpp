#include "platform/codepage.h"

#include <array>
#include <cstdint>

namespace platform {
namespace {

// Windows-1252 at 0x80..0x9F; the five bytes it leaves undefined map to the C1 control of the
// same value, as Windows' own conversion does.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::u16string Utf8Decode(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto lead = static_cast<std::uint8_t>(bytes[i++]);
    if (lead < 0x80) {
      out.push_back(lead);
      continue;
    }
    int follow;
    std::uint32_t value;
    if (lead < 0xF0) {
      follow = (lead & 0x20) ? 2 : 1;
      value = lead & (follow == 1 ? 0x1F : 0x0F);
    } else if (lead <= 0xF4) {
      follow = 3;
      value = lead & 0x07;
    } else {
      return {};
    }
    if (n - i < static_cast<std::size_t>(follow)) return {};
    for (int k = 0; k < follow; ++k) {
      const auto c = static_cast<std::uint8_t>(bytes[i++]);
      if (c < 0x80 || c > 0xBF) return {};
      value = (value << 6) | (c & 0x3F);
    }
    if (value < 0x10000) {
      out.push_back(static_cast<char16_t>(value));
    } else if (value <= 0x10FFFF) {
      value -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    } else {
      return {};
    }
  }
  return out;
}

std::string Utf8Encode(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  auto put = [&out](std::uint32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      put(0x10000 + ((static_cast<std::uint32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      put(0xFFFD);
    } else {
      put(u);
    }
  }
  return out;
}

std::u16string CyrillicToWide(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(bytes[i]);
    out[i] = static_cast<char16_t>(b >= 0xC0 ? b + 0x350 : b);
  }
  return out;
}

std::string WideToAnsi(std::u16string_view text, char defaultChar) {
  std::string out;
  out.reserve(text.size());
  for (char16_t u : text) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
      out.push_back(static_cast<char>(u));
      continue;
    }
    char mapped = defaultChar;
    for (std::size_t k = 0; k < kCp1252High.size(); ++k) {
      if (kCp1252High[k] == u) {
        mapped = static_cast<char>(0x80 + k);
        break;
      }
    }
    out.push_back(mapped);
  }
  return out;
}

std::u16string AnsiToWide(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    out.push_back(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : static_cast<char16_t>(b));
  }
  return out;
}

}  // namespace platform
