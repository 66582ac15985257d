// The desktop on user32: the real thing the other implementations imitate. Windows are hidden
// top-level windows (a message-only window never hears a broadcast); a discovery broadcast goes
// out with SendNotifyMessage, which never waits for a hung window; sends are SendMessage, whose
// nesting Windows itself handles. A named desktop (OpenDesktop with a `where`) is a Windows
// desktop of the window station, "parlavant-" and 16 hex digits of a hash of `where` (desktop
// names cannot hold a backslash), so that tests and demos on different desktops never see each
// other's broadcasts. Windows lets messages through from a process of lower integrity to one of
// higher only where the receiver allows them (ChangeWindowMessageFilterEx): a chat client that
// runs elevated does not hear an ordinary Parlavant.
#include <windows.h>
// The desktop API's own OpenDesktop, not the ANSI name windows.h gives the system's.
#undef OpenDesktop

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/desktop.h"
#include "platform/desktop_internal.h"
#include "platform/error.h"
#include "platform/os_error.h"

namespace platform {
namespace {

constexpr const char* kWindowClass = "ParlavantDesktopWindow";

// What a window's procedure is, kept in the window's user data until it is destroyed.
struct Slot {
  std::shared_ptr<WindowProc> proc;
};

// The messages a window procedure of this layer hears; the system's own go to DefWindowProc.
bool Delivered(UINT msg) {
  return msg == WM_COPYDATA || (msg >= WM_USER && msg <= 0xFFFF);
}

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* slot = reinterpret_cast<Slot*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    delete slot;
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  if (slot == nullptr || !Delivered(msg)) return DefWindowProcA(hwnd, msg, wParam, lParam);
  // Messages from other processes nest inside this thread's own sends without end on Windows;
  // past the same bound as the socket desktop's they are answered 0, so that a peer that nests
  // for ever cannot exhaust the stack. Said once.
  static thread_local int depth = 0;
  static thread_local bool reported = false;
  const bool foreign = (InSendMessageEx(nullptr) & ISMEX_SEND) != 0;
  if (foreign && depth >= kMaxNestedDeliveries) {
    if (!reported) {
      reported = true;
      std::fprintf(stderr, "desktop: messages nested more than %d deep are answered 0\n",
                   kMaxNestedDeliveries);
    }
    return 0;
  }
  struct Level {
    bool counted;
    explicit Level(bool c) : counted(c) { depth += counted; }
    ~Level() { depth -= counted; }
  } level(foreign);
  // Held for the call: the procedure may destroy its own window.
  const std::shared_ptr<WindowProc> proc = slot->proc;
  const Hwnd self = reinterpret_cast<Hwnd>(hwnd);
  if (msg == WM_COPYDATA) {
    const auto* system = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (system == nullptr) return 0;
    CopyDataStruct data;
    data.dwData = system->dwData;
    data.cbData = system->cbData;
    data.lpData = system->lpData;
    return detail::CallWindowProcSafely(*proc, self, msg, wParam, reinterpret_cast<LParam>(&data));
  }
  return detail::CallWindowProcSafely(*proc, self, msg, wParam, lParam);
}

void RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &WindowProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassA(&windowClass) != 0;
  }();
  if (!registered) ThrowOsError("Cannot register the desktop's window class", GetLastError());
}

std::string DesktopName(const std::string& where) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : where) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char name[40];
  std::snprintf(name, sizeof name, "parlavant-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

class User32Desktop final : public Desktop {
 public:
  User32Desktop() { RegisterWindowClass(); }
  ~User32Desktop() override {
    for (HWND window : windows_) ::DestroyWindow(window);
  }

  MsgId RegisterMessage(std::string_view name) override {
    if (name.empty()) return 0;
    return RegisterWindowMessageA(std::string(name).c_str());
  }

  Hwnd MakeWindow(std::string_view title, WindowProc proc) override {
    auto* slot = new Slot{std::make_shared<WindowProc>(std::move(proc))};
    HWND window = CreateWindowExA(0, kWindowClass, std::string(title).c_str(), WS_OVERLAPPED, 0, 0,
                                  0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), slot);
    if (window == nullptr) {
      delete slot;
      return 0;
    }
    windows_.push_back(window);
    return reinterpret_cast<Hwnd>(window);
  }

  bool DestroyWindow(Hwnd window) override {
    for (auto it = windows_.begin(); it != windows_.end(); ++it) {
      if (reinterpret_cast<Hwnd>(*it) == window) {
        windows_.erase(it);
        return ::DestroyWindow(reinterpret_cast<HWND>(window)) != 0;
      }
    }
    return false;
  }

  int GetTitle(Hwnd window, char* buffer, int maxCount) override {
    if (maxCount < 1) return 0;
    return GetWindowTextA(reinterpret_cast<HWND>(window), buffer, maxCount);
  }

  bool IsWindow(Hwnd window) override { return ::IsWindow(reinterpret_cast<HWND>(window)) != 0; }

  bool EnumWindows(const std::function<bool(Hwnd)>& callback) override {
    struct Walk {
      const std::function<bool(Hwnd)>& callback;
      bool stopped = false;
    } walk{callback};
    const BOOL done = ::EnumWindows(
        [](HWND window, LPARAM self) -> BOOL {
          auto* w = reinterpret_cast<Walk*>(self);
          if (w->callback(reinterpret_cast<Hwnd>(window))) return TRUE;
          w->stopped = true;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&walk));
    return done != 0 || walk.stopped;
  }

  bool SendNotify(Hwnd window, MsgId msg, WParam wParam, LParam lParam) override {
    if (msg == kWmCopyData) return false;
    return SendNotifyMessageA(reinterpret_cast<HWND>(window), msg, wParam, lParam) != 0;
  }

  LResult Send(Hwnd window, MsgId msg, WParam wParam, LParam lParam) override {
    if (msg != kWmCopyData) {
      return SendMessageA(reinterpret_cast<HWND>(window), msg, wParam, lParam);
    }
    const auto* data = reinterpret_cast<const CopyDataStruct*>(lParam);
    if (data == nullptr || data->cbData > kMaxCopyDataBytes ||
        (data->cbData > 0 && data->lpData == nullptr)) {
      return 0;
    }
    COPYDATASTRUCT system;
    system.dwData = data->dwData;
    system.cbData = data->cbData;
    system.lpData = const_cast<void*>(data->lpData);
    return SendMessageA(reinterpret_cast<HWND>(window), WM_COPYDATA, wParam,
                        reinterpret_cast<LPARAM>(&system));
  }

  int EventHandle() const override { return -1; }

  void ProcessPending() override {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }

  bool WaitAndProcess(int timeoutMs) override {
    MsgWaitForMultipleObjects(
        0, nullptr, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), QS_ALLINPUT);
    ProcessPending();
    return true;
  }

 private:
  std::vector<HWND> windows_;
};

}  // namespace

std::unique_ptr<Desktop> OpenDesktop(const std::string& where) {
  if (!where.empty()) {
    // The thread must not have made a window yet: a thread's desktop is fixed by its first.
    const std::string name = DesktopName(where);
    HDESK desktop = CreateDesktopA(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (desktop == nullptr) ThrowOsError("Cannot open the desktop " + name, GetLastError());
    if (!SetThreadDesktop(desktop)) {
      ThrowOsError("Cannot move to the desktop " + name, GetLastError());
    }
  }
  return std::make_unique<User32Desktop>();
}

std::string DefaultDesktopLocation() {
  return {};
}

}  // namespace platform
