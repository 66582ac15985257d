#include <gtest/gtest.h>

#include "platform/keyring.h"

namespace platform {
namespace {

TEST(CredentialManager, KeepsReplacesAndForgetsAPasswordPerAccount) {
  const std::string alice = "alice@chat.example/keyring-test", bob = "bob@chat.example/keyring-test";
  KeyringForget(alice);
  KeyringForget(bob);
  KeyringAnswer answer;
  EXPECT_FALSE(KeyringLookup(alice, answer));
  EXPECT_TRUE(answer.available && answer.ok) << answer.error;

  // Any bytes, a NUL and UTF-8 among them, come back as they went in.
  const std::string first("p\xC3\xA4ss\0word", 10);
  ASSERT_TRUE(KeyringStore(alice, "Parlavant: the chat password of alice", first).ok);
  ASSERT_TRUE(KeyringStore(bob, "Parlavant: the chat password of bob", "bob's").ok);
  EXPECT_EQ(KeyringLookup(alice, answer), first);
  ASSERT_TRUE(KeyringStore(alice, "Parlavant: the chat password of alice", "second").ok);
  EXPECT_EQ(KeyringLookup(alice, answer), "second");
  EXPECT_EQ(KeyringLookup(bob, answer), "bob's");

  EXPECT_TRUE(KeyringForget(alice).ok);
  EXPECT_FALSE(KeyringLookup(alice, answer));
  EXPECT_TRUE(answer.ok);
  EXPECT_TRUE(KeyringForget(alice).ok);  // forgetting nothing is no failure
  EXPECT_EQ(KeyringLookup(bob, answer), "bob's");
  KeyringForget(bob);
}

}  // namespace
}  // namespace platform
