#pragma once

// What the account dialog does with its fields, apart from any toolkit: the Qt dialog and the
// Win32 one show the same fields and read them the same way.

#include <string>

#include "xmpp/account_settings.h"
#include "xmpp/session.h"

namespace xmpp::desktop {

// "host", "host:port" or "[v6]:port" as the settings keep it, split for the two fields (port 0:
// none given).
void SplitServer(const std::string& server, std::string& host, int& port);

// The account the fields name, on top of `base` (what the dialog opened with): the server's
// host and port joined as the settings keep them; a port alone is for the address's own domain.
AccountSettings AccountFromFields(const AccountSettings& base, const std::string& jid,
                                  const std::string& host, int port, const std::string& caFile);

// What the dialog says of a refused sign-in: the kind of problem first.
std::string RefusalText(const std::string& reason, ClientEvent::Cause cause);

// The field the user is taken to after a refusal.
enum class AccountField { kJid, kJidDomain, kPassword, kServer, kCaFile };
AccountField FieldToCorrect(ClientEvent::Cause cause, bool serverGiven);

// Said under the password where the desktop has no keyring; empty when it has one.
std::string KeyringNoteText(const std::string& keyringNote, const std::string& privateFile);

// Surrounding blanks removed, as a typed field is read.
std::string Trimmed(const std::string& text);

}  // namespace xmpp::desktop
