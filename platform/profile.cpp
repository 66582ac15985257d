#include "platform/profile.h"

#include <vector>

#include "platform/ascii.h"
#include "platform/codepage.h"

namespace platform {
namespace {

// The engine works on code units of the file's own encoding: bytes for an 8-bit or UTF-8 file,
// UTF-16 units for a UTF-16 one, so that every line it does not change goes back unchanged.
template <typename Char>
using View = std::basic_string_view<Char>;
template <typename Char>
using Text = std::basic_string<Char>;

// Blanks as the profile functions take them: tab to carriage return, space, and Ctrl-Z (the old
// end-of-file mark, found in files copied from old media).
template <typename Char>
bool IsBlank(Char c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1A;
}

template <typename Char>
View<Char> Trim(View<Char> s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

template <typename Char>
bool SameName(View<Char> a, View<Char> b) {
  if (a.size() != b.size()) return false;
  const auto lower = [](Char c) { return c >= 'A' && c <= 'Z' ? static_cast<Char>(c + 32) : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

template <typename Char>
struct Line {
  View<Char> text;    // without its line end
  View<Char> ending;  // CR LF, LF, CR, or empty for a last line without one
};

// A line ends at CR LF, at LF, or at a CR alone.
template <typename Char>
std::vector<Line<Char>> SplitLines(View<Char> text) {
  std::vector<Line<Char>> lines;
  while (!text.empty()) {
    std::size_t end = 0;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
    std::size_t next = end;
    if (next < text.size()) {
      next += text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n' ? 2 : 1;
    }
    lines.push_back({text.substr(0, end), text.substr(end, next - end)});
    text.remove_prefix(next);
  }
  return lines;
}

// "[name]" gives name; anything else gives nothing.
template <typename Char>
std::optional<View<Char>> SectionName(View<Char> line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(Char(']'));
  if (close == View<Char>::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

// "key=value" gives its key as spelled; anything else (a ';' comment too) gives nothing.
template <typename Char>
std::optional<View<Char>> KeyOf(View<Char> line) {
  const std::size_t eq = line.find(Char('='));
  if (eq == View<Char>::npos) return std::nullopt;
  const View<Char> key = Trim(line.substr(0, eq));
  if (key.empty() || key.front() == ';') return std::nullopt;
  return key;
}

// Only a section's first occurrence counts: the profile functions never look at a later one.
enum class Place { kBefore, kInside, kAfter };

template <typename Char>
Place Enter(Place place, View<Char> name, View<Char> section) {
  if (place == Place::kInside) return Place::kAfter;
  if (place == Place::kBefore && SameName(name, section)) return Place::kInside;
  return place;
}

template <typename Char>
std::optional<Text<Char>> Lookup(View<Char> text, View<Char> section, View<Char> key) {
  Place place = Place::kBefore;
  for (const Line<Char>& line : SplitLines(text)) {
    if (auto name = SectionName(line.text)) {
      place = Enter(place, *name, section);
      if (place == Place::kAfter) break;
      continue;
    }
    if (place != Place::kInside) continue;
    auto k = KeyOf(line.text);
    if (!k || !SameName(*k, key)) continue;
    View<Char> value = line.text.substr(line.text.find(Char('=')) + 1);
    value = Trim(value.substr(0, value.find(Char(0))));  // a NUL ends the value
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return Text<Char>(value);
  }
  return std::nullopt;
}

template <typename Char>
bool EndsLine(const Text<Char>& out) {
  return !out.empty() && (out.back() == '\n' || out.back() == '\r');
}

template <typename Char>
Text<Char> Assign(View<Char> text, View<Char> section, View<Char> key, View<Char> value) {
  const std::vector<Line<Char>> lines = SplitLines(text);
  // The file's own line end for what is added.
  static const Char kCrLf[] = {'\r', '\n', 0};
  View<Char> newline = kCrLf;
  for (const Line<Char>& line : lines) {
    if (!line.ending.empty()) {
      newline = line.ending;
      break;
    }
  }
  const auto assignment = [&](View<Char> spelling) {
    Text<Char> line(spelling);
    line += Char('=');
    line += value;
    return line;
  };
  Text<Char> out;
  Place place = Place::kBefore;
  bool done = false;
  std::size_t lastInSection = Text<Char>::npos;  // where the section's last key line ends in out
  for (const Line<Char>& line : lines) {
    if (auto name = SectionName(line.text)) {
      place = Enter(place, *name, section);
      out += line.text;
      out += line.ending.empty() ? newline : line.ending;
      if (place == Place::kInside && lastInSection == Text<Char>::npos) lastInSection = out.size();
      continue;
    }
    if (place == Place::kInside && !done) {
      // The key keeps its spelling in the file; only its value changes.
      if (auto k = KeyOf(line.text); k && SameName(*k, key)) {
        out += assignment(*k) + Text<Char>(line.ending);
        done = true;
        continue;
      }
    }
    out += line.text;
    out += line.ending;
    if (place == Place::kInside && !Trim(line.text).empty()) lastInSection = out.size();
  }
  if (done) return out;
  if (lastInSection != Text<Char>::npos) {
    // After the section's last non-blank line, so the file's blank separators (and a closing
    // Ctrl-Z line) stay where they are.
    Text<Char> added = assignment(key) + Text<Char>(newline);
    if (!EndsLine(out.substr(0, lastInSection))) added.insert(0, newline);
    out.insert(lastInSection, added);
    return out;
  }
  if (!out.empty() && !EndsLine(out)) out += newline;
  out += Char('[');
  out += section;
  out += Char(']');
  out += newline;
  out += assignment(key) + Text<Char>(newline);
  return out;
}

// How a file's text is stored: the byte-order mark it starts with, if any.
enum class Encoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

struct Stored {
  Encoding encoding = Encoding::kAnsi;
  std::string_view mark;  // the byte-order mark, kept for the rewrite
  std::string_view body;  // what follows it
};

Stored Classify(std::string_view bytes) {
  const auto starts = [&](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
  if (starts("\xEF\xBB\xBF")) return {Encoding::kUtf8, bytes.substr(0, 3), bytes.substr(3)};
  if (starts("\xFF\xFE")) return {Encoding::kUtf16Le, bytes.substr(0, 2), bytes.substr(2)};
  if (starts("\xFE\xFF")) return {Encoding::kUtf16Be, bytes.substr(0, 2), bytes.substr(2)};
  return {Encoding::kAnsi, {}, bytes};
}

// UTF-16 units taken pair by pair, and given back the same way: nothing is lost, not even an
// unpaired surrogate; an odd last byte stays behind and is put back after the rewrite.
std::u16string Units(std::string_view body, bool bigEndian) {
  std::u16string units;
  units.reserve(body.size() / 2);
  for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
    const auto first = static_cast<unsigned char>(body[i]);
    const auto second = static_cast<unsigned char>(body[i + 1]);
    units += static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
  }
  return units;
}

std::string Bytes(std::u16string_view units, bool bigEndian) {
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t u : units) {
    const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

std::string Utf8FromAnsi(std::string_view ansi) {
  return Utf8Encode(AnsiToWide(ansi));
}

std::string Limited(std::string value) {
  if (value.size() > kMaxProfileValue) value.resize(kMaxProfileValue);
  return value;
}

}  // namespace

std::optional<std::string> ProfileLookup(std::string_view bytes, std::string_view section,
                                         std::string_view key) {
  const Stored stored = Classify(bytes);
  switch (stored.encoding) {
    case Encoding::kAnsi: {
      auto value = Lookup<char>(stored.body, section, key);
      if (!value) return std::nullopt;
      return Limited(std::move(*value));
    }
    case Encoding::kUtf8: {
      auto value = Lookup<char>(stored.body, Utf8FromAnsi(section), Utf8FromAnsi(key));
      if (!value) return std::nullopt;
      return Limited(WideToAnsi(Utf8Decode(*value)));
    }
    case Encoding::kUtf16Le:
    case Encoding::kUtf16Be: {
      const bool big = stored.encoding == Encoding::kUtf16Be;
      auto value = Lookup<char16_t>(Units(stored.body, big), AnsiToWide(section), AnsiToWide(key));
      if (!value) return std::nullopt;
      return Limited(WideToAnsi(*value));
    }
  }
  return std::nullopt;
}

std::string ProfileAssign(std::string_view bytes, std::string_view section, std::string_view key,
                          std::string_view value) {
  const Stored stored = Classify(bytes);
  std::string out(stored.mark);
  switch (stored.encoding) {
    case Encoding::kAnsi:
      out += Assign<char>(stored.body, section, key, value);
      break;
    case Encoding::kUtf8:
      out +=
          Assign<char>(stored.body, Utf8FromAnsi(section), Utf8FromAnsi(key), Utf8FromAnsi(value));
      break;
    case Encoding::kUtf16Le:
    case Encoding::kUtf16Be: {
      const bool big = stored.encoding == Encoding::kUtf16Be;
      const std::u16string text = Units(stored.body, big);
      out += Bytes(Assign<char16_t>(text, AnsiToWide(section), AnsiToWide(key), AnsiToWide(value)),
                   big);
      if (stored.body.size() % 2 != 0) out += stored.body.back();
      break;
    }
  }
  return out;
}

std::string_view TrimProfileBlanks(std::string_view text) {
  return Trim<char>(text);
}

std::optional<std::int32_t> ParseProfileInteger(std::string_view value) {
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    std::int64_t v = 0;
    for (char c : value.substr(2)) {
      const int d = HexDigitValue(c);
      if (d < 0) return std::nullopt;
      v = v * 16 + d;
      if (v > 0xFFFFFFFFLL) return std::nullopt;
    }
    // Eight hex digits cover the whole 32 bits, as the value's bit pattern.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  }
  std::string_view s = value;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
    if (v > 0x80000000LL) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > 0x7FFFFFFF || v < -0x80000000LL) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

std::int32_t ProfileFile::ReadInteger(std::string_view section, std::string_view key,
                                      std::int32_t fallback) const {
  // Read as text first, as the profile functions do, so a malformed value gives the default.
  // Blanks inside quotes are forgiven too.
  const std::string text = ReadString(section, key, "");
  auto value = ParseProfileInteger(TrimProfileBlanks(text));
  return value ? *value : fallback;
}

}  // namespace platform
