#include "platform/command_line.h"

#include <charconv>
#include <iostream>
#include <stdexcept>

namespace platform {

const char* const kVersion = PARLAVANT_VERSION;

void CommandLine::Value(std::string name, std::string valueName, std::string help,
                        std::function<void(const std::string&)> apply) {
  options_.push_back({std::move(name), std::move(valueName), std::move(help), std::move(apply)});
}

void CommandLine::Flag(std::string name, std::string help, std::function<void()> apply) {
  options_.push_back(
      {std::move(name), {}, std::move(help), [apply = std::move(apply)](const std::string&) {
         apply();
       }});
}

std::string CommandLine::Help() const {
  std::string text = synopsis_ + "\n\nOptions:\n";
  std::size_t width = 6;  // "--help"
  for (const Option& o : options_) {
    width = std::max(width, o.name.size() + 2 + (o.valueName.empty() ? 0 : o.valueName.size() + 1));
  }
  auto line = [&](const std::string& left, const std::string& help) {
    text += "  " + left + std::string(width + 2 - left.size(), ' ') + help + "\n";
  };
  for (const Option& o : options_) {
    line("--" + o.name + (o.valueName.empty() ? "" : " " + o.valueName), o.help);
  }
  line("--help", "print this and exit");
  line("--version", "print the version and exit");
  return text;
}

std::optional<int> CommandLine::Parse(int argc, char** argv) {
  std::string program = argc > 0 ? argv[0] : "tool";
  program.erase(0, program.find_last_of("/\\") + 1);
  auto refuse = [&](const std::string& why) {
    std::cerr << program << ": " << why << " (--help lists the options)\n";
    return 2;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::cout << Help();
      return 0;
    }
    if (arg == "--version") {
      std::cout << program << ' ' << kVersion << '\n';
      return 0;
    }
    const Option* option = nullptr;
    for (const Option& o : options_) {
      if (arg == "--" + o.name) option = &o;
    }
    if (option == nullptr) return refuse("unknown option " + arg);
    std::string value;
    if (!option->valueName.empty()) {
      if (i + 1 >= argc) return refuse(arg + " needs a value: " + option->valueName);
      value = argv[++i];
    }
    try {
      option->apply(value);
    } catch (const std::invalid_argument& e) {
      return refuse(arg + " " + value + ": " + e.what());
    }
  }
  return std::nullopt;
}

int IntegerIn(const std::string& text, int min, int max) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min ||
      value > max) {
    throw std::invalid_argument("not a whole number from " + std::to_string(min) + " to " +
                                std::to_string(max));
  }
  return value;
}

}  // namespace platform
