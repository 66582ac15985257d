#pragma once

// parlavant-xmpp's desktop mode: the program a person starts. It signs in with the saved
// account (or asks for one in the account dialog), keeps the password in the keyring, starts the
// translator when none is reachable and Parlavant's window, shows the connection in the tray
// (or a small status window where the desktop has no tray), says a lost and a restored
// connection as notifications, and ends what it started when the user quits.

#include "xmpp/account_settings.h"
#include "xmpp/service.h"

namespace xmpp::desktop {

int RunLauncher(int argc, char** argv, AccountSettings account, ServiceOptions service);

}  // namespace xmpp::desktop
