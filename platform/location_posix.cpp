#include <sys/stat.h>
#include <unistd.h>

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

bool SessionBusKnown() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return true;
  }
  // Where a systemd user session puts the bus without saying so in the environment; anything
  // else would start a bus of its own, which outlives the program.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return false;
  struct stat st {};
  return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

std::string UserLanguage() {
  // The order gettext reads them in: LANGUAGE is a list of preferences, the first one counts;
  // LC_ALL overrides LC_MESSAGES, which overrides LANG.
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::string tag(value);
    tag = tag.substr(0, tag.find_first_of(":_.@"));
    if (tag == "C" || tag == "POSIX") return {};
    for (char& c : tag) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (!tag.empty()) return tag;
  }
  return {};
}

// The user's runtime directory; without one, a directory of the user's own under /tmp, which is
// used only when nobody else could have made it first.
std::string RuntimeDirectory() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/')
    return runtime;
  const std::string own = "/tmp/parlavant-" + std::to_string(::getuid());
  ::mkdir(own.c_str(), 0700);
  struct stat made {};
  if (::lstat(own.c_str(), &made) != 0 || !S_ISDIR(made.st_mode) || made.st_uid != ::getuid() ||
      (made.st_mode & 077) != 0)
    return {};
  return own;
}

int CurrentProcessId() { return static_cast<int>(::getpid()); }

}  // namespace platform
