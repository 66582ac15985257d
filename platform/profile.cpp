#include "platform/profile.h"

#include "platform/ascii.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

struct Line {
  std::string_view text;    // without its line end
  std::string_view ending;  // "\n", "\r\n" or empty for a last line without one
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    if (lf == std::string_view::npos) {
      lines.push_back({text, {}});
      break;
    }
    std::size_t end = lf;
    if (end > 0 && text[end - 1] == '\r') --end;
    lines.push_back({text.substr(0, end), text.substr(end, lf + 1 - end)});
    text.remove_prefix(lf + 1);
  }
  return lines;
}

// "[name]" gives name; anything else gives nothing.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

// "key=value" gives its trimmed key; anything else gives nothing.
std::optional<std::string_view> KeyOf(std::string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  const std::string_view key = Trim(line.substr(0, eq));
  if (key.empty() || key.front() == ';') return std::nullopt;
  return key;
}

}  // namespace

std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section,
                                         std::string_view key) {
  bool inSection = false;
  for (const Line& line : SplitLines(text)) {
    if (auto name = SectionName(line.text)) {
      inSection = SameIgnoringCase(*name, section);
      continue;
    }
    if (!inSection) continue;
    auto k = KeyOf(line.text);
    if (!k || !SameIgnoringCase(*k, key)) continue;
    std::string_view value = Trim(line.text.substr(line.text.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value.substr(0, kMaxProfileValue));
  }
  return std::nullopt;
}

std::string ProfileAssign(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view value) {
  const std::vector<Line> lines = SplitLines(text);
  // The file's own line end for what is added.
  std::string_view newline = "\r\n";
  for (const Line& line : lines) {
    if (!line.ending.empty()) {
      newline = line.ending;
      break;
    }
  }
  const std::string assignment = std::string(key) + "=" + std::string(value);
  std::string out;
  bool inSection = false;
  bool sectionSeen = false;
  bool done = false;
  std::size_t lastInSection = std::string::npos;  // where the section's last key line ends in out
  for (const Line& line : lines) {
    if (auto name = SectionName(line.text)) {
      inSection = SameIgnoringCase(*name, section);
      sectionSeen |= inSection;
      out += line.text;
      out += line.ending.empty() ? newline : line.ending;
      if (inSection) lastInSection = out.size();
      continue;
    }
    if (inSection && !done) {
      if (auto k = KeyOf(line.text); k && SameIgnoringCase(*k, key)) {
        out += assignment;
        out += line.ending;
        done = true;
        continue;
      }
    }
    out += line.text;
    out += line.ending;
    if (inSection && !Trim(line.text).empty()) lastInSection = out.size();
  }
  if (done) return out;
  if (sectionSeen) {
    // After the section's last non-blank line, so the file's blank separators stay where they are.
    if (lastInSection > 0 && out[lastInSection - 1] != '\n') {
      out.insert(lastInSection, std::string(newline));
      lastInSection += newline.size();
    }
    out.insert(lastInSection, assignment + std::string(newline));
    return out;
  }
  if (!out.empty() && out.back() != '\n') out += newline;
  out +=
      "[" + std::string(section) + "]" + std::string(newline) + assignment + std::string(newline);
  return out;
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

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view fallback) const {
  std::ifstream in(path_, std::ios::binary);
  if (!in) return std::string(fallback.substr(0, kMaxProfileValue));
  std::stringstream text;
  text << in.rdbuf();
  auto value = ProfileLookup(text.str(), section, key);
  return value ? *value : std::string(fallback.substr(0, kMaxProfileValue));
}

std::int32_t ProfileFile::ReadInteger(std::string_view section, std::string_view key,
                                      std::int32_t fallback) const {
  // Read as text first, as the profile functions do, so a malformed value gives the default.
  const std::string text = ReadString(section, key, "");
  auto value = ParseProfileInteger(Trim(text));
  return value ? *value : fallback;
}

bool ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  namespace fs = std::filesystem;
  std::string text;
  {
    std::ifstream in(path_, std::ios::binary);
    if (in) {
      std::stringstream buffer;
      buffer << in.rdbuf();
      text = buffer.str();
    }
  }
  std::error_code ec;
  const fs::path path(path_);
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  // Written beside the file and renamed over it: a failure halfway never leaves half a file.
  const std::string temp = path_ + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << ProfileAssign(text, section, key, value);
    out.flush();
    if (!out) {
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, path, ec);
  if (ec) {
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace platform
