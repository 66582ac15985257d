#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/error.h"
#include "platform/os_error.h"
#include "platform/secret.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

void DropLineEnd(std::string& text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
}

}  // namespace

std::string ReadPrivateFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) ThrowOsError("Cannot read " + path, errno);
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) ThrowOsError("Cannot read " + path, errno);
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw Error(path + " may be read by others (mode " + mode +
                "): make it readable by its owner only (chmod 600)");
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowOsError("Cannot read " + path, errno);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  DropLineEnd(text);
  return text;
}

void WritePrivateFile(const std::string& path, std::string_view text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) ThrowOsError("Cannot write " + path, errno);
  // A file that was there before keeps its mode through O_CREAT.
  if (::fchmod(fd.Get(), 0600) != 0) ThrowOsError("Cannot write " + path, errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowOsError("Cannot write " + path, errno);
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.Get()) != 0) ThrowOsError("Cannot write " + path, errno);
}

std::optional<std::string> AskHidden(std::string_view prompt) {
  UniqueFd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC));
  if (!tty) return std::nullopt;
  termios before{};
  if (::tcgetattr(tty.Get(), &before) != 0) return std::nullopt;
  termios quiet = before;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  if (::write(tty.Get(), prompt.data(), prompt.size()) < 0) return std::nullopt;
  if (::tcsetattr(tty.Get(), TCSAFLUSH, &quiet) != 0) return std::nullopt;
  std::string answer;
  char c;
  while (::read(tty.Get(), &c, 1) == 1 && c != '\n') answer.push_back(c);
  ::tcsetattr(tty.Get(), TCSAFLUSH, &before);
  DropLineEnd(answer);
  return answer;
}

}  // namespace platform
