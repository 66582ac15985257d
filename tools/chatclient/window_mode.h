#pragma once

// The stand-in chat client's window, an optional part: it needs Qt, and the console client does
// not. Where it is built, PARLAVANT_CHATCLIENT_WINDOW is 1.

#include "platform/desktop.h"
#include "tools/chatclient/stand_in_client.h"

namespace standin {

// Shows the window and runs until it is closed or a stop signal comes; returns the exit status.
int RunClientWindow(int argc, char** argv, platform::Desktop& desktop, StandInClient& client,
                    bool announce);

}  // namespace standin
