// parlavant-xmpp: a chat client for an XMPP account that offers the desktop chat-client API, so
// that Parlavant translates real conversations. See the README for its command line.
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>

#include "platform/error.h"
#include "platform/dump_guard.h"
#include "platform/secret.h"
#include "platform/command_line.h"
#include "platform/stop_signal.h"
#include "xmpp/account_settings.h"
#include "xmpp/service.h"
#ifdef PARLAVANT_XMPP_DESKTOP
#include "xmpp/desktop/launcher.h"
#define PARLAVANT_XMPP_LAUNCH 1
#endif
#ifdef PARLAVANT_XMPP_WIN32
#include "xmpp/desktop/win32_launcher.h"
#define PARLAVANT_XMPP_LAUNCH 1
#endif

namespace {

struct Settings {
  xmpp::AccountSettings account;
  xmpp::ServiceOptions service;
#ifdef PARLAVANT_LAUNCHER_ONLY
  bool launch = true;  // what the Start menu starts: the desktop mode, without a console
#else
  bool launch = false;
#endif
  int restartWaitMs = 1000;
};

std::function<void(const std::string&)> SecondsInto(int& ms, int max) {
  return [&ms, max](const std::string& v) { ms = platform::IntegerIn(v, 1, max) * 1000; };
}

platform::CommandLine DescribeOptions(Settings& s) {
  platform::CommandLine line(
      "parlavant-xmpp: signs in to an XMPP account and offers it to Parlavant through the\n"
      "desktop chat-client API");
  xmpp::AccountSettings& a = s.account;
#ifdef PARLAVANT_XMPP_LAUNCH
  line.Flag("launch", "the desktop mode: account dialog, keyring, tray; starts Parlavant's window",
            [&] { s.launch = true; });
  line.Value("restart-wait", "MS",
             "with --launch: the first wait before the translator or the window that ended is "
             "started again (1000)",
             [&](const std::string& v) { s.restartWaitMs = platform::IntegerIn(v, 10, 60000); });
#endif
  line.Value("jid", "USER@DOMAIN", "the account (or Jid= in the settings file)",
             [&](const std::string& v) { a.jid = v; });
  line.Value("server", "HOST[:PORT]", "the server to connect to (default: found from the JID)",
             [&](const std::string& v) { a.server = v; });
  line.Value("password-file", "FILE", "read the password from FILE (readable by you only)",
             [&](const std::string& v) { a.passwordFile = v; });
  line.Value("password-env", "NAME", "read the password from the environment variable NAME",
             [&](const std::string& v) { a.passwordEnv = v; });
  line.Value("ca-file", "FILE", "also trust the certificates in FILE",
             [&](const std::string& v) { a.caFile = v; });
  line.Flag("plain", "connect without TLS (only to a server on this machine)",
            [&] { a.plain = true; });
  line.Value("settings", "FILE",
             "the settings file (default: parlavant-xmpp.ini beside Parlavant's settings)",
             [&](const std::string& v) { a.settingsFile = v; });
  line.Value("desktop", "DIR", "desktop directory (default: the user's desktop)",
             [&](const std::string& v) { s.service.desktopDir = v; });
  line.Value("state", "FILE", "where the last message shown is kept (default in ~/.local/state)",
             [&](const std::string& v) { s.service.stateFile = v; });
  xmpp::ClientOptions& c = s.service.client;
  line.Value("ping-interval", "S", "ask a quiet server after S seconds whether it is there (30)",
             SecondsInto(c.session.pingIntervalMs, 3600));
  line.Value("ack-timeout", "S",
             "take the connection down when the server has not answered for S seconds (30)",
             SecondsInto(c.session.ackTimeoutMs, 3600));
  line.Value("connect-timeout", "S", "give up a connection attempt after S seconds (30)",
             SecondsInto(c.connectTimeoutMs, 3600));
  line.Value("send-bound", "S",
             "a message the server has not acknowledged after S seconds is FAILED (600)",
             SecondsInto(c.session.sendBoundMs, 86400));
  return line;
}

void Say(const std::string& text) {
#ifdef PARLAVANT_LAUNCHER_ONLY
  xmpp::desktop::ShowLauncherError(text);  // no console to say it on
#else
  std::cerr << "parlavant-xmpp: " << text << '\n';
#endif
}

int RunConsole(Settings& settings) {
  xmpp::ReadAccountSettings(settings.account);
  std::optional<std::string> password = xmpp::FindPassword(settings.account, nullptr);
  if (!password && !settings.account.jid.empty()) {
    password = platform::AskHidden("Password for " + settings.account.jid + ": ");
  }
  if (!password && !settings.account.jid.empty()) {
    throw platform::Error(
        "no password: give --password-file or --password-env (there is no terminal to ask on, "
        "and the keyring keeps none for " +
        settings.account.jid + ")");
  }
  xmpp::AccountService service(xmpp::MakeAccount(settings.account, password.value_or("")),
                               settings.service);
  std::fill(password->begin(), password->end(), '\0');
  service.OnConnection = [](const xmpp::ClientEvent& event) {
    if (event.kind == xmpp::ClientEvent::kOffline) {
      if (event.lost) Say("connection lost (" + event.reason + "); connecting again");
    } else if (event.kind != xmpp::ClientEvent::kOnline) {
      Say(event.reason);
    }
  };
  service.OnAvailable = [](const std::string& user) { Say("signed in as " + user); };
  return service.Run();
}

int Main(int argc, char** argv) {
  Settings settings;
  if (auto status = DescribeOptions(settings).Parse(argc, argv)) return *status;
  // The password is in this process's memory for as long as it runs.
  platform::KeepSecretsOutOfDumps();
  try {
#ifdef PARLAVANT_XMPP_DESKTOP
    if (settings.launch) {
      return xmpp::desktop::RunLauncher(argc, argv, settings.account, settings.service,
                                        std::chrono::milliseconds(settings.restartWaitMs));
    }
#endif
#ifdef PARLAVANT_XMPP_WIN32
    if (settings.launch) {
      return xmpp::desktop::RunWin32Launcher(settings.account, settings.service,
                                             std::chrono::milliseconds(settings.restartWaitMs));
    }
#endif
    platform::CatchStopSignals();
    return RunConsole(settings);
  } catch (const platform::Error& e) {
    Say(e.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) { return Main(argc, argv); }

#ifdef PARLAVANT_LAUNCHER_ONLY
// The Windows subsystem's entry: the C runtime has the arguments already split.
extern "C" int __stdcall WinMain(void*, void*, char*, int) { return Main(__argc, __argv); }
#endif
