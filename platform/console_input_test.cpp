#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console_input.h"
#include "platform/desktop.h"
#include "testsupport/temp_dir.h"

namespace platform {
namespace {

using Lines = std::vector<std::string>;

class ConsoleInputTest : public ::testing::Test {
 protected:
  ~ConsoleInputTest() override {
    CloseWriteEnd();
    ::close(pipe_[0]);
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(::write(pipe_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void CloseWriteEnd() {
    if (pipe_[1] >= 0) ::close(pipe_[1]);
    pipe_[1] = -1;
  }

  struct Pipe {
    Pipe() {
      if (::pipe(ends) != 0) throw std::runtime_error("no pipe");
    }
    int ends[2];
  } made_;
  int* pipe_ = made_.ends;
  testsupport::TempDir dir_{"pconsole"};
  std::unique_ptr<Desktop> desktop_ = OpenDesktop(dir_ / "d");
  ConsoleInput input_{pipe_[0]};
};

TEST_F(ConsoleInputTest, LinesAreWholeWhateverTheWritesAndTheLastComesAtTheEnd) {
  Write("first\nsec");
  EXPECT_EQ(input_.WaitAndProcess(*desktop_, 2000), Lines({"first"}));
  Write("ond\r\n\nthird\nfour");
  EXPECT_EQ(input_.WaitAndProcess(*desktop_, 2000), Lines({"second\r", "", "third"}));
  EXPECT_FALSE(input_.Ended());
  CloseWriteEnd();
  EXPECT_EQ(input_.WaitAndProcess(*desktop_, 2000), Lines({"four"}));
  EXPECT_TRUE(input_.Ended());
  // Once ended, a wait serves the desktop alone and takes its time.
  EXPECT_EQ(input_.WaitAndProcess(*desktop_, 10), Lines{});
}

TEST_F(ConsoleInputTest, TheDesktopIsServedWhileNoInputComes) {
  int delivered = 0;
  const MsgId ping = desktop_->RegisterMessage("ConsoleInputTestPing");
  const Hwnd window = desktop_->MakeWindow("w", [&](Hwnd, MsgId msg, WParam, LParam) -> LResult {
    if (msg == ping) ++delivered;
    return 0;
  });
  auto other = OpenDesktop(dir_ / "d");
  ASSERT_TRUE(other->SendNotify(window, other->RegisterMessage("ConsoleInputTestPing"), 0, 0));
  for (int i = 0; i < 50 && delivered == 0; ++i) {
    EXPECT_EQ(input_.WaitAndProcess(*desktop_, 100), Lines{});
  }
  EXPECT_EQ(delivered, 1);
  EXPECT_FALSE(input_.Ended());
}

TEST_F(ConsoleInputTest, AHandleThatIsNotOpenIsAnEndedInputNotABusyLoop) {
  int spare[2];
  ASSERT_EQ(::pipe(spare), 0);
  ::close(spare[0]);
  ::close(spare[1]);
  ConsoleInput gone(spare[0]);
  EXPECT_EQ(gone.WaitAndProcess(*desktop_, 2000), Lines{});
  EXPECT_TRUE(gone.Ended());
}

}  // namespace
}  // namespace platform
