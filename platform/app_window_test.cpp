#include "platform/app_window.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace platform {
namespace {

TEST(ApplicationWindow, OffersMessagesToHooksNewestFirstUntilOneHandlesIt) {
  auto desktop = MakeInProcessDesktop();
  ApplicationWindow app(*desktop, "Parlavant");
  std::vector<int> order;
  const int first = app.HookMainWindow([&](TMessage& m) {
    order.push_back(1);
    m.Result = 11;
    return true;
  });
  app.HookMainWindow([&](TMessage& m) {
    order.push_back(2);
    return m.Msg == 0xC005;
  });
  EXPECT_EQ(desktop->Send(app.Handle(), 0xC001, 0, 0), 11);
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
  order.clear();
  EXPECT_EQ(desktop->Send(app.Handle(), 0xC005, 0, 0), 0);
  EXPECT_EQ(order, (std::vector<int>{2}));
  app.UnhookMainWindow(first);
  order.clear();
  EXPECT_EQ(desktop->Send(app.Handle(), 0xC001, 0, 0), 0);
  EXPECT_EQ(order, (std::vector<int>{2}));
}

TEST(ApplicationWindow, ErrorFromAHookGoesToTheHandlerAndKeepsTheResultSoFar) {
  auto desktop = MakeInProcessDesktop();
  ApplicationWindow app(*desktop, "Parlavant");
  std::vector<std::string> reported;
  app.SetExceptionHandler(
      [&](std::exception_ptr e) { reported.push_back(ApplicationWindow::MessageOf(e)); });
  app.HookMainWindow([](TMessage& m) -> bool {
    m.Result = m.wParam;
    throw Error("Socket Error # 111");
  });
  EXPECT_EQ(desktop->Send(app.Handle(), 0xC001, 1, 0), 1);
  EXPECT_EQ(desktop->Send(app.Handle(), 0xC001, 0, 0), 0);
  EXPECT_EQ(reported, (std::vector<std::string>{"Socket Error # 111", "Socket Error # 111"}));
}

}  // namespace
}  // namespace platform
