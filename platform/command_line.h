#pragma once

// What every program but the window does with its command line (the signals that end it are
// stop_signal.h's), in one place and without Qt or system headers.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The version of Parlavant that every program reports.
extern const char* const kVersion;

// A tool's options. Each is declared with its help line; parsing applies them in order.
class CommandLine {
 public:
  // `synopsis` is the tool's name and what it does, for the help's first lines.
  explicit CommandLine(std::string synopsis) : synopsis_(std::move(synopsis)) {}

  // --name VALUE. `apply` may throw std::invalid_argument, whose text says what is wrong.
  void Value(std::string name, std::string valueName, std::string help,
             std::function<void(const std::string&)> apply);
  // --name, with no value.
  void Flag(std::string name, std::string help, std::function<void()> apply);

  // Reads the arguments. Returns nothing when the tool should go on; otherwise the status to
  // exit with: 0 after --help or --version (on standard output), 2 after a word that is not an
  // option, a missing value or a value refused (one line saying which, and how to get the help,
  // on standard error).
  std::optional<int> Parse(int argc, char** argv);
  std::string Help() const;

 private:
  struct Option {
    std::string name, valueName, help;
    std::function<void(const std::string&)> apply;
  };
  std::string synopsis_;
  std::vector<Option> options_;
};

// A decimal integer from `min` to `max`; throws std::invalid_argument otherwise.
int IntegerIn(const std::string& text, int min, int max);

}  // namespace platform
