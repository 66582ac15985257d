// The in-process desktop: every window lives in this process, and a send is a direct call of the
// receiving procedure, as Windows does for a window of the calling thread.
#include <cstring>
#include <map>
#include <vector>

#include "platform/desktop.h"
#include "platform/desktop_internal.h"

namespace platform {
namespace {

class InProcessDesktop final : public Desktop {
 public:
  explicit InProcessDesktop(bool failRegistration) : failRegistration_(failRegistration) {}

  MsgId RegisterMessage(std::string_view name) override {
    if (name.empty() || failRegistration_) return 0;
    auto it = messages_.find(std::string(name));
    if (it != messages_.end()) return it->second;
    const MsgId id = kFirstRegisteredMessage + static_cast<MsgId>(messages_.size());
    if (id > kLastRegisteredMessage) return 0;
    messages_.emplace(std::string(name), id);
    return id;
  }

  Hwnd MakeWindow(std::string_view title, WindowProc proc) override {
    const Hwnd handle = nextHandle_++;
    windows_.emplace(handle,
                     Window{std::string(title), std::make_shared<WindowProc>(std::move(proc))});
    return handle;
  }

  bool DestroyWindow(Hwnd window) override { return windows_.erase(window) > 0; }

  int GetTitle(Hwnd window, char* buffer, int maxCount) override {
    auto it = windows_.find(window);
    if (it == windows_.end() || maxCount < 1) return 0;
    const std::string& title = it->second.title;
    std::size_t n = std::min<std::size_t>(title.size(), static_cast<std::size_t>(maxCount - 1));
    std::memcpy(buffer, title.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
  }

  bool IsWindow(Hwnd window) override { return windows_.count(window) > 0; }

  bool EnumWindows(const std::function<bool(Hwnd)>& callback) override {
    std::vector<Hwnd> handles;
    for (const auto& [handle, window] : windows_) handles.push_back(handle);
    for (Hwnd handle : handles) {
      if (windows_.count(handle) && !callback(handle)) break;
    }
    return true;
  }

  bool SendNotify(Hwnd window, MsgId msg, WParam wParam, LParam lParam) override {
    if (msg == kWmCopyData) return false;
    if (window != kHwndBroadcast) {
      if (!windows_.count(window)) return false;
      Deliver(window, msg, wParam, lParam);
      return true;
    }
    std::vector<Hwnd> handles;
    for (const auto& [handle, w] : windows_) handles.push_back(handle);
    for (Hwnd handle : handles) Deliver(handle, msg, wParam, lParam);
    return true;
  }

  LResult Send(Hwnd window, MsgId msg, WParam wParam, LParam lParam) override {
    if (msg == kWmCopyData) {
      const auto* cds = reinterpret_cast<const CopyDataStruct*>(lParam);
      if (cds == nullptr || cds->cbData > kMaxCopyDataBytes ||
          (cds->cbData > 0 && cds->lpData == nullptr)) {
        return 0;
      }
    }
    return Deliver(window, msg, wParam, lParam);
  }

  int EventHandle() const override { return -1; }
  void ProcessPending() override {}
  bool WaitAndProcess(int) override { return false; }

 private:
  struct Window {
    std::string title;
    // Shared so that a procedure that destroys its own window keeps running safely.
    std::shared_ptr<WindowProc> proc;
  };

  LResult Deliver(Hwnd window, MsgId msg, WParam wParam, LParam lParam) {
    auto it = windows_.find(window);
    if (it == windows_.end()) return 0;
    std::shared_ptr<WindowProc> proc = it->second.proc;
    return detail::CallWindowProcSafely(*proc, window, msg, wParam, lParam);
  }

  bool failRegistration_;
  std::map<std::string, MsgId> messages_;
  std::map<Hwnd, Window> windows_;
  Hwnd nextHandle_ = 0x10000;
};

}  // namespace

std::unique_ptr<Desktop> MakeInProcessDesktop(bool failRegistration) {
  return std::make_unique<InProcessDesktop>(failRegistration);
}

}  // namespace platform
