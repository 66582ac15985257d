#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/stop_signal.h"

namespace platform {
namespace {

int gWrite = -1;
volatile sig_atomic_t gStop = 0;

extern "C" void OnStopFlag(int) {
  gStop = 1;
}

extern "C" void OnStop(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(gWrite, &byte, 1);
  errno = saved;
}

}  // namespace

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopFlag;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  action.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &action, nullptr);
}

bool StopRequested() {
  return gStop != 0;
}

void RequestStop() {
  gStop = 1;
}

int WatchStopSignals() {
  static int readEnd = -1;
  if (readEnd >= 0) return readEnd;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  readEnd = ends[0];
  gWrite = ends[1];
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  return readEnd;
}

bool TakeStopRequests(int descriptor) {
  bool asked = false;
  char bytes[64];
  ssize_t n;
  while ((n = ::read(descriptor, bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR)) {
    asked = asked || n > 0;
  }
  return asked;
}

}  // namespace platform
