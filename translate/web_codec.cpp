#include "translate/web_codec.h"

#include <cstdint>
#include <new>
#include <optional>

#include "platform/ascii.h"
#include "platform/codepage.h"
#include "platform/error.h"

namespace translate {
namespace {

struct Replacement {
  std::u16string_view name;
  std::u16string_view text;
};

// Lowercase names of Latin-1 letters, compared with the name as received.
constexpr Replacement kLowercaseNames[] = {
    {u"uuml", u"ü"},   {u"auml", u"ä"},   {u"euml", u"ë"},   {u"iuml", u"ï"},   {u"ouml", u"ö"},
    {u"szlig", u"ß"},  {u"aacute", u"á"}, {u"eacute", u"é"}, {u"iacute", u"í"}, {u"oacute", u"ó"},
    {u"uacute", u"ú"}, {u"ntilde", u"ñ"}, {u"yuml", u"ÿ"},   {u"agrave", u"à"}, {u"egrave", u"è"},
    {u"igrave", u"ì"}, {u"ograve", u"ò"}, {u"ugrave", u"ù"}, {u"acirc", u"â"},  {u"ecirc", u"ê"},
    {u"icirc", u"î"},  {u"ocirc", u"ô"},  {u"ucirc", u"û"},  {u"ccedil", u"ç"},
};

// Compared with the upper-cased name.
constexpr Replacement kUppercaseNames[] = {
    {u"ACUTE", u"'"}, {u"AGRAVE", u"a"}, {u"ECIRC", u"e"}, {u"AELIG", u"AE"}, {u"POUND", u"GBP"},
};

// Through the ANSI code page: bytes 0x61..0x7A, 0xA0..0xBF and 0xE0..0xFF go down by 0x20,
// whatever letter they are; what the code page lacks is "?" already.
std::u16string UpperCaseName(std::u16string_view name) {
  std::string bytes = platform::WideToAnsi(name);
  for (char& c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if ((b >= 0x61 && b <= 0x7A) || (b >= 0xA0 && b <= 0xBF) || b >= 0xE0) {
      c = static_cast<char>(b - 0x20);
    }
  }
  return platform::AnsiToWide(bytes);
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The name without its first unit, read leniently as a signed 32-bit number: optional sign,
// then decimal digits, or hexadecimal ones after "$", "X" or "0X"; reading stops at the first
// unit that does not fit, and then a "-" is not applied. A value beyond 32 bits gives nothing.
std::optional<std::int32_t> NumericValue(std::u16string_view name) {
  std::u16string_view s = name.substr(name.empty() ? 0 : 1);
  bool negative = false;
  if (!s.empty() && (s[0] == u'+' || s[0] == u'-')) {
    negative = s[0] == u'-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && (s[0] == u'$' || s[0] == u'X')) {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() >= 2 && s[0] == u'0' && s[1] == u'X') {
    base = 16;
    s.remove_prefix(2);
  }
  std::int64_t value = 0;
  std::size_t i = 0;
  for (; i < s.size(); ++i) {
    const int digit =
        base == 16 ? HexValue(s[i]) : (s[i] >= u'0' && s[i] <= u'9' ? s[i] - u'0' : -1);
    if (digit < 0) break;
    value = value * base + digit;
    if (value > 0x80000000LL) return std::nullopt;
  }
  const bool stoppedEarly = i < s.size();
  if (negative && !stoppedEarly) value = -value;
  if (value > 0x7FFFFFFFLL) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

void Resolve(std::u16string_view name, std::u16string& out) {
  const std::u16string upper = UpperCaseName(name);
  auto echo = [&] {
    out += u'&';
    out += upper;
    out += u' ';
  };
  if (upper.size() < 2) return echo();
  // U+274F, a drop-shadowed square that few fonts can show, comes out as a plain "*". Tested
  // before the numbers, which would otherwise make it U+274F itself.
  if (name == u"#10063") {
    out += u'*';
    return;
  }
  if (auto value = NumericValue(upper); value && *value > 0) {
    out += static_cast<char16_t>(*value & 0xFFFF);
    return;
  }
  for (const auto& row : kLowercaseNames) {
    if (row.name == name) {
      out += row.text;
      return;
    }
  }
  for (const auto& row : kUppercaseNames) {
    if (row.name == upper) {
      out += row.text;
      return;
    }
  }
  echo();
}

}  // namespace

std::string WebEncode(std::u16string_view text) {
  try {
    std::string out;
    out.reserve(text.size() * 8);
    for (char16_t unit : text) {
      out += "&#";
      out += std::to_string(static_cast<unsigned>(unit));
      out += ';';
    }
    return out;
  } catch (const std::bad_alloc&) {
    throw platform::Error("WebEncode: Out of memory");
  } catch (const std::exception& e) {
    throw platform::Error(std::string("WebEncode: ") + e.what());
  }
}

std::u16string WebDecode(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::u16string name;
  bool open = false;
  for (char16_t unit : text) {
    if (unit == u'&') {
      open = true;  // a second "&" keeps the name collected so far
    } else if (!open) {
      out += unit;
    } else if (unit != u' ' && unit != u';') {
      name += unit;
    } else {
      open = false;
      Resolve(name, out);
      name.clear();
    }
  }
  if (open) {
    // Nothing is lost at the end: "AT&T" stays "AT&T".
    out += u'&';
    out += name;
  }
  return out;
}

std::string PercentDecode(std::string_view text) {
  std::string plus(text);
  for (char& c : plus) {
    if (c == '+') c = ' ';
  }
  std::string out;
  out.reserve(plus.size());
  for (std::size_t i = 0; i < plus.size(); ++i) {
    if (plus[i] != '%') {
      out += plus[i];
      continue;
    }
    const std::size_t take = std::min<std::size_t>(2, plus.size() - i - 1);
    int value = 0;
    bool hex = take > 0;
    for (std::size_t k = 1; k <= take; ++k) {
      const int d = platform::HexDigitValue(plus[i + k]);
      if (d < 0) hex = false;
      value = value * 16 + (d < 0 ? 0 : d);
    }
    if (hex && value >= 1 && value <= 255) out += static_cast<char>(value);
    i += take;
  }
  return out;
}

}  // namespace translate
