// parlavant-linkdemo: the program's side of the chat client link on a console. It attaches to
// the chat client on the desktop, lists the contacts, prints every received chat message, and
// sends "to HANDLE TEXT" lines typed on standard input as chat messages. "pings MS" asks the chat
// client PING after PING for MS milliseconds and says the longest wait for its PONG: how long the
// client keeps a program waiting (while it connects, say).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "chatlink/skype_control.h"
#include "platform/app_window.h"
#include "platform/console_input.h"
#include "platform/desktop.h"
#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/wait.h"
#include "platform/stop_signal.h"

int main(int argc, char** argv) {
  std::string where;
  int seconds = -1;
  platform::CommandLine options(
      "parlavant-linkdemo: the program's side of the chat client link on a console; it ends\n"
      "with standard input, or after --seconds whatever standard input does");
  options.Value("desktop", "DIR", "desktop directory (default: the user's desktop)",
                [&](const std::string& v) { where = v; });
  options.Value("seconds", "N", "run for N seconds",
                [&](const std::string& v) { seconds = platform::IntegerIn(v, 0, 86400); });
  if (auto status = options.Parse(argc, argv)) return *status;
  platform::CatchStopSignals();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  try {
    auto desktop = platform::OpenDesktop(where);
    platform::ApplicationWindow application(*desktop, "Parlavant");
    chatlink::TSkypeControl link(application);
    link.IdentName = "Parlavant";
    link.AutoReAttach = true;

    struct Pending {
      std::string from, body;
    };
    std::map<std::int32_t, Pending> pending;

    link.OnAttachSuccess = [&](chatlink::TSkypeControl& sender) {
      std::cout << "attached" << std::endl;
      sender.Search(chatlink::stFriends, "");
    };
    link.OnAttachRefused = [](chatlink::TSkypeControl&) {
      std::cout << "attach refused" << std::endl;
    };
    link.OnCurrentUserHandle = [](const std::string& handle) {
      std::cout << "signed in as " << handle << std::endl;
    };
    link.OnSearchResult = [](chatlink::TSkypeSearchType, chatlink::TStringList list) {
      std::cout << "contacts:";
      for (const auto& name : list) std::cout << ' ' << name;
      std::cout << std::endl;
    };
    link.OnChatMsgInfo = [&](std::int32_t id, chatlink::TSkypeChatMsgProperty property,
                             const std::string& data) {
      if (property == chatlink::cmStatus && data == "RECEIVED") {
        link.GetChatMessageProperty(id, chatlink::cmFromHandle);
        link.GetChatMessageProperty(id, chatlink::cmBody);
        return;
      }
      if (property != chatlink::cmFromHandle && property != chatlink::cmBody) return;
      Pending& p = pending[id];
      (property == chatlink::cmBody ? p.body : p.from) = data;
      if (p.from.empty() || p.body.empty()) return;
      std::cout << p.from << ": " << p.body << std::endl;
      pending.erase(id);
    };
    bool ponged = false;
    link.OnCopyData = [&](const std::string& line) { ponged = ponged || line == "PONG"; };
    // Each PING waits for its PONG as long as this; one that does not come is said.
    constexpr auto kPongWait = std::chrono::seconds(30);
    const auto pings = [&](int ms) {
      using Clock = std::chrono::steady_clock;
      const auto until = Clock::now() + std::chrono::milliseconds(ms);
      double longest = 0;
      int count = 0;
      while (Clock::now() < until) {
        ponged = false;
        const auto asked = Clock::now();
        link.SendCommand("PING");
        while (!ponged && Clock::now() - asked < kPongWait) {
          platform::WaitReadable(platform::kNoSocket, platform::kNoSocket, 5, desktop.get());
        }
        if (!ponged) {
          std::cout << "no PONG within 30 s" << std::endl;
          return;
        }
        ++count;
        longest = std::max(
            longest, std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
      }
      std::cout << count << " pings, the longest wait " << longest << " ms" << std::endl;
    };
    link.Attach(chatlink::kRequestedProtocol);
    std::cout << "type: to HANDLE TEXT   (end with Ctrl-D)" << std::endl;

    // "to HANDLE TEXT" lines as they come; the end of the input ends the demo unless it runs
    // for a set time.
    platform::ConsoleInput input;
    while (!platform::StopRequested() &&
           (seconds < 0 || std::chrono::steady_clock::now() < deadline)) {
      for (std::string line : input.WaitAndProcess(*desktop, 500)) {
        if (line.rfind("pings ", 0) == 0) {
          pings(std::atoi(line.c_str() + 6));
          continue;
        }
        if (line.rfind("to ", 0) != 0) continue;
        line.erase(0, 3);
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        link.SendChatMessage(line.substr(0, space), line.substr(space + 1));
      }
      if (input.Ended() && seconds < 0) break;
    }
  } catch (const platform::Error& e) {
    std::cerr << "parlavant-linkdemo: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
