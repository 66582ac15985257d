// The wake-up is a UDP socket on loopback that sends to itself, so that one WSAPoll waits for it
// and the server's socket together.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <string>
#include <utility>

#include "platform/desktop.h"
#include "platform/error.h"
#include "platform/wait.h"
#include "platform/winsock_start.h"

namespace platform {
namespace {

[[noreturn]] void ThrowWsa(const std::string& what) {
  throw Error(what + " (Winsock error " + std::to_string(WSAGetLastError()) + ")");
}

}  // namespace

Wakeup::Wakeup() {
  StartWinsock();
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof self;
  u_long nonBlocking = 1;
  if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    if (s != INVALID_SOCKET) ::closesocket(s);
    ThrowWsa("Cannot make a wake-up socket");
  }
  fd_ = s;
}

Wakeup::~Wakeup() {
  ::closesocket(fd_);
}

void Wakeup::Signal() {
  const char one = 1;
  // A full buffer is raised already; nothing else can fail here.
  ::send(fd_, &one, 1, 0);
}

void Wakeup::Clear() {
  char buffer[64];
  while (::recv(fd_, buffer, sizeof buffer, 0) > 0) {
  }
}

namespace {

int WaitForSockets(SocketId first, SocketId second, int timeoutMs) {
  WSAPOLLFD fds[2];
  ULONG count = 0;
  int which[2] = {0, 0};
  for (const auto& [socket, bit] : {std::pair{first, 1}, std::pair{second, 2}}) {
    if (socket == kNoSocket) continue;
    fds[count] = {static_cast<SOCKET>(socket), POLLRDNORM, 0};
    which[count++] = bit;
  }
  if (count == 0) {
    Sleep(static_cast<DWORD>(timeoutMs < 0 ? INFINITE : timeoutMs));
    return 0;
  }
  const int n = WSAPoll(fds, count, timeoutMs);
  if (n == SOCKET_ERROR) ThrowWsa("Cannot wait for the network");
  int ready = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (fds[i].revents != 0) ready |= which[i];
  }
  return ready;
}

// The window messages of this thread beside the sockets: each socket's readiness signals an
// event, and MsgWaitForMultipleObjects waits for the events and the message queue together.
int WaitForMessagesOrSockets(SocketId first, SocketId second, int timeoutMs, Desktop& desktop) {
  const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  WSAEVENT events[2];
  SocketId sockets[2];
  DWORD count = 0;
  for (SocketId socket : {first, second}) {
    if (socket == kNoSocket) continue;
    events[count] = WSACreateEvent();
    // The socket stays non-blocking afterwards, which is what its owner has made it already.
    WSAEventSelect(static_cast<SOCKET>(socket), events[count], FD_READ | FD_CLOSE);
    sockets[count++] = socket;
  }
  MsgWaitForMultipleObjects(count, events, FALSE, timeout, QS_ALLINPUT);
  for (DWORD i = 0; i < count; ++i) {
    WSAEventSelect(static_cast<SOCKET>(sockets[i]), nullptr, 0);
    WSACloseEvent(events[i]);
  }
  desktop.ProcessPending();
  return WaitForSockets(first, second, 0);
}

}  // namespace

int WaitReadable(SocketId first, SocketId second, int timeoutMs, Desktop* desktop) {
  if (desktop != nullptr) return WaitForMessagesOrSockets(first, second, timeoutMs, *desktop);
  return WaitForSockets(first, second, timeoutMs);
}

}  // namespace platform
