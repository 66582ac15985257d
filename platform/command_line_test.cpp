#include "platform/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace platform {
namespace {

using ::testing::HasSubstr;

struct Parsed {
  std::optional<int> status;
  std::string out, err;
};

class CommandLineTest : public ::testing::Test {
 protected:
  CommandLineTest() : line("demo: does things") {
    line.Value("port", "N", "the port",
               [this](const std::string& v) { port = IntegerIn(v, 1, 65535); });
    line.Value("name", "TEXT", "a name", [this](const std::string& v) { name = v; });
    line.Flag("quiet", "say nothing", [this] { quiet = true; });
  }
  Parsed Run(std::vector<std::string> args) {
    args.insert(args.begin(), "demo");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    Parsed p;
    p.status = line.Parse(static_cast<int>(argv.size()), argv.data());
    p.out = ::testing::internal::GetCapturedStdout();
    p.err = ::testing::internal::GetCapturedStderr();
    return p;
  }

  CommandLine line;
  int port = 0;
  std::string name;
  bool quiet = false;
};

TEST_F(CommandLineTest, AppliesOptionsInOrder) {
  const Parsed p = Run({"--port", "4357", "--quiet", "--name", "--odd"});
  EXPECT_EQ(p.status, std::nullopt);
  EXPECT_EQ(port, 4357);
  EXPECT_TRUE(quiet);
  EXPECT_EQ(name, "--odd");  // a value is taken as it stands
  EXPECT_EQ(p.err, "");
}

TEST_F(CommandLineTest, HelpListsEveryOptionAndEndsWithZero) {
  const Parsed p = Run({"--quiet", "--help", "--bogus"});
  EXPECT_EQ(p.status, 0);
  EXPECT_THAT(p.out, HasSubstr("demo: does things\n"));
  EXPECT_THAT(p.out, HasSubstr("  --port N     the port\n"));
  EXPECT_THAT(p.out, HasSubstr("  --quiet      say nothing\n"));
  EXPECT_THAT(p.out, HasSubstr("  --help       print this and exit\n"));
}

TEST_F(CommandLineTest, RefusalsSayWhatIsWrongAndEndWithTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--bogus"}, "demo: unknown option --bogus (--help lists the options)\n"},
      {{"port"}, "demo: unknown option port (--help lists the options)\n"},
      {{"--name"}, "demo: --name needs a value: TEXT (--help lists the options)\n"},
      {{"--port", "80x"},
       "demo: --port 80x: not a whole number from 1 to 65535 (--help lists the options)\n"},
      {{"--port", "0"},
       "demo: --port 0: not a whole number from 1 to 65535 (--help lists the options)\n"},
  };
  for (const Case& c : cases) {
    const Parsed p = Run(c.args);
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.err, c.message);
    EXPECT_EQ(p.out, "");
  }
}

}  // namespace
}  // namespace platform
