#include "xmpp/account_settings.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "platform/error.h"
#include "platform/keyring.h"
#include "platform/resolve.h"
#include "platform/profile.h"
#include "platform/secret.h"
#include "platform/command_line.h"
#include "xmpp/stanza.h"

namespace xmpp {
namespace {

constexpr std::string_view kSection = "Account";

std::string BareJidDomain(const std::string& jid) {
  const std::string bare = BareJid(jid);
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

}  // namespace

void ReadAccountSettings(AccountSettings& s) {
  if (s.settingsFile.empty()) s.settingsFile = platform::ProfilePath("parlavant-xmpp.ini");
  const platform::ProfileFile file(s.settingsFile);
  const auto fill = [&](std::string& value, const char* key) {
    if (value.empty()) value = file.ReadString(kSection, key, "");
  };
  fill(s.jid, "Jid");
  fill(s.server, "Server");
  fill(s.passwordFile, "PasswordFile");
  fill(s.passwordEnv, "PasswordEnv");
  fill(s.caFile, "CaFile");
  if (!s.plain) s.plain = file.ReadInteger(kSection, "Plain", 0) == 1;
}

bool WriteAccountSettings(const AccountSettings& s, std::string& error) {
  platform::ProfileFile file(s.settingsFile);
  const std::pair<const char*, const std::string*> values[] = {{"Jid", &s.jid},
                                                               {"Server", &s.server},
                                                               {"CaFile", &s.caFile},
                                                               {"PasswordFile", &s.passwordFile}};
  for (const auto& [key, value] : values) {
    if (!file.WriteString(kSection, key, *value)) {
      error = "cannot write " + file.Path() + ": " + file.LastError();
      return false;
    }
  }
  return true;
}

std::string ExpandHome(const std::string& path) {
  if (path != "~" && !path.starts_with("~/")) return path;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return path;
  return std::string(home) + path.substr(1);
}

std::optional<std::string> FindPassword(const AccountSettings& s, std::string* keyringNote) {
  if (!s.passwordFile.empty()) return platform::ReadPrivateFile(ExpandHome(s.passwordFile));
  if (!s.passwordEnv.empty()) {
    const char* value = std::getenv(s.passwordEnv.c_str());
    if (value == nullptr) throw platform::Error("the variable " + s.passwordEnv + " is not set");
    return std::string(value);
  }
  if (s.jid.empty()) return std::nullopt;
  platform::KeyringAnswer answer;
  std::optional<std::string> kept = platform::KeyringLookup(BareJid(s.jid), answer);
  if (!answer.ok && keyringNote != nullptr) *keyringNote = answer.error;
  return kept;
}

Account MakeAccount(const AccountSettings& s, std::string password) {
  Account account;
  if (!IsValidJid(s.jid) || s.jid.find('@') == std::string::npos) {
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
            static_cast<unsigned short>(platform::IntegerIn(s.server.substr(colon + 1), 1, 65535));
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
  account.caFile = ExpandHome(s.caFile);
  account.password = std::move(password);
  return account;
}

}  // namespace xmpp
