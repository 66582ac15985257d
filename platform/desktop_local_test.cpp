#include <gtest/gtest.h>

#include <vector>

#include "platform/desktop.h"

namespace platform {
namespace {

TEST(InProcessDesktop, RegistersMessageIdsOncePerName) {
  auto desktop = MakeInProcessDesktop();
  const MsgId a = desktop->RegisterMessage("SkypeControlAPIAttach");
  const MsgId b = desktop->RegisterMessage("SkypeControlAPIDiscover");
  EXPECT_GE(a, kFirstRegisteredMessage);
  EXPECT_LE(b, kLastRegisteredMessage);
  EXPECT_NE(a, b);
  EXPECT_EQ(desktop->RegisterMessage("SkypeControlAPIAttach"), a);
  EXPECT_EQ(desktop->RegisterMessage(""), 0u);
  EXPECT_EQ(MakeInProcessDesktop(true)->RegisterMessage("SkypeControlAPIAttach"), 0u);
}

TEST(InProcessDesktop, CopyDataIsNeverNotifiedAndAGoneWindowAnswersZero) {
  auto desktop = MakeInProcessDesktop();
  int calls = 0;
  const Hwnd target = desktop->MakeWindow("target", [&](Hwnd, MsgId, WParam, LParam) -> LResult {
    ++calls;
    return 7;
  });
  const char bytes[] = "PING";
  CopyDataStruct cds{3, 5, bytes};
  EXPECT_FALSE(desktop->SendNotify(target, kWmCopyData, 0, reinterpret_cast<LParam>(&cds)));
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(desktop->IsWindow(target));
  desktop->DestroyWindow(target);
  EXPECT_FALSE(desktop->IsWindow(target));
  EXPECT_EQ(desktop->Send(target, kWmCopyData, 0, reinterpret_cast<LParam>(&cds)), 0);
}

TEST(InProcessDesktop, BroadcastReachesEveryWindowAndEnumerationReadsTitles) {
  auto desktop = MakeInProcessDesktop();
  std::vector<Hwnd> reached;
  auto proc = [&](Hwnd self, MsgId, WParam, LParam) -> LResult {
    reached.push_back(self);
    return 0;
  };
  const Hwnd a = desktop->MakeWindow("first", proc);
  const Hwnd b = desktop->MakeWindow("Tessavo Verbalinx 3.0", proc);
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(desktop->SendNotify(kHwndBroadcast, 0xC000, 0, 0));
  EXPECT_EQ(reached, (std::vector<Hwnd>{a, b}));

  std::vector<std::string> titles;
  desktop->EnumWindows([&](Hwnd h) {
    char buf[255];
    desktop->GetTitle(h, buf, sizeof buf);
    titles.emplace_back(buf);
    return true;
  });
  EXPECT_EQ(titles, (std::vector<std::string>{"first", "Tessavo Verbalinx 3.0"}));

  char small[6];
  EXPECT_EQ(desktop->GetTitle(b, small, sizeof small), 5);
  EXPECT_STREQ(small, "Tessa");
}

TEST(InProcessDesktop, ProcedureThatThrowsAnswersZero) {
  auto desktop = MakeInProcessDesktop();
  const Hwnd w = desktop->MakeWindow(
      "w", [](Hwnd, MsgId, WParam, LParam) -> LResult { throw std::runtime_error("boom"); });
  EXPECT_EQ(desktop->Send(w, 0xC000, 0, 0), 0);
}

}  // namespace
}  // namespace platform
