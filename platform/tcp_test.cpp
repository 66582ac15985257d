#include "platform/tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/os_error.h"
#include "testsupport/net_util.h"

namespace platform {
namespace {

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
  EXPECT_EQ(refused.Number(), ECONNREFUSED);
  EXPECT_EQ(refused.Text(), OsErrorText(ECONNREFUSED));
  const NetError unknown = FailureOf("no-such-host.invalid", 80);
  EXPECT_EQ(unknown.Step(), NetStep::kResolve);
  EXPECT_GE(unknown.Number(), 11001);
  EXPECT_LE(unknown.Number(), 11004);
  EXPECT_FALSE(unknown.Text().empty());
}

TEST(Tcp, SendsEverythingAndReceivesUntilThePeerCloses) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t length = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
  // Echoes what it gets back, upper-cased, then closes.
  std::thread peer([listener] {
    const int fd = ::accept(listener, nullptr, nullptr);
    std::string got;
    char c;
    while (got.size() < 200000 && ::read(fd, &c, 1) == 1) got += c;
    for (char& ch : got) ch = ch == 'a' ? 'A' : ch;
    if (::write(fd, got.data(), got.size()) < 0) got.clear();
    ::close(fd);
  });
  auto connection = ConnectTcp("127.0.0.1", ntohs(addr.sin_port));
  connection->SendAll(std::string(200000, 'a'));
  std::string back;
  char buffer[4096];
  while (std::size_t n = connection->Receive(buffer, sizeof buffer)) back.append(buffer, n);
  peer.join();
  ::close(listener);
  EXPECT_EQ(back, std::string(200000, 'A'));
}

}  // namespace
}  // namespace platform
