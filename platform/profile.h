#pragma once

// Profile (INI) files with the semantics of Windows' GetPrivateProfileStringA and
// WritePrivateProfileStringA: sections and keys compared without regard to letter case, blanks
// around keys and values dropped, one pair of enclosing quotes dropped from a value, values read
// as at most 2047 characters, and a write that changes one key's line and keeps every other line
// of the file as it was.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::size_t kMaxProfileValue = 2047;

// The value of `key` in `section` of the INI text, or nothing when the section or key is absent.
std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section,
                                         std::string_view key);
// The INI text with `key` in `section` set to `value`: its line replaced where it stands, else
// appended to the section, else a new section at the end. Line ends of the text are kept.
std::string ProfileAssign(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view value);
// An integer setting: "0x"/"0X" and at least one more character is hexadecimal, anything else a
// decimal number with optional sign; a value that is neither (or overflows 32 bits) is nothing.
std::optional<std::int32_t> ParseProfileInteger(std::string_view value);

// One profile file on disk, named by its full path.
class ProfileFile {
 public:
  explicit ProfileFile(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }

  // GetPrivateProfileStringA: the value, or `fallback` when absent or unreadable.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  std::int32_t ReadInteger(std::string_view section, std::string_view key,
                           std::int32_t fallback) const;
  // WritePrivateProfileStringA: false when the file (or its directory) cannot be written.
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);

 private:
  std::string path_;
};

// Where the program keeps a profile named by its bare file name: the Windows directory on
// Windows; elsewhere $XDG_CONFIG_HOME/parlavant/NAME, $XDG_CONFIG_HOME defaulting to ~/.config.
std::string ProfilePath(std::string_view bareName);

}  // namespace platform
