#pragma once

// Secrets a program is given: a file only its user can read, or what the user types unseen.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The file's contents without a final line end. Throws platform::Error, with the reason, when
// it cannot be read or when others than its owner may read it (a password file must not be).
std::string ReadPrivateFile(const std::string& path);

// Writes `text` to `path` readable and writable by its owner only, replacing what was there.
// Throws platform::Error with the reason.
void WritePrivateFile(const std::string& path, std::string_view text);

// Asks on the terminal with echo off; nothing when there is no terminal to ask on.
std::optional<std::string> AskHidden(std::string_view prompt);

}  // namespace platform
