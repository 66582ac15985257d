#pragma once

// The account parlavant-xmpp signs in with: the command line first, then the [Account] section
// of its settings file; the password from a private file, an environment variable, the keyring,
// or the user.

#include <optional>
#include <string>

#include "xmpp/client.h"

namespace xmpp {

struct AccountSettings {
  std::string settingsFile;  // empty: parlavant-xmpp.ini beside Parlavant's settings
  std::string jid, server, passwordFile, passwordEnv, caFile;
  bool plain = false;
};

// Fills what is still empty from the settings file (and names the file when none was given).
void ReadAccountSettings(AccountSettings& s);
// Keeps the account in the settings file; false with the reason in `error`. Never the password.
bool WriteAccountSettings(const AccountSettings& s, std::string& error);

// "~" or "~/..." in a path the user wrote: their home directory.
std::string ExpandHome(const std::string& path);

// The password the settings lead to without asking anybody: the private file, the variable,
// or the keyring (`keyringNote` says why the keyring could not be asked, when it could not).
// Throws platform::Error when a named file or variable cannot be read.
std::optional<std::string> FindPassword(const AccountSettings& s, std::string* keyringNote);

// The account to sign in with; throws platform::Error with what is wrong in the settings.
Account MakeAccount(const AccountSettings& s, std::string password);

}  // namespace xmpp
