#pragma once

// Text conversions between byte strings and UTF-16 texts.

#include <string>
#include <string_view>

namespace platform {

// UTF-8 to UTF-16. A byte below 0x80 is one unit; a lead byte below 0xF0 starts a sequence of two
// bytes (bit 0x20 clear: its low five bits) or three (bit 0x20 set: its low four bits); each
// following byte must be 0x80..0xBF and adds its low six bits; overlong forms are accepted.
// Lead bytes 0xF0..0xF4 start four bytes that become a surrogate pair. A bad following byte, a
// lead above 0xF4, a value beyond U+10FFFF or a sequence cut off by the end makes the whole
// result empty.
std::u16string Utf8Decode(std::string_view bytes);

// UTF-16 to UTF-8, unit by unit; a surrogate pair becomes one four-byte sequence and a lone
// surrogate U+FFFD, so the result is always well-formed UTF-8.
std::string Utf8Encode(std::u16string_view text);

// Widens byte by byte: 0xC0..0xFF become U+0410..U+044F (Cyrillic, where Windows-1251 has it),
// every other byte keeps its value.
std::u16string CyrillicToWide(std::string_view bytes);

// The ANSI code page of the system: Windows-1252. A unit it cannot hold becomes `defaultChar`.
std::string WideToAnsi(std::u16string_view text, char defaultChar = '?');
std::u16string AnsiToWide(std::string_view bytes);

}  // namespace platform
