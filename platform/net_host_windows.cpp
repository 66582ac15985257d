// The network host's seam on Winsock and Win32 threads: the network thread, socket options, the
// resolver and the dump guard.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>

#include "platform/dump_guard.h"
#include "platform/error.h"
#include "platform/resolve.h"
#include "platform/socket_options.h"
#include "platform/thread.h"
#include "platform/winsock_start.h"

namespace platform {
namespace {

class WindowsThread final : public Thread {
 public:
  explicit WindowsThread(std::function<void()> body) : body_(std::move(body)) {}
  ~WindowsThread() override { Join(); }
  void Start(std::size_t stackBytes) {
    handle_ = CreateThread(nullptr, stackBytes, &WindowsThread::Run, this,
                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle_ == nullptr) {
      throw Error("Cannot start a thread (error " + std::to_string(GetLastError()) + ")");
    }
  }
  void Join() override {
    if (handle_ == nullptr) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<WindowsThread*>(self)->body_();
    return 0;
  }
  std::function<void()> body_;
  HANDLE handle_ = nullptr;
};

}  // namespace

std::unique_ptr<Thread> StartThread(std::size_t stackBytes, std::function<void()> body) {
  auto thread = std::make_unique<WindowsThread>(std::move(body));
  thread->Start(stackBytes);
  return thread;
}

bool KeepAlive(SocketId socket, int idleSeconds, int intervalSeconds, int count) {
  // Windows probes ten times, not `count`; the idle time and the interval are its to set.
  (void)count;
  tcp_keepalive settings{1, static_cast<ULONG>(idleSeconds) * 1000u,
                         static_cast<ULONG>(intervalSeconds) * 1000u};
  DWORD returned = 0;
  return WSAIoctl(static_cast<SOCKET>(socket), SIO_KEEPALIVE_VALS, &settings, sizeof settings,
                  nullptr, 0, &returned, nullptr, nullptr) == 0;
}

void ShutDownSocket(SocketId socket) {
  ::shutdown(static_cast<SOCKET>(socket), SD_BOTH);
}

std::vector<std::string> ResolveAddresses(const std::string& host) {
  StartWinsock();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
    throw Error("Cannot resolve " + host + " (Winsock error " +
                std::to_string(WSAGetLastError()) + ")");
  }
  std::vector<std::string> addresses;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    char text[NI_MAXHOST];
    if (::getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, sizeof text,
                      nullptr, 0, NI_NUMERICHOST) == 0) {
      addresses.emplace_back(text);
    }
  }
  ::freeaddrinfo(found);
  if (addresses.empty()) throw Error("Cannot resolve " + host + ": no address");
  return addresses;
}

bool IsLoopbackAddress(const std::string& numeric) {
  in_addr v4{};
  if (InetPtonA(AF_INET, numeric.c_str(), &v4) == 1) return v4.S_un.S_un_b.s_b1 == 127;
  in6_addr v6{};
  if (InetPtonA(AF_INET6, numeric.c_str(), &v6) != 1) return false;
  static const BYTE loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (std::equal(v6.u.Byte, v6.u.Byte + 16, loopback)) return true;
  static const BYTE mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::equal(v6.u.Byte, v6.u.Byte + 12, mapped) && v6.u.Byte[12] == 127;
}

void KeepSecretsOutOfDumps() {
  // Windows writes no core file of its own; error reporting's dumps go to the user's own
  // profile, which other users cannot read. Nothing to set.
}

}  // namespace platform
