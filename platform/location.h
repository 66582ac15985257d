#pragma once

// Where the program finds its own files and where start-up prepares its temporary directory.

#include <string>

namespace platform {

// The directory the running program's file is in; empty when it cannot be told.
std::string ProgramDirectory();

// Makes sure the start-up temporary directory exists ("C:\\TEMP" on Windows, the system's
// temporary directory elsewhere), creating each missing level from the root down; every
// failure is ignored.
void EnsureStartupTempDirectory();

// The two-letter code (ISO 639-1, lower case) of the language the user reads their desktop in,
// as the locale says; empty when it says none (the "C" locale).
std::string UserLanguage();

// True when this session has a message bus to reach desktop services on (the keyring,
// notifications), found without starting one.
bool SessionBusKnown();

// Where a program keeps what lives only while the user's session does (a channel, a state file):
// the user's own; empty when there is none to trust.
std::string RuntimeDirectory();

int CurrentProcessId();

}  // namespace platform
