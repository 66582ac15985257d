// parlavant-stintf: writes and reads interface-translation files (--help for how).
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/command_line.h"
#include "uilocal/interface_file.h"
#include "uilocal/translate_interface.h"

namespace {

std::string Quoted(const std::string& field) {
  if (!field.empty() && field.find_first_of(" \t;\"") == std::string::npos) return field;
  std::string out = "\"";
  for (char c : field) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

}  // namespace

constexpr const char* kHelp =
    "parlavant-stintf: writes and reads interface-translation files\n"
    "  parlavant-stintf write SOURCE FILE   SOURCE: \"path;language;text\" lines in UTF-8\n"
    "  parlavant-stintf read FILE           prints the records of FILE as such lines\n"
    "  parlavant-stintf --help              prints this\n"
    "  parlavant-stintf --version           prints the version\n";

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "--help") {
    std::cout << kHelp;
    return 0;
  }
  if (verb == "--version") {
    std::cout << "parlavant-stintf " << platform::kVersion << '\n';
    return 0;
  }
  try {
    if (verb == "write" && argc == 4) {
      std::ifstream in(argv[2], std::ios::binary);
      if (!in) throw platform::Error(std::string("Cannot read ") + argv[2]);
      std::stringstream source;
      source << in.rdbuf();
      const std::string file = uilocal::InterfaceFile(uilocal::TextFromSource(source.str()));
      std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
      if (!out.write(file.data(), static_cast<std::streamsize>(file.size()))) {
        throw platform::Error(std::string("Cannot write ") + argv[3]);
      }
      return 0;
    }
    if (verb == "read" && argc == 3) {
      std::ifstream probe(argv[2], std::ios::binary);
      if (!probe) throw platform::Error(std::string("Cannot read ") + argv[2]);
      uilocal::LoadTranslations(argv[2]);
      for (const auto& record : uilocal::Translations()) {
        std::cout << Quoted(std::string(record.ComponentPath)) << ';' << record.Language << ';'
                  << Quoted(platform::Utf8Encode(record.Text)) << '\n';
      }
      return 0;
    }
  } catch (const platform::Error& e) {
    std::cerr << "parlavant-stintf: " << e.what() << '\n';
    return 1;
  }
  if (verb != "write" && verb != "read") {
    std::cerr << "parlavant-stintf: " << (verb.empty() ? "no verb" : "unknown verb " + verb)
              << ": write or read (--help says more)\n";
  } else {
    std::cerr << "parlavant-stintf: " << verb << " takes "
              << (verb == "write" ? "SOURCE FILE" : "FILE") << " (--help says more)\n";
  }
  return 2;
}
