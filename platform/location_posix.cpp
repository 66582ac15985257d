#include <cstdlib>
#include <filesystem>

#include "platform/location.h"

namespace platform {

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
