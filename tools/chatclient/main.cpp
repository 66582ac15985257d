// parlavant-chatclient: the stand-in chat client as a program. See the README for its command
// line and command language.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "platform/console_input.h"
#include "platform/desktop.h"
#include "platform/error.h"
#include "tools/chatclient/stand_in_client.h"
#include "tools/chatclient/window_mode.h"
#include "platform/command_line.h"
#include "platform/stop_signal.h"

namespace {

std::vector<std::string> SplitList(const std::string& text, char separator) {
  std::vector<std::string> items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, separator)) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

class Runner {
 public:
  Runner(platform::Desktop& desktop, standin::StandInClient& client)
      : desktop_(desktop), client_(client) {}

  // Handles desktop traffic for up to `ms` milliseconds, or until `until` holds.
  template <typename Pred>
  bool PumpUntil(int ms, Pred until) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!platform::StopRequested() && !until()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      desktop_.WaitAndProcess(static_cast<int>(std::min<long long>(left, 100)));
    }
    return until();
  }

  // Runs one command line; false when it asks to quit.
  bool Execute(const std::string& raw) {
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') return true;
    const std::size_t space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string args = space == std::string::npos ? "" : line.substr(space + 1);
    if (command == "quit") return false;
    if (command == "receive") {
      const std::size_t sep = args.find(' ');
      if (sep == std::string::npos) {
        std::cerr << "receive needs a sender and a text\n";
        return true;
      }
      client_.Receive(args.substr(0, sep), standin::UnescapeArgument(args.substr(sep + 1)));
    } else if (command == "nest") {
      // nest N FROM TEXT: a chain of N messages, each arriving inside the request for the
      // previous one's body.
      std::istringstream in(args);
      int count = 0;
      std::string from;
      if (!(in >> count >> from) || count < 1) {
        std::cerr << "nest needs a count, a sender and a text\n";
        return true;
      }
      std::string text;
      std::getline(in >> std::ws, text);
      client_.Receive(from, standin::UnescapeArgument(text), count);
    } else if (command == "send") {
      client_.SendRaw(standin::UnescapeArgument(args));
    } else if (command == "protocol") {
      client_.SetProtocol(std::atoi(args.c_str()));
    } else if (command == "announce") {
      client_.AnnounceApi();
    } else if (command == "contacts") {
      client_.SetContacts(SplitList(args, ' '));
    } else if (command == "user") {
      client_.SetUser(args);
    } else if (command == "wait-attached") {
      const int ms = args.empty() ? 10000 : std::atoi(args.c_str());
      if (!PumpUntil(ms, [&] { return !client_.Programs().empty(); })) {
        std::cerr << "no program attached within " << ms << " ms\n";
      }
    } else if (command == "sleep") {
      PumpUntil(std::atoi(args.c_str()), [] { return false; });
    } else {
      std::cerr << "unknown command: " << command << '\n';
    }
    return true;
  }

 private:
  platform::Desktop& desktop_;
  standin::StandInClient& client_;
};

struct Settings {
  std::string desktopDir, transcriptPath, scriptPath;
  standin::ClientOptions options;
  bool announce = true;
  bool window = false;
};

// The options, with their help.
platform::CommandLine DescribeOptions(Settings& s) {
  platform::CommandLine line(
      "parlavant-chatclient: the stand-in chat client; commands on standard input (see the "
      "README)");
  line.Value("desktop", "DIR", "desktop directory (default: the user's desktop)",
             [&](const std::string& v) { s.desktopDir = v; });
  line.Value("transcript", "FILE", "write every line in both directions to FILE",
             [&](const std::string& v) { s.transcriptPath = v; });
  line.Value("script", "FILE", "run the commands in FILE before reading standard input",
             [&](const std::string& v) { s.scriptPath = v; });
  line.Value("user", "NAME", "the signed-in user (default alice)",
             [&](const std::string& v) { s.options.user = v; });
  line.Value("contacts", "A,B,...", "the contact list (default bob,carol; empty for none)",
             [&](const std::string& v) { s.options.contacts = SplitList(v, ','); });
  line.Value("protocol", "N", "the highest protocol version it speaks (default 4)",
             [&](const std::string& v) { s.options.protocol = platform::IntegerIn(v, 1, 99); });
  line.Value("attach", "MODE", "success | pending | refused | unavailable (default success)",
             [&](const std::string& v) {
               static const std::pair<const char*, standin::AttachMode> modes[] = {
                   {"success", standin::AttachMode::kSuccess},
                   {"pending", standin::AttachMode::kPendingThenSuccess},
                   {"refused", standin::AttachMode::kRefused},
                   {"unavailable", standin::AttachMode::kNotAvailable}};
               for (const auto& [word, mode] : modes) {
                 if (v == word) return void(s.options.attach = mode);
               }
               throw std::invalid_argument("success, pending, refused or unavailable");
             });
  line.Value("search-reply", "WORD", "USERS or FRIENDS: how a friends search is answered",
             [&](const std::string& v) {
               if (v != "USERS" && v != "FRIENDS") throw std::invalid_argument("USERS or FRIENDS");
               s.options.searchReply = v;
             });
  line.Flag("no-announce", "do not announce the API at start", [&] { s.announce = false; });
#if PARLAVANT_CHATCLIENT_WINDOW
  line.Flag("window", "show a window to chat in as the contacts (no command language)",
            [&] { s.window = true; });
#endif
  return line;
}

// Whether the commands ran to the end of the file (false after "quit"); nullopt when the file
// cannot be read.
std::optional<bool> RunScript(const std::string& path, Runner& runner) {
  std::ifstream script(path, std::ios::binary);
  if (!script) return std::nullopt;
  std::string line;
  while (!platform::StopRequested() && std::getline(script, line)) {
    if (!runner.Execute(line)) return false;
  }
  return true;
}

// Commands from standard input as they come; at its end the client goes on serving until it is
// told to stop.
void RunConsole(platform::Desktop& desktop, Runner& runner) {
  platform::ConsoleInput input;
  while (!platform::StopRequested()) {
    for (const std::string& line : input.WaitAndProcess(desktop, 200)) {
      if (!runner.Execute(line)) return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (auto status = DescribeOptions(settings).Parse(argc, argv)) return *status;
  platform::CatchStopSignals();

  std::ofstream transcript;
  if (!settings.transcriptPath.empty()) {
    transcript.open(settings.transcriptPath, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!transcript) {
      std::cerr << "cannot write " << settings.transcriptPath << '\n';
      return 1;
    }
  }
  auto sink = [&](standin::Direction direction, std::string_view line) {
    if (!transcript.is_open()) return;
    static const char* names[] = {"in", "out", "attach", "discover"};
    transcript << names[static_cast<int>(direction)] << ' ' << standin::EscapeBytes(line) << '\n';
    transcript.flush();
  };

  try {
    auto desktop = platform::OpenDesktop(settings.desktopDir);
    standin::StandInClient client(*desktop, settings.options, sink);
#if PARLAVANT_CHATCLIENT_WINDOW
    if (settings.window) {
      return standin::RunClientWindow(argc, argv, *desktop, client, settings.announce);
    }
#endif
    if (settings.announce) client.AnnounceApi();
    Runner runner(*desktop, client);
    if (!settings.scriptPath.empty()) {
      const std::optional<bool> toTheEnd = RunScript(settings.scriptPath, runner);
      if (!toTheEnd) {
        std::cerr << "cannot read " << settings.scriptPath << '\n';
        return 1;
      }
      if (!*toTheEnd) return 0;
    }
    RunConsole(*desktop, runner);
  } catch (const platform::Error& e) {
    std::cerr << "parlavant-chatclient: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
