// Where profiles and the start-up temporary directory live on systems other than Windows.
#include <cstdlib>
#include <filesystem>

#include "platform/profile.h"

namespace platform {

std::string ProfilePath(std::string_view bareName) {
  std::string base;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
    base = config;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.config";
  } else {
    base = ".";
  }
  return base + "/parlavant/" + std::string(bareName);
}

std::string ProgramDirectory() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.parent_path().string();
}

void EnsureStartupTempDirectory() {
  // The system's temporary directory as the environment names it, whether or not it exists yet
  // (the standard library's lookup refuses a directory that is missing).
  std::filesystem::path temp = "/tmp";
  for (const char* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
    if (const char* value = std::getenv(name); value && *value) {
      temp = value;
      break;
    }
  }
  std::error_code ec;
  std::filesystem::path level;
  for (const auto& part : temp) {
    level /= part;
    std::filesystem::create_directory(level, ec);
  }
}

}  // namespace platform
