#pragma once

// The socket desktop: every process of a desktop opens an endpoint (a listening Unix-domain
// socket and a lock file held for its whole life) in the desktop directory and meets the others
// through files there:
//   registry.lock          flock()ed while the two registries below are read or changed
//   messages               registered message names: one "id-hex name-hex" line each
//   next-window            the next window handle, in decimal
//   e<pid>-<n>-<nonce>.sock/.lock  a desktop object's endpoint; the lock is held exclusively
//                          while it lives (made as t<pid>-<n>-<nonce>.lock, locked, then renamed)
//   w<handle-hex>          a window: its endpoint's name, a line feed, then its title bytes
// A window whose endpoint lock is free belongs to a process that is gone; whoever notices
// removes its file. Messages travel as frames (platform/frame.h) over connections that a sender
// opens to the receiving endpoint and keeps.
//
// The desktop is built in three parts: the registry of windows and message names in the
// directory (desktop_registry_posix.cpp), the connections that carry frames between endpoints
// (desktop_transport_posix.cpp), and the loop that delivers messages and waits for answers
// (desktop_loop_posix.cpp).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop.h"
#include "platform/frame.h"
#include "platform/unique_fd.h"

struct sockaddr_un;

namespace platform::socket_desktop {

std::string WindowFileName(Hwnd window);
// False where the path does not fit a socket address.
bool MakeSocketAddress(const std::string& path, sockaddr_un& addr);

class SocketDesktop final : public Desktop {
 public:
  explicit SocketDesktop(std::string dir) : dir_(std::move(dir)) {}
  ~SocketDesktop() override;

  void Open();

  MsgId RegisterMessage(std::string_view name) override;
  Hwnd MakeWindow(std::string_view title, WindowProc proc) override;
  bool DestroyWindow(Hwnd window) override;
  int GetTitle(Hwnd window, char* buffer, int maxCount) override;
  bool IsWindow(Hwnd window) override;
  bool EnumWindows(const std::function<bool(Hwnd)>& callback) override;
  bool SendNotify(Hwnd window, MsgId msg, WParam wParam, LParam lParam) override;
  LResult Send(Hwnd window, MsgId msg, WParam wParam, LParam lParam) override;
  int EventHandle() const override { return epoll_.Get(); }
  void ProcessPending() override;
  bool WaitAndProcess(int timeoutMs) override;

 private:
  struct Conn {
    UniqueFd fd;
    wire::FrameReader reader;
    std::string out;
    std::size_t outOffset = 0;
    bool watchingOutput = false;
    std::string peer;  // the endpoint we connected to; empty for an accepted connection
  };
  struct LocalWindow {
    std::string title;
    std::shared_ptr<WindowProc> proc;
  };
  struct Pending {
    std::uint64_t conn = 0;
    bool done = false;
    LResult result = 0;
  };

  std::string Path(std::string_view name) const { return dir_ + "/" + std::string(name); }
  void MakeEndpoint();
  bool EndpointAlive(const std::string& endpoint) const;
  void SweepDeadEndpoints();
  bool WriteWindowFile(Hwnd window, std::string_view title);
  std::optional<std::string> WindowEndpoint(Hwnd window, std::string* title = nullptr);
  std::vector<Hwnd> LiveWindows(bool& ok);

  std::uint64_t AddConn(UniqueFd fd, std::string peer);
  // `patient`: a full listen backlog is given a short, bounded while to drain.
  std::uint64_t ConnectTo(const std::string& endpoint, bool patient);
  Conn* FindConn(std::uint64_t id);
  void CloseConn(std::uint64_t id);
  void Queue(std::uint64_t id, const wire::Frame& frame);
  void Flush(std::uint64_t id);
  void WatchOutput(std::uint64_t id, bool on);

  // Handles what epoll reports within the timeout; returns how many events it took.
  int RunOnce(int timeoutMs);
  void AcceptAll();
  void HandleReadable(std::uint64_t id);
  void HandleFrame(std::uint64_t id, wire::Frame frame);
  void Reply(std::uint64_t id, std::uint64_t seq, LResult result);
  LResult Deliver(Hwnd window, MsgId msg, WParam wParam, LParam lParam);

  std::string dir_;
  std::string endpoint_;
  UniqueFd lock_;
  UniqueFd listen_;
  UniqueFd epoll_;
  std::map<std::uint64_t, std::unique_ptr<Conn>> conns_;
  std::map<std::string, std::uint64_t> outgoing_;
  std::map<Hwnd, LocalWindow> windows_;
  // Handles are never reused, so a handle's endpoint can be remembered until a send fails.
  std::map<Hwnd, std::string> endpointOf_;
  std::map<std::string, MsgId, std::less<>> messages_;
  std::map<std::uint64_t, Pending> pending_;
  std::vector<char> readBuffer_;
  int depth_ = 0;  // messages from other processes being delivered, one inside the other
  bool reportedDepth_ = false;
  std::uint64_t nextConn_ = 1;  // 0 marks the listening socket in epoll
  std::uint64_t nextSeq_ = 1;
};

}  // namespace platform::socket_desktop
