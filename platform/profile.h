#pragma once

// Profile (INI) files as Windows' GetPrivateProfileStringA and WritePrivateProfileStringA read
// and write them:
// - A line ends at CR LF, LF, or a CR alone. Blanks around section names, keys and values are
//   the bytes 0x09-0x0D, 0x20 and 0x1A (Ctrl-Z). A line whose key starts with ';' is a comment.
// - Sections and keys are compared without regard to ASCII letter case; only the first
//   occurrence of a section counts, and within it the first line of a key.
// - A value ends at a NUL; one pair of enclosing quotes (" or ') is dropped; at most 2047
//   characters are read.
// - A file that starts with a UTF-16 byte-order mark (either order) is read as UTF-16 and
//   written back as UTF-16; one that starts with a UTF-8 mark as UTF-8. Values cross in the ANSI
//   code page either way. Any other file is 8-bit text.
// - A write replaces the value on the key's line, keeping the key's spelling; a new key goes
//   after the last non-blank line of the section's first occurrence (before blank lines and a
//   closing Ctrl-Z line), a new section at the end. Every other line stays as it was, with its
//   line end; what is added takes the file's first line end (CR LF in an empty file).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::size_t kMaxProfileValue = 2047;

// The value of `key` in `section` of a profile file's bytes, in the ANSI code page, or nothing
// when the section or key is absent.
std::optional<std::string> ProfileLookup(std::string_view bytes, std::string_view section,
                                         std::string_view key);
// The file's bytes with `key` in `section` set to `value` (ANSI), in the file's own encoding.
std::string ProfileAssign(std::string_view bytes, std::string_view section, std::string_view key,
                          std::string_view value);
// An integer setting: "0x"/"0X" and at least one more character is hexadecimal, anything else a
// decimal number with optional sign; a value that is neither (or overflows 32 bits) is nothing.
std::optional<std::int32_t> ParseProfileInteger(std::string_view value);
// The text without the profile blanks at either end.
std::string_view TrimProfileBlanks(std::string_view text);

// One profile file on disk, named by its full path.
class ProfileFile {
 public:
  explicit ProfileFile(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }

  // GetPrivateProfileStringA: the value, or `fallback` when absent, or when the file is missing
  // or cannot be read (nothing is reported).
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  std::int32_t ReadInteger(std::string_view section, std::string_view key,
                           std::int32_t fallback) const;
  // WritePrivateProfileStringA. The file is written where it really is (through symbolic
  // links), keeping its mode, owner and hard links; a missing directory is made. It fails, with
  // the file left as it was, when an existing file cannot be read or written, or the new text
  // cannot be stored whole (a full disk, a size limit). Writers in several processes take turns.
  // False on failure, with the system's reason in LastError().
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);
  const std::string& LastError() const { return lastError_; }

 private:
  std::string path_;
  std::string lastError_;
};

// Where the program keeps a profile named by its bare file name: the Windows directory on
// Windows; elsewhere $XDG_CONFIG_HOME/parlavant/NAME, $XDG_CONFIG_HOME defaulting to ~/.config.
std::string ProfilePath(std::string_view bareName);
// Where the program keeps state that is not a setting (what it has already shown, say): the
// profiles' directory on Windows; elsewhere $XDG_STATE_HOME/parlavant/NAME, $XDG_STATE_HOME
// defaulting to ~/.local/state.
std::string StatePath(std::string_view bareName);
// Where the program keeps what the user made (the conversations' history): the profiles'
// directory on Windows; elsewhere $XDG_DATA_HOME/parlavant/NAME, $XDG_DATA_HOME defaulting to
// ~/.local/share.
std::string DataPath(std::string_view bareName);
// Makes the directories up to `path` and the file itself where missing, each readable by the
// user only (0700 and 0600; a directory that exists is left as it is), and narrows an existing
// file to the user. False with the reason in `error`.
bool MakePrivateFile(const std::string& path, std::string& error);
// A path as this layer's functions take it, in UTF-8 (what SQLite takes): the same bytes
// elsewhere; from the ANSI code page on Windows.
std::string Utf8Path(const std::string& path);

}  // namespace platform
