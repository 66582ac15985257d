// Profile files on systems other than Windows: where they live, and reading and writing them
// safely. A write locks the file, reads it, and stores the new text either in a sibling renamed
// over it (crash-safe) or, where that would change the file's owner or links or the directory
// does not allow it, in place, with the old text put back if the write fails halfway.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/os_error.h"
#include "platform/profile.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Where a write really goes: the path with every symbolic link followed, also one whose
// target does not exist yet (a write makes it). Links that loop give the path back unchanged,
// and opening it then fails as it should.
std::string ResolveLinks(const std::string& path) {
  fs::path current = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(current, ec)) return current.string();
    const fs::path target = fs::read_symlink(current, ec);
    if (ec) return current.string();
    current = target.is_absolute() ? target : current.parent_path() / target;
  }
  return path;
}

// Every byte from the start of the file, or the error number.
int ReadAll(int fd, std::string& out) {
  out.clear();
  char buffer[16384];
  for (off_t offset = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    out.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
}

// Writes every byte at `offset`; 0 or the error number.
int WriteAll(int fd, std::string_view bytes, off_t offset = 0) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  return 0;
}

int Lock(int fd, int operation) {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// The outcome of storing through a sibling: done, failed (with the error), or not possible
// here without changing what the file is (then the caller writes in place).
struct Replaced {
  enum { kDone, kFailed, kNotPossible } outcome;
  int error = 0;
};

Replaced ReplaceThroughSibling(const std::string& target, const struct stat& old,
                               std::string_view bytes) {
  if (old.st_nlink > 1) return {Replaced::kNotPossible};  // a rename would split the links
  const fs::path where(target);
  std::string temp = (where.parent_path() / ("." + where.filename().string() + ".XXXXXX")).string();
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return {Replaced::kNotPossible};
  const auto drop = [&](Replaced result) {
    ::unlink(temp.c_str());
    return result;
  };
  struct stat made {};
  if (::fstat(fd.Get(), &made) != 0) return drop({Replaced::kNotPossible});
  if ((made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
      ::fchown(fd.Get(), old.st_uid, old.st_gid) != 0) {
    return drop({Replaced::kNotPossible});  // the file would change hands
  }
  if (::fchmod(fd.Get(), old.st_mode & 07777) != 0) return drop({Replaced::kNotPossible});
  if (int error = WriteAll(fd.Get(), bytes)) return drop({Replaced::kFailed, error});
  if (::fsync(fd.Get()) != 0) return drop({Replaced::kFailed, errno});
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    // A file mounted onto its place, or on another device, can only be written in place.
    if (error == EBUSY || error == EXDEV) return drop({Replaced::kNotPossible});
    return drop({Replaced::kFailed, error});
  }
  UniqueFd dir(::open(where.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.Get());
  return {Replaced::kDone};
}

// Not crash-safe, but all that is left: space for the longer text is taken before anything is
// changed, and a write that fails halfway puts the old text back.
int WriteInPlace(int fd, std::string_view old, std::string_view bytes) {
  if (bytes.size() > old.size()) {
    const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes.size()));
    if (error != 0 && error != EOPNOTSUPP && error != EINVAL) return error;
  }
  if (int error = WriteAll(fd, bytes)) {
    WriteAll(fd, old);
    (void)::ftruncate(fd, static_cast<off_t>(old.size()));
    return error;
  }
  if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) return errno;
  return ::fsync(fd) != 0 ? errno : 0;
}

}  // namespace

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view fallback) const {
  const auto byDefault = [&] { return std::string(fallback.substr(0, kMaxProfileValue)); };
  // Not blocking in the open, so that a pipe in the file's place cannot hold the program up.
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat opened {};
  if (!fd || ::fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return byDefault();
  // A reader waits for a writer that writes in place, so it never sees half a file.
  if (Lock(fd.Get(), LOCK_SH) != 0) return byDefault();
  std::string bytes;
  if (ReadAll(fd.Get(), bytes) != 0) return byDefault();
  auto value = ProfileLookup(bytes, section, key);
  return value ? *value : byDefault();
}

bool ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  const auto fail = [this](int error) {
    lastError_ = OsErrorText(error);
    return false;
  };
  lastError_.clear();
  const std::string target = ResolveLinks(path_);
  // Writers take turns on the file's directory, which a replacement never changes; a lock on the
  // file alone would be lost with the file each time one writer renames a new one over it, and a
  // writer could lose the race again and again.
  UniqueFd directory(
      ::open(fs::path(target).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory) Lock(directory.Get(), LOCK_EX);
  // A writer of another program that waited for the file's lock may find the file replaced: it
  // then starts again on the new file, so no update is lost.
  for (int attempt = 0; attempt < 100; ++attempt) {
    constexpr int kFlags = O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd(::open(target.c_str(), kFlags, 0666));
    if (!fd && errno == ENOENT) {
      std::error_code ec;
      fs::create_directories(fs::path(target).parent_path(), ec);
      fd.Reset(::open(target.c_str(), kFlags, 0666));
    }
    if (!fd) return fail(errno);
    if (int error = Lock(fd.Get(), LOCK_EX)) return fail(error);
    struct stat opened {
    }, named{};
    if (::fstat(fd.Get(), &opened) != 0) return fail(errno);
    if (::stat(target.c_str(), &named) != 0 || named.st_ino != opened.st_ino ||
        named.st_dev != opened.st_dev) {
      continue;
    }
    if (!S_ISREG(opened.st_mode)) return fail(EINVAL);
    std::string old;
    if (int error = ReadAll(fd.Get(), old)) return fail(error);
    const std::string bytes = ProfileAssign(old, section, key, value);
    if (bytes == old) return true;
    const Replaced replaced = ReplaceThroughSibling(target, opened, bytes);
    if (replaced.outcome == Replaced::kDone) return true;
    if (replaced.outcome == Replaced::kFailed) return fail(replaced.error);
    if (int error = WriteInPlace(fd.Get(), old, bytes)) return fail(error);
    return true;
  }
  return fail(EBUSY);
}

namespace {

// An XDG base directory: the variable when it is set and not empty, else `fallback` under home.
std::string BaseDirectory(const char* variable, const char* fallback) {
  if (const char* value = std::getenv(variable); value && *value) return value;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + fallback;
  return ".";
}

}  // namespace

std::string ProfilePath(std::string_view bareName) {
  return BaseDirectory("XDG_CONFIG_HOME", "/.config") + "/parlavant/" + std::string(bareName);
}

std::string StatePath(std::string_view bareName) {
  return BaseDirectory("XDG_STATE_HOME", "/.local/state") + "/parlavant/" + std::string(bareName);
}

std::string Utf8Path(const std::string& path) {
  return path;
}

std::string DataPath(std::string_view bareName) {
  return BaseDirectory("XDG_DATA_HOME", "/.local/share") + "/parlavant/" + std::string(bareName);
}

bool MakePrivateFile(const std::string& path, std::string& error) {
  const auto fail = [&](const std::string& what) {
    error = what + ": " + OsErrorText(errno);
    return false;
  };
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string directory = path.substr(0, slash);
    for (std::size_t at = directory.find('/', 1);; at = directory.find('/', at + 1)) {
      const std::string level = directory.substr(0, at);
      if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return fail(level);
      if (at == std::string::npos) break;
    }
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return fail(path);
  // Only ever narrowed: a file the user made read-only stays so.
  struct stat st {};
  const bool narrowed = (::fstat(fd, &st) == 0 && ((st.st_mode & 0777) & ~0600) == 0) ||
                        ::fchmod(fd, st.st_mode & 0600) == 0 || errno == EPERM;
  const int fchmodError = errno;
  ::close(fd);
  if (!narrowed) {
    errno = fchmodError;
    return fail(path);
  }
  return true;
}

}  // namespace platform
