// Where profiles live on systems other than Windows.
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

}  // namespace platform
