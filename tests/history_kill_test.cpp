// The history through the real programs: Parlavant's window (offscreen) attached to
// parlavant-xmpp, signed in to a real Prosody, while a remote person writes a burst and the
// window is killed (SIGKILL) at random moments and started again. What the chat client held
// while the window was dead comes when it is back; in the end every message is in the history
// exactly once, in order; and after a power cut (the window and the chat client killed
// together, then started again) too.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <regex>
#include <set>

#include "app/history_store.h"
#include "tests/echo_translator.h"
#include "tests/xmpp_support.h"
#include "testsupport/http_test_server.h"

namespace {

using testsupport::ChildProcess;

class HistoryKillTest : public testsupport::XmppAccountTest {
 protected:
  void SetUp() override {
    XmppAccountTest::SetUp();
    std::filesystem::create_directories(Dir() + "/config/parlavant");
    std::ofstream(Dir() + "/config/parlavant/parlavant.ini")
        << "[General]\r\nReceive=1\r\nSend=2\r\nWebService=127.0.0.1:" << translator.Port()
        << "\r\n";
  }
  std::unique_ptr<ChildProcess> StartWindow(int n) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/env", "QT_QPA_PLATFORM=offscreen",
                                 "PARLAVANT_DESKTOP=" + Dir() + "/d",
                                 "XDG_CONFIG_HOME=" + Dir() + "/config",
                                 "XDG_DATA_HOME=" + Dir() + "/data", PARLAVANT_PATH},
        Dir() + "/window" + std::to_string(n) + ".out",
        Dir() + "/window" + std::to_string(n) + ".err");
  }
  // The numbers of bob's messages as the history has them, in order.
  std::vector<int> Kept() {
    app::SqliteHistory history(Dir() + "/data/parlavant/history.sqlite3");
    history.Open(kAlice);
    std::vector<int> numbers;
    static const std::regex number(R"re(\(m-(\d+)\)$)re");
    for (const app::KeptLine& line : history.Lines(kBob, 0, 100000)) {
      std::smatch m;
      const std::string text = platform::Utf8Encode(line.line.text);
      if (std::regex_search(text, m, number)) numbers.push_back(std::stoi(m[1].str()));
    }
    return numbers;
  }

  const std::string kAlice = "alice@localhost", kBob = "bob@localhost";
  testsupport::HttpTestServer translator{testsupport::EchoTranslation};
};

TEST_F(HistoryKillTest, EveryMessageIsKeptExactlyOnceThroughKillsOfTheWindow) {
  auto bob = Peer("bob");
  StartXmpp();
  ASSERT_TRUE(ErrorsSay("signed in", 30000)) << Errors();
  std::mt19937 random(20261208);
  std::printf("seed 20261208\n");
  constexpr int kMessages = 120;
  int sent = 0, windows = 0, kills = 0;
  auto window = StartWindow(windows++);
  // A burst of messages, with the window killed at random moments and started again.
  while (sent < kMessages) {
    const int burst = 5 + static_cast<int>(random() % 20);
    for (int i = 0; i < burst && sent < kMessages; ++i, ++sent) {
      char body[16];
      std::snprintf(body, sizeof body, "m-%03d", sent);
      ASSERT_TRUE(bob->Send(kAlice, body));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 700));
    window->Kill();
    ++kills;
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
    window = StartWindow(windows++);
  }
  // The last window takes what is still held.
  std::vector<int> kept;
  for (int waited = 0; waited < 60000; waited += 200) {
    kept = Kept();
    if (std::set<int>(kept.begin(), kept.end()).size() == kMessages) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::printf("%d messages, %d kills; %zu lines kept\n", kMessages, kills, kept.size());
  std::vector<int> expected(kMessages);
  for (int i = 0; i < kMessages; ++i) expected[i] = i;
  EXPECT_EQ(kept, expected) << Errors();
  // A power cut: the window and the chat client killed together while messages come, then
  // both started again. What was shown is there once, and what came meanwhile follows.
  for (int i = 0; i < 10; ++i, ++sent) {
    char body[16];
    std::snprintf(body, sizeof body, "m-%03d", sent);
    ASSERT_TRUE(bob->Send(kAlice, body));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  window->Kill();
  xmpp->Kill();
  for (int i = 0; i < 10; ++i, ++sent) {
    char body[16];
    std::snprintf(body, sizeof body, "m-%03d", sent);
    ASSERT_TRUE(bob->Send(kAlice, body));
  }
  StartXmpp();
  ASSERT_TRUE(ErrorsSay("signed in", 30000)) << Errors();
  window = StartWindow(windows++);
  expected.clear();
  for (int i = 0; i < sent; ++i) expected.push_back(i);
  for (int waited = 0; waited < 60000; waited += 200) {
    kept = Kept();
    if (std::set<int>(kept.begin(), kept.end()).size() == static_cast<std::size_t>(sent)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  std::printf("after a power cut: %zu lines kept of %d messages\n", kept.size(), sent);
  EXPECT_EQ(kept, expected) << Errors();
  EXPECT_TRUE(window->Alive());
  bob->Quit();
}

}  // namespace
