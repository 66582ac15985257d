#include "xmpp/desktop/account_form.h"

#include <charconv>

namespace xmpp::desktop {

void SplitServer(const std::string& server, std::string& host, int& port) {
  host = server;
  port = 0;
  const std::size_t colon = server.rfind(':');
  const bool bracketed = server.starts_with('[');
  if (colon == std::string::npos || colon == 0) return;
  if (bracketed && server[colon - 1] != ']') return;
  if (!bracketed && server.find(':') != colon) return;  // a bare IPv6 address
  int value = 0;
  const char* end = server.data() + server.size();
  const auto [stop, error] = std::from_chars(server.data() + colon + 1, end, value);
  if (error != std::errc() || stop != end || colon + 1 == server.size()) return;
  port = value;
  host.resize(colon);
}

AccountSettings AccountFromFields(const AccountSettings& base, const std::string& jid,
                                  const std::string& host, int port, const std::string& caFile) {
  AccountSettings account = base;
  account.jid = Trimmed(jid);
  std::string server = Trimmed(host);
  if (server.find(':') != std::string::npos && !server.starts_with('[')) {
    server.insert(0, 1, '[').push_back(']');  // an IPv6 address
  }
  if (port != 0) {
    // A port alone is for the chat address's own domain.
    if (server.empty()) server = account.jid.substr(account.jid.find('@') + 1);
    server += ':';
    server += std::to_string(port);
  }
  account.server = server;
  account.caFile = Trimmed(caFile);
  return account;
}

std::string RefusalText(const std::string& reason, ClientEvent::Cause cause) {
  static const char* const kLeads[] = {"", "Wrong password: ", "Unknown domain: ",
                                       "Certificate not trusted: ", "Server unreachable: "};
  std::string text = kLeads[cause];
  return text.append(reason);
}

AccountField FieldToCorrect(ClientEvent::Cause cause, bool serverGiven) {
  switch (cause) {
    case ClientEvent::kPassword:
      return AccountField::kPassword;
    case ClientEvent::kCertificate:
      return AccountField::kCaFile;
    case ClientEvent::kUnreachable:
      return serverGiven ? AccountField::kServer : AccountField::kJid;
    case ClientEvent::kDomain:
      return AccountField::kJidDomain;
    case ClientEvent::kNoCause:
      break;
  }
  return AccountField::kJid;
}

std::string KeyringNoteText(const std::string& keyringNote, const std::string& privateFile) {
  if (keyringNote.empty()) return {};
  return "There is no keyring on this desktop (" + keyringNote +
         "). A remembered password is kept in " + privateFile + ", which only you can read.";
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace xmpp::desktop
