#include "platform/resolve.h"
#include "platform/socket_options.h"
#include "platform/thread.h"
#include "platform/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "testsupport/net_util.h"

namespace platform {
namespace {

TEST(NetHost, AWakeupIsWaitedForBesideASocketAndCleared) {
  Wakeup wake;
  EXPECT_EQ(WaitReadable(kNoSocket, wake.Handle(), 0), 0);
  wake.Signal();
  wake.Signal();
  EXPECT_EQ(WaitReadable(kNoSocket, wake.Handle(), 5000), 2);
  wake.Clear();
  EXPECT_EQ(WaitReadable(kNoSocket, wake.Handle(), 0), 0);

  // A connection's bytes, beside the wake-up.
  testsupport::StartSockets();
  const auto listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = testsupport::Loopback(0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const auto client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const auto server = ::accept(listener, nullptr, nullptr);
  const SocketId peer = static_cast<SocketId>(server);
  EXPECT_TRUE(KeepAlive(peer, 30, 5, 3));
  EXPECT_EQ(WaitReadable(peer, wake.Handle(), 0), 0);
  ASSERT_EQ(::send(client, "x", 1, 0), 1);
  EXPECT_EQ(WaitReadable(peer, wake.Handle(), 5000), 1);
  wake.Signal();
  EXPECT_EQ(WaitReadable(peer, wake.Handle(), 5000), 3);
  // Shut down, its owner's next read sees the end at once, although the peer sends on.
  char byte;
  ASSERT_EQ(::recv(server, &byte, 1, 0), 1);
  ShutDownSocket(peer);
  ::send(client, "y", 1, 0);
  EXPECT_LE(::recv(server, &byte, 1, 0), 0);
  for (const auto s : {client, server, listener}) testsupport::CloseSocket(s);
}

// Deeper than a default thread's stack on Windows (1 MiB).
void UseStack(std::atomic<bool>& done) {
  volatile char deep[2 << 20];
  std::memset(const_cast<char*>(deep), 1, sizeof deep);
  done = deep[sizeof deep - 1] == 1;
}

TEST(NetHost, AThreadGetsTheStackItAskedFor) {
  std::atomic<bool> done{false};
  auto thread = StartThread(8u << 20, [&] { UseStack(done); });
  thread->Join();
  EXPECT_TRUE(done);
}

TEST(NetHost, LoopbackAddressesAndResolvingThem) {
  for (const char* yes : {"127.0.0.1", "127.9.9.9", "::1", "::ffff:127.0.0.2"}) {
    EXPECT_TRUE(IsLoopbackAddress(yes)) << yes;
  }
  for (const char* no : {"10.0.0.1", "128.0.0.1", "::2", "::ffff:10.0.0.1", "localhost", ""}) {
    EXPECT_FALSE(IsLoopbackAddress(no)) << no;
  }
  EXPECT_EQ(ResolveAddresses("127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
}

}  // namespace
}  // namespace platform
