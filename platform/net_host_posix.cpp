// The network host's seam on POSIX: the network thread, socket options, the resolver and the
// dump guard.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dump_guard.h"
#include "platform/error.h"
#include "platform/os_error.h"
#include "platform/resolve.h"
#include "platform/socket_options.h"
#include "platform/thread.h"

namespace platform {
namespace {

class PosixThread final : public Thread {
 public:
  explicit PosixThread(std::function<void()> body) : body_(std::move(body)) {}
  ~PosixThread() override { Join(); }
  void Start(std::size_t stackBytes) {
    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    int rc = ::pthread_attr_setstacksize(&attr, stackBytes);
    // Signals stay with the thread that started this one: a stop request must cut its wait
    // short, not land here.
    sigset_t all, old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    if (rc == 0) rc = ::pthread_create(&thread_, &attr, &PosixThread::Run, this);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::pthread_attr_destroy(&attr);
    if (rc != 0) ThrowOsError("Cannot start a thread", rc);
    started_ = true;
  }
  void Join() override {
    if (started_) ::pthread_join(thread_, nullptr);
    started_ = false;
  }

 private:
  static void* Run(void* self) {
    static_cast<PosixThread*>(self)->body_();
    return nullptr;
  }
  std::function<void()> body_;
  pthread_t thread_{};
  bool started_ = false;
};

}  // namespace

std::unique_ptr<Thread> StartThread(std::size_t stackBytes, std::function<void()> body) {
  auto thread = std::make_unique<PosixThread>(std::move(body));
  thread->Start(stackBytes);
  return thread;
}

bool KeepAlive(SocketId socket, int idleSeconds, int intervalSeconds, int count) {
  const int on = 1;
  const unsigned userTimeoutMs =
      static_cast<unsigned>(idleSeconds + intervalSeconds * count) * 1000u;
  return ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
         ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 &&
         ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds,
                      sizeof intervalSeconds) == 0 &&
         ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 &&
         ::setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs,
                      sizeof userTimeoutMs) == 0;
}

void ShutDownSocket(SocketId socket) {
  ::shutdown(socket, SHUT_RDWR);
}

std::vector<std::string> ResolveAddresses(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
    throw Error("Cannot resolve " + host + ": " + ::gai_strerror(rc));
  }
  std::vector<std::string> addresses;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    char text[NI_MAXHOST];
    if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
        0) {
      addresses.emplace_back(text);
    }
  }
  ::freeaddrinfo(found);
  if (addresses.empty()) throw Error("Cannot resolve " + host + ": no address");
  return addresses;
}

bool IsLoopbackAddress(const std::string& numeric) {
  in_addr v4{};
  if (::inet_pton(AF_INET, numeric.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, numeric.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

void KeepSecretsOutOfDumps() {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

}  // namespace platform
