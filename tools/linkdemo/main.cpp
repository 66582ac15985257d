// parlavant-linkdemo: the program's side of the chat client link on a console. It attaches to
// the chat client on the desktop, lists the contacts, prints every received chat message, and
// sends "to HANDLE TEXT" lines typed on standard input as chat messages.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "chatlink/skype_control.h"
#include "platform/app_window.h"
#include "platform/console_input.h"
#include "platform/desktop.h"
#include "platform/error.h"
#include "platform/command_line.h"

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
    link.Attach(chatlink::kRequestedProtocol);
    std::cout << "type: to HANDLE TEXT   (end with Ctrl-D)" << std::endl;

    // "to HANDLE TEXT" lines as they come; the end of the input ends the demo unless it runs
    // for a set time.
    platform::ConsoleInput input;
    while (!platform::StopRequested() &&
           (seconds < 0 || std::chrono::steady_clock::now() < deadline)) {
      for (std::string line : input.WaitAndProcess(*desktop, 500)) {
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
