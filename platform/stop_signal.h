#pragma once

// The request to end that the system sends a program (SIGTERM at logout or from a launcher,
// Ctrl+C), turned into a descriptor an event loop can wait on, so that a window closes as the user
// would close it and keeps what it keeps at closing.

namespace platform {

// SIGTERM and SIGINT (on Windows Ctrl+C, and the console closed) ask the program to stop
// instead of ending it on the spot, so it can take its windows off the desktop and keep what it
// keeps; a peer that goes away mid-write does not end it either. A loop asks StopRequested().
void CatchStopSignals();
bool StopRequested();
void RequestStop();

// From now on SIGTERM and SIGINT make the returned descriptor readable instead of ending the
// program. -1 where the system has no such signals to catch this way.
int WatchStopSignals();

// Empties the descriptor WatchStopSignals returned; true when a stop was asked for since the
// last call. An event loop must take the requests it is told of: a descriptor left readable
// wakes it again at once, for as long as the program runs.
bool TakeStopRequests(int descriptor);

}  // namespace platform
