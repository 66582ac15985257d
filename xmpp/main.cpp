// parlavant-xmpp: a chat client for an XMPP account that offers the desktop chat-client API, so
// that Parlavant translates real conversations. See the README for its command line.
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "chatapi/chat_api_server.h"
#include "platform/desktop.h"
#include "platform/error.h"
#include "platform/event_wait.h"
#include "platform/net_host.h"
#include "platform/profile.h"
#include "platform/secret.h"
#include "tools/common/command_line.h"
#include "xmpp/bridge.h"
#include "xmpp/client.h"

namespace {

constexpr int kLoopCapMs = 1000;      // the host only waits for the desktop and the client's events
constexpr int kRosterBoundMs = 5000;  // a roster slower than this is taken as empty

struct Settings {
  std::string desktopDir, settingsFile, stateFile, jid, server, passwordFile, passwordEnv, caFile;
  bool plain = false;
  xmpp::ClientOptions client;
};

std::function<void(const std::string&)> SecondsInto(int& ms, int max) {
  return [&ms, max](const std::string& v) { ms = tools::IntegerIn(v, 1, max) * 1000; };
}

tools::CommandLine DescribeOptions(Settings& s) {
  tools::CommandLine line(
      "parlavant-xmpp: signs in to an XMPP account and offers it to Parlavant through the\n"
      "desktop chat-client API");
  line.Value("jid", "USER@DOMAIN", "the account (or Jid= in the settings file)",
             [&](const std::string& v) { s.jid = v; });
  line.Value("server", "HOST[:PORT]", "the server to connect to (default: found from the JID)",
             [&](const std::string& v) { s.server = v; });
  line.Value("password-file", "FILE", "read the password from FILE (readable by you only)",
             [&](const std::string& v) { s.passwordFile = v; });
  line.Value("password-env", "NAME", "read the password from the environment variable NAME",
             [&](const std::string& v) { s.passwordEnv = v; });
  line.Value("ca-file", "FILE", "also trust the certificates in FILE",
             [&](const std::string& v) { s.caFile = v; });
  line.Flag("plain", "connect without TLS (only to a server on this machine)",
            [&] { s.plain = true; });
  line.Value("settings", "FILE",
             "the settings file (default: parlavant-xmpp.ini beside Parlavant's settings)",
             [&](const std::string& v) { s.settingsFile = v; });
  line.Value("desktop", "DIR", "desktop directory (default: the user's desktop)",
             [&](const std::string& v) { s.desktopDir = v; });
  line.Value("state", "FILE", "where the last message shown is kept (default in ~/.local/state)",
             [&](const std::string& v) { s.stateFile = v; });
  line.Value("ping-interval", "S", "ask a quiet server after S seconds whether it is there (30)",
             SecondsInto(s.client.session.pingIntervalMs, 3600));
  line.Value("ack-timeout", "S",
             "take the connection down when the server has not answered for S seconds (30)",
             SecondsInto(s.client.session.ackTimeoutMs, 3600));
  line.Value("connect-timeout", "S", "give up a connection attempt after S seconds (30)",
             SecondsInto(s.client.connectTimeoutMs, 3600));
  line.Value("send-bound", "S",
             "a message the server has not acknowledged after S seconds is FAILED (600)",
             SecondsInto(s.client.session.sendBoundMs, 86400));
  return line;
}

// What the command line leaves open comes from the settings file's [Account] section.
void ReadSettingsFile(Settings& s) {
  if (s.settingsFile.empty()) s.settingsFile = platform::ProfilePath("parlavant-xmpp.ini");
  const platform::ProfileFile file(s.settingsFile);
  const auto fill = [&](std::string& value, const char* key) {
    if (value.empty()) value = file.ReadString("Account", key, "");
  };
  fill(s.jid, "Jid");
  fill(s.server, "Server");
  fill(s.passwordFile, "PasswordFile");
  fill(s.passwordEnv, "PasswordEnv");
  fill(s.caFile, "CaFile");
  if (!s.plain) s.plain = file.ReadInteger("Account", "Plain", 0) == 1;
}

std::string BareJidDomain(const std::string& jid) {
  const std::string bare = xmpp::BareJid(jid);
  return bare.substr(bare.find('@') + 1);
}

// With --plain the password goes out unencrypted: the name is resolved here, once, every address
// it has must be this machine's, and the connection goes to that literal address (no SRV
// lookup, no second resolution that could answer differently).
std::string LoopbackAddressOf(const std::string& host) {
  const std::vector<std::string> addresses = platform::ResolveAddresses(host);
  for (const std::string& address : addresses) {
    if (!platform::IsLoopbackAddress(address)) {
      throw platform::Error("--plain is refused for " + host + " (" + address +
                            "): a password goes unencrypted only to this machine");
    }
  }
  // "localhost" is both 127.0.0.1 and ::1; a local server listens on the first more often.
  for (const std::string& address : addresses) {
    if (address.find(':') == std::string::npos) return address;
  }
  return addresses.front();
}

xmpp::Account MakeAccount(const Settings& s) {
  xmpp::Account account;
  if (!xmpp::IsValidJid(s.jid) || s.jid.find('@') == std::string::npos) {
    throw platform::Error(s.jid.empty() ? "no account: give --jid or Jid= in " + s.settingsFile
                                        : "not an account: " + s.jid);
  }
  account.jid = s.jid;
  if (!s.server.empty()) {
    const std::size_t colon = s.server.rfind(':');
    const bool bracketed = s.server.front() == '[';
    if (colon != std::string::npos && (!bracketed || s.server[colon - 1] == ']')) {
      account.host = s.server.substr(0, colon);
      try {
        account.port =
            static_cast<unsigned short>(tools::IntegerIn(s.server.substr(colon + 1), 1, 65535));
      } catch (const std::invalid_argument&) {
        throw platform::Error("not a server: " + s.server);
      }
    } else {
      account.host = s.server;
    }
    if (bracketed) account.host = account.host.substr(1, account.host.size() - 2);
  }
  const std::string domain = BareJidDomain(account.jid);
  if (s.plain) account.host = LoopbackAddressOf(account.host.empty() ? domain : account.host);
  account.plain = s.plain;
  account.caFile = s.caFile;
  if (!s.passwordFile.empty()) {
    account.password = platform::ReadPrivateFile(s.passwordFile);
  } else if (!s.passwordEnv.empty()) {
    const char* value = std::getenv(s.passwordEnv.c_str());
    if (value == nullptr) throw platform::Error("the variable " + s.passwordEnv + " is not set");
    account.password = value;
  } else if (auto typed = platform::AskHidden("Password for " + account.jid + ": ")) {
    account.password = *typed;
  } else {
    throw platform::Error(
        "no password: give --password-file or --password-env (there is no "
        "terminal to ask on)");
  }
  return account;
}

// Where the archive id of the last message a program took is kept, per account, so that a run
// after a crash or a stop catches up from there. The profile writer replaces the file whole and
// crash-safely.
class ShownState {
 public:
  ShownState(std::string path, std::string account)
      : file_(std::move(path)), account_(std::move(account)) {}
  std::string Read() const { return file_.ReadString("Archive", account_, ""); }
  void Write(const std::string& archiveId) {
    if (!file_.WriteString("Archive", account_, archiveId) && !failureSaid_) {
      failureSaid_ = true;
      std::cerr << "parlavant-xmpp: cannot remember the last message shown in " << file_.Path()
                << " (" << file_.LastError() << ")\n";
    }
  }

 private:
  platform::ProfileFile file_;
  std::string account_;
  bool failureSaid_ = false;
};

// Applies what the network brought; false when the program must end (its status in `status`).
bool Apply(const xmpp::ClientEvent& event, xmpp::Bridge& bridge, ShownState& shown, int& status) {
  switch (event.kind) {
    case xmpp::ClientEvent::kOnline:
      break;
    case xmpp::ClientEvent::kOffline:
      std::cerr << "parlavant-xmpp: connection lost (" << event.reason << "); connecting again\n";
      break;
    case xmpp::ClientEvent::kMessage:
      bridge.Received(event.from, event.body, event.id);
      break;
    case xmpp::ClientEvent::kRoster:
      bridge.SetRoster(event.roster);
      break;
    case xmpp::ClientEvent::kAcked:
      bridge.MessageAcknowledged(event.id);
      break;
    case xmpp::ClientEvent::kSendFailed:
      bridge.MessageFailed(event.id, event.reason);
      break;
    case xmpp::ClientEvent::kArchivePoint:
      shown.Write(event.id);
      break;
    case xmpp::ClientEvent::kRefused:
    case xmpp::ClientEvent::kNotice:
      // The API stays for the programs attached; what they send waits, bounded.
      std::cerr << "parlavant-xmpp: " << event.reason << '\n';
      break;
    case xmpp::ClientEvent::kFailed:
      std::cerr << "parlavant-xmpp: " << event.reason << '\n';
      status = 1;
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (auto status = DescribeOptions(settings).Parse(argc, argv)) return *status;
  tools::CatchStopSignals();
  // The password is in this process's memory for as long as it runs.
  platform::KeepSecretsOutOfDumps();
  try {
    ReadSettingsFile(settings);
    xmpp::XmppClient client(MakeAccount(settings), settings.client);
    ShownState shown(settings.stateFile.empty() ? platform::StatePath("parlavant-xmpp.state")
                                                : settings.stateFile,
                     client.BareUser());
    if (const std::string point = shown.Read(); !point.empty()) client.SetArchivePoint(point);
    auto desktop = platform::OpenDesktop(settings.desktopDir);
    xmpp::Bridge bridge(client);
    bridge.OnNotice = [](const std::string& text) {
      std::cerr << "parlavant-xmpp: " << text << '\n';
    };
    bridge.OnDelivered = [&](const std::string& archiveId) {
      shown.Write(archiveId);
      client.SetArchivePoint(archiveId);
    };
    bridge.SetUser(client.BareUser());
    // Until the account is signed in and its roster known, the API says it is not available; a
    // program attaches when it is announced.
    chatapi::ChatApiServer server(*desktop, bridge,
                                  {4, chatapi::AttachMode::kNotAvailable, "USERS"});
    bridge.SetServer(&server);
    client.Start();

    int status = 0;
    bool available = false;
    std::optional<std::chrono::steady_clock::time_point> onlineSince;
    while (!tools::StopRequested()) {
      platform::WaitForDesktopOrSocket(*desktop, client.WakeHandle(), kLoopCapMs);
      for (const xmpp::ClientEvent& event : client.TakeEvents()) {
        if (!Apply(event, bridge, shown, status)) return status;
        if (event.kind == xmpp::ClientEvent::kOnline && !onlineSince) {
          onlineSince = std::chrono::steady_clock::now();
        }
      }
      const auto now = std::chrono::steady_clock::now();
      if (!available && onlineSince &&
          (bridge.HasRoster() || now - *onlineSince > std::chrono::milliseconds(kRosterBoundMs))) {
        if (!bridge.HasRoster()) bridge.SetRoster({});
        available = true;
        server.Options().attach = chatapi::AttachMode::kSuccess;
        server.AnnounceApi();
        std::cerr << "parlavant-xmpp: signed in as " << client.BareUser() << '\n';
      }
      bridge.Flush();
    }
    return status;
  } catch (const platform::Error& e) {
    std::cerr << "parlavant-xmpp: " << e.what() << '\n';
    return 1;
  }
}
