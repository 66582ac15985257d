// One wait for the window messages of this thread and a socket: the socket's readiness signals
// an event, and MsgWaitForMultipleObjects waits for the event and the message queue together.
#include <winsock2.h>
#include <windows.h>

#include "platform/event_wait.h"

namespace platform {

void WaitForDesktopOrSocket(Desktop& desktop, SocketId socket, int timeoutMs) {
  const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  WSAEVENT event = WSA_INVALID_EVENT;
  if (socket != kNoSocket) {
    event = WSACreateEvent();
    // The socket stays non-blocking afterwards, which is what its owner has made it already.
    WSAEventSelect(static_cast<SOCKET>(socket), event, FD_READ | FD_CLOSE);
  }
  const DWORD n = event == WSA_INVALID_EVENT ? 0 : 1;
  MsgWaitForMultipleObjects(n, &event, FALSE, timeout, QS_ALLINPUT);
  if (event != WSA_INVALID_EVENT) {
    WSAEventSelect(static_cast<SOCKET>(socket), nullptr, 0);
    WSACloseEvent(event);
  }
  desktop.ProcessPending();
}

}  // namespace platform
