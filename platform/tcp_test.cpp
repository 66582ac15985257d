#include "platform/tcp.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/os_error.h"
#include "testsupport/net_util.h"

namespace platform {
namespace {

// The system's number for a refused connection: Winsock's on Windows.
#ifdef _WIN32
constexpr int kRefused = 10061;
#else
constexpr int kRefused = ECONNREFUSED;
#endif

NetError FailureOf(const std::string& host, std::uint16_t port) {
  try {
    ConnectTcp(host, port);
  } catch (const NetError& e) {
    return e;
  }
  return NetError(NetStep::kSend, 0, "(connected)");
}

TEST(Tcp, FailuresSayWhichStepFailedWithItsNumberAndText) {
  const NetError refused = FailureOf("127.0.0.1", testsupport::FreeLoopbackPort());
  EXPECT_EQ(refused.Step(), NetStep::kConnect);
  EXPECT_EQ(refused.Number(), kRefused);
  // The same words on every system.
  EXPECT_EQ(refused.Text(), "Connection refused");
  const NetError unknown = FailureOf("no-such-host.invalid", 80);
  EXPECT_EQ(unknown.Step(), NetStep::kResolve);
  EXPECT_GE(unknown.Number(), 11001);
  EXPECT_LE(unknown.Number(), 11004);
  EXPECT_FALSE(unknown.Text().empty());
}

TEST(Tcp, SendsEverythingAndReceivesUntilThePeerCloses) {
  testsupport::StartSockets();
  const testsupport::SocketHandle listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = testsupport::Loopback(0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t length = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
  // Echoes what it gets back, upper-cased, then closes.
  std::thread peer([listener] {
    const testsupport::SocketHandle s = ::accept(listener, nullptr, nullptr);
    std::string got;
    char chunk[4096];
    while (got.size() < 200000) {
      const auto n = ::recv(s, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      got.append(chunk, static_cast<std::size_t>(n));
    }
    for (char& ch : got) ch = ch == 'a' ? 'A' : ch;
    for (std::size_t sent = 0; sent < got.size();) {
      const auto n = ::send(s, got.data() + sent, static_cast<int>(got.size() - sent), 0);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    testsupport::CloseSocket(s);
  });
  auto connection = ConnectTcp("127.0.0.1", ntohs(addr.sin_port));
  connection->SendAll(std::string(200000, 'a'));
  std::string back;
  char buffer[4096];
  while (std::size_t n = connection->Receive(buffer, sizeof buffer)) back.append(buffer, n);
  peer.join();
  testsupport::CloseSocket(listener);
  EXPECT_EQ(back, std::string(200000, 'A'));
}

}  // namespace
}  // namespace platform
