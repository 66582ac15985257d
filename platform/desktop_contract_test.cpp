// What every desktop promises within one process, written once and run against each: the
// in-process desktop, and the platform's own (the socket desktop elsewhere, user32 on Windows).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "testsupport/temp_dir.h"

namespace platform {
namespace {

struct Kind {
  const char* name;
  bool own;  // the platform's own desktop, opened in a directory of the test's
};

class DesktopContract : public ::testing::TestWithParam<Kind> {
 protected:
  DesktopContract() : desktop_(GetParam().own ? OpenDesktop(dir_ / "d") : MakeInProcessDesktop()) {}

  // A window that records what reaches it and answers `answer`.
  struct Received {
    MsgId msg;
    WParam wParam;
    std::string bytes;  // a WM_COPYDATA's data
    std::uintptr_t dwData;
  };
  Hwnd Window(const std::string& title, std::vector<Received>& log, LResult answer = 7) {
    return desktop_->MakeWindow(title, [&log, answer](Hwnd, MsgId msg, WParam w, LParam l) {
      Received r{msg, w, {}, 0};
      if (msg == kWmCopyData) {
        const auto* data = reinterpret_cast<const CopyDataStruct*>(l);
        r.bytes.assign(static_cast<const char*>(data->lpData), data->cbData);
        r.dwData = data->dwData;
      }
      log.push_back(r);
      return answer;
    });
  }

  testsupport::TempDir dir_{"pcontract"};
  std::unique_ptr<Desktop> desktop_;
};

TEST_P(DesktopContract, RegisteredMessagesAreStableAndInTheirRange) {
  const MsgId a = desktop_->RegisterMessage("ParlavantContractA");
  EXPECT_GE(a, kFirstRegisteredMessage);
  EXPECT_LE(a, kLastRegisteredMessage);
  EXPECT_EQ(desktop_->RegisterMessage("ParlavantContractA"), a);
  EXPECT_NE(desktop_->RegisterMessage("ParlavantContractB"), a);
  EXPECT_EQ(desktop_->RegisterMessage(""), 0u);
}

TEST_P(DesktopContract, WindowsTheirTitlesAndTheirEnd) {
  std::vector<Received> log;
  const Hwnd first = Window("Tessavo Verbalinx 3.0", log);
  const Hwnd second = Window("", log);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  char title[64];
  EXPECT_EQ(desktop_->GetTitle(first, title, sizeof title), 21);
  EXPECT_STREQ(title, "Tessavo Verbalinx 3.0");
  EXPECT_EQ(desktop_->GetTitle(first, title, 8), 7);
  EXPECT_STREQ(title, "Tessavo");
  EXPECT_EQ(desktop_->GetTitle(first, title, 0), 0);
  EXPECT_EQ(desktop_->GetTitle(second, title, sizeof title), 0);

  std::vector<Hwnd> seen;
  EXPECT_TRUE(desktop_->EnumWindows([&](Hwnd w) {
    seen.push_back(w);
    return true;
  }));
  EXPECT_NE(std::find(seen.begin(), seen.end(), first), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), second), seen.end());
  int calls = 0;
  EXPECT_TRUE(desktop_->EnumWindows([&](Hwnd) { return ++calls, false; }));
  EXPECT_EQ(calls, 1);

  EXPECT_TRUE(desktop_->IsWindow(first));
  EXPECT_TRUE(desktop_->DestroyWindow(first));
  EXPECT_FALSE(desktop_->IsWindow(first));
  EXPECT_FALSE(desktop_->DestroyWindow(first));
  EXPECT_EQ(desktop_->GetTitle(first, title, sizeof title), 0);
  EXPECT_EQ(desktop_->Send(first, desktop_->RegisterMessage("ParlavantContractA"), 1, 2), 0);
  EXPECT_TRUE(log.empty());
}

TEST_P(DesktopContract, SendsCarryTheirDataAndNotificationsArriveBeforeTheyReturn) {
  std::vector<Received> log;
  const Hwnd window = Window("w", log, 42);
  const MsgId ping = desktop_->RegisterMessage("ParlavantContractPing");
  EXPECT_EQ(desktop_->Send(window, ping, 5, 6), 42);

  const std::string payload("line\0with a zero", 16);
  CopyDataStruct data;
  data.dwData = 0x5EED;
  data.cbData = static_cast<std::uint32_t>(payload.size());
  data.lpData = payload.data();
  EXPECT_EQ(desktop_->Send(window, kWmCopyData, 9, reinterpret_cast<LParam>(&data)), 42);

  // A notification to a window of this process is handled before the call returns; a
  // WM_COPYDATA cannot be notified at all.
  EXPECT_TRUE(desktop_->SendNotify(window, ping, 11, 0));
  EXPECT_FALSE(desktop_->SendNotify(window, kWmCopyData, 0, reinterpret_cast<LParam>(&data)));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].msg, ping);
  EXPECT_EQ(log[0].wParam, 5u);
  EXPECT_EQ(log[1].msg, kWmCopyData);
  EXPECT_EQ(log[1].wParam, 9u);
  EXPECT_EQ(log[1].bytes, payload);
  EXPECT_EQ(log[1].dwData, 0x5EEDu);
  EXPECT_EQ(log[2].wParam, 11u);

  // Refused before anything is delivered: data past the bound, or a length without data.
  CopyDataStruct huge = data;
  huge.cbData = kMaxCopyDataBytes + 1;
  EXPECT_EQ(desktop_->Send(window, kWmCopyData, 0, reinterpret_cast<LParam>(&huge)), 0);
  CopyDataStruct missing;
  missing.cbData = 4;
  EXPECT_EQ(desktop_->Send(window, kWmCopyData, 0, reinterpret_cast<LParam>(&missing)), 0);
  EXPECT_EQ(desktop_->Send(window, kWmCopyData, 0, 0), 0);
  EXPECT_EQ(log.size(), 3u);
}

TEST_P(DesktopContract, ABroadcastReachesEveryWindowAndSendsNest) {
  std::vector<Received> a, b;
  const MsgId hello = desktop_->RegisterMessage("ParlavantContractHello");
  const Hwnd first = Window("a", a);
  // Asked with wParam 9, the second window sends to the first from inside its own message and
  // answers what it got, plus one.
  const Hwnd second = desktop_->MakeWindow("b", [&](Hwnd, MsgId msg, WParam w, LParam) -> LResult {
    if (msg != hello) return 0;
    b.push_back({msg, w, {}, 0});
    return w == 9 ? desktop_->Send(first, hello, 3, 0) + 1 : 0;
  });
  ASSERT_NE(second, 0u);
  EXPECT_TRUE(desktop_->SendNotify(kHwndBroadcast, hello, 1, 0));
  for (int i = 0; i < 50 && (a.empty() || b.empty()); ++i) desktop_->WaitAndProcess(20);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a[0].wParam, 1u);
  EXPECT_EQ(b[0].wParam, 1u);

  EXPECT_EQ(desktop_->Send(second, hello, 9, 0), 8);  // 7 from the first window, plus one
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[1].wParam, 3u);
}

INSTANTIATE_TEST_SUITE_P(Desktops, DesktopContract,
                         ::testing::Values(Kind{"InProcess", false}, Kind{"Platform", true}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace platform
