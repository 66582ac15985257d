#pragma once

// Writing interface-translation files: the layers of the format applied in reverse. The pieces
// are separate so that tests can build files with every kind of header by hand.

#include <cstdint>
#include <string>
#include <string_view>

namespace stintf {

// The text of records made from a maintainer's source, "path;language;text" lines in UTF-8:
// Cyrillic letters become the Windows-1251 bytes that CyrillicToWide widens back; other
// characters must be ASCII. Lines stay as they are otherwise. Throws platform::Error naming the
// line of a character the format cannot carry.
std::string TextFromSource(std::string_view utf8Source);

// The 4-byte little-endian length, then the text.
std::string Content(std::string_view text);
// Raw deflate of the bytes (no header).
std::string RawDeflate(std::string_view bytes);

struct MemberOptions {
  std::uint8_t flags = 0;   // header flags; the fields below are written for the flags set
  std::string extra;        // FEXTRA
  std::string name;         // FNAME
  std::string comment;      // FCOMMENT
  bool corruptCrc = false;  // the trailer's CRC-32 off by one
};
// One gzip member holding `bytes`.
std::string GzipMember(std::string_view bytes, const MemberOptions& options = {});

// XOR with the keystream, by offsets counted from `firstOffset`; its own inverse.
std::string Scramble(std::string_view bytes, std::uint32_t firstOffset = 0);

// A whole file for the text: content, one gzip member, scrambled.
std::string InterfaceFile(std::string_view text);

}  // namespace stintf
