#pragma once

// A directory of a test's own, made fresh in the system's temporary directory and removed, with
// everything in it, when the object goes; and the current directory moved into one for as long
// as a scope lasts.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace testsupport {

class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "parlavant") {
    // A new name each time, made only if nobody has it: the system's temporary directory is
    // shared with everyone.
    std::random_device random;
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      char suffix[17];
      std::snprintf(suffix, sizeof suffix, "%08x%08x", random(), random());
      const std::filesystem::path candidate = base / (std::string(prefix) + "." + suffix);
      if (std::filesystem::create_directory(candidate, ec)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, ec);
        path_ = candidate.generic_string();
      }
    }
    if (path_.empty()) throw std::runtime_error("no temporary directory");
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // A name inside it.
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// Every byte of a file; empty when it cannot be read.
inline std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// While it lives, `dir` is the current directory; then the one before is again.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~CurrentDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

}  // namespace testsupport
