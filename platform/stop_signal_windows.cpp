#include <windows.h>

#include <atomic>

#include "platform/stop_signal.h"

namespace platform {
namespace {

std::atomic<bool> gStop{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  gStop = true;
  return TRUE;  // handled: the program ends itself
}

}  // namespace

void CatchStopSignals() {
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested() {
  return gStop;
}

void RequestStop() {
  gStop = true;
}

int WatchStopSignals() {
  return -1;  // a Windows program is asked to end by its window's messages
}

bool TakeStopRequests(int) {
  return false;
}

}  // namespace platform
