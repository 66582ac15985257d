#pragma once

// The desktop: the window-message services that the chat client link and the translator
// detection need from the operating system. On Windows these are user32's
// RegisterWindowMessageA, SendNotifyMessageA, SendMessageA (with WM_COPYDATA), EnumWindows and
// GetWindowTextA; elsewhere the project provides a desktop of its own with the same semantics.
//
// Contract common to every implementation:
// - One thread. A desktop object and the windows made on it are used only from the thread that
//   created the desktop; window procedures run on that thread.
// - Window procedures must not throw. Whatever escapes one is reported on stderr and the message
//   is answered with 0 (ApplicationWindow catches and reports its handlers' errors itself).
// - Re-entrancy: while Send() waits for another process's window to answer, messages sent to
//   this process's windows are delivered and their procedures run (nested), exactly as Windows
//   delivers sent messages while a thread waits in SendMessage. A window procedure may itself
//   call Send().
// - Nesting is bounded: a message from another process that would be delivered more than
//   kMaxNestedDeliveries deep (each level a procedure of this process waiting in Send() for an
//   answer) is not delivered; a sent one is answered 0. The first refusal is reported once on
//   stderr. A real chat exchange nests two or three deep; a peer that answers every command with
//   a new command could otherwise exhaust the stack.
// - Handles are non-zero, never kHwndBroadcast, and unique on the desktop while the window lives.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

using Hwnd = std::uintptr_t;
using MsgId = std::uint32_t;
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

inline constexpr MsgId kWmCopyData = 0x004A;
inline constexpr Hwnd kHwndBroadcast = 0xFFFF;
// How deep messages from other processes are delivered inside this process's waiting sends.
inline constexpr int kMaxNestedDeliveries = 64;
// Registered message ids are handed out from this range, as on Windows.
inline constexpr MsgId kFirstRegisteredMessage = 0xC000;
inline constexpr MsgId kLastRegisteredMessage = 0xFFFF;
// The largest WM_COPYDATA payload a desktop carries. Far above any chat line; a larger send is
// refused (answered 0) rather than trusted to the peer.
inline constexpr std::uint32_t kMaxCopyDataBytes = 16u * 1024u * 1024u;

// Layout-compatible with Windows' COPYDATASTRUCT: for kWmCopyData the LParam of a message is the
// address of one of these, valid only while the message is being handled.
struct CopyDataStruct {
  std::uintptr_t dwData = 0;
  std::uint32_t cbData = 0;
  const void* lpData = nullptr;
};

// The text line a WM_COPYDATA carries, as both ends of the chat client's API read it: its bytes
// up to the first zero byte, never more than cbData of them; empty when it carries none.
std::string CopiedLine(const CopyDataStruct* data);

// A window procedure: receives every message sent to its window and returns the result.
using WindowProc = std::function<LResult(Hwnd, MsgId, WParam, LParam)>;

class Desktop {
 public:
  virtual ~Desktop() = default;

  // RegisterWindowMessageA: the same name gives the same id in every process of the desktop,
  // numbered on first registration within kFirstRegisteredMessage..kLastRegisteredMessage.
  // Returns 0 for an empty name or when the desktop cannot register it.
  virtual MsgId RegisterMessage(std::string_view name) = 0;

  // Makes a top-level window with an 8-bit title; `proc` receives its messages until
  // DestroyWindow. Returns 0 on failure.
  virtual Hwnd MakeWindow(std::string_view title, WindowProc proc) = 0;
  // Destroys a window of this desktop object. Returns false for a handle it does not own.
  virtual bool DestroyWindow(Hwnd window) = 0;
  // GetWindowTextA: copies at most maxCount-1 bytes of the title and a NUL into buffer; returns
  // the number of bytes copied, 0 for an unknown window or when maxCount < 1.
  virtual int GetTitle(Hwnd window, char* buffer, int maxCount) = 0;

  // IsWindow: whether `window` is a live window of the desktop, this process's or another's.
  virtual bool IsWindow(Hwnd window) = 0;

  // EnumWindows: calls `callback` with every live top-level window of the desktop, this
  // process's included, until it returns false. Windows of processes that are gone are skipped.
  // Returns false when the desktop could not be read.
  virtual bool EnumWindows(const std::function<bool(Hwnd)>& callback) = 0;

  // SendNotifyMessageA: delivers without waiting for a window of another process; a window of
  // this process is handled before the call returns. kHwndBroadcast reaches every window of the
  // desktop; a receiver that cannot take the message at once is skipped. kWmCopyData cannot be
  // notified (pointers do not cross processes): returns false.
  virtual bool SendNotify(Hwnd window, MsgId msg, WParam wParam, LParam lParam) = 0;

  // SendMessageA: delivers to the window, waits until its procedure has returned and returns
  // that result. For kWmCopyData, lParam is the address of a CopyDataStruct whose bytes are
  // carried to the receiver. A window that does not exist (destroyed, even by a process that is
  // busy), or whose process is gone or goes away during the wait, answers 0 at once.
  virtual LResult Send(Hwnd window, MsgId msg, WParam wParam, LParam lParam) = 0;

  // Event-loop integration. A descriptor that becomes readable when ProcessPending() has work;
  // -1 when messages reach this process's windows by other means (in-process, Win32).
  virtual int EventHandle() const = 0;
  // Handles every message that has arrived, without blocking.
  virtual void ProcessPending() = 0;
  // Waits up to timeoutMs (negative: without limit) for desktop activity, then handles it.
  // Returns false when messages reach this process's windows by other means (no waiting).
  virtual bool WaitAndProcess(int timeoutMs) = 0;
};

// All windows in one process: a send calls the receiving procedure directly, as Windows does for
// a window of the calling thread. For unit tests. `failRegistration` makes RegisterMessage fail
// (return 0) for every name, to reach the link's inert state.
std::unique_ptr<Desktop> MakeInProcessDesktop(bool failRegistration = false);

// The platform's own desktop. Elsewhere than Windows it is a per-user directory (default
// $PARLAVANT_DESKTOP, else $XDG_RUNTIME_DIR/parlavant-desktop, else /tmp/parlavant-desktop-UID),
// created with mode 0700, in which every process of the desktop meets over Unix-domain sockets.
// `where` chooses another directory, as a display is chosen. Throws platform::Error when the
// desktop cannot be opened.
std::unique_ptr<Desktop> OpenDesktop(const std::string& where = {});
// The directory OpenDesktop("") would use.
std::string DefaultDesktopLocation();

}  // namespace platform
