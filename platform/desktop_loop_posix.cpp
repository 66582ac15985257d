// The socket desktop's loop: messages delivered to the windows here, and sends that wait for
// their answers.
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop_internal.h"
#include "platform/desktop_posix.h"
#include "platform/frame.h"

namespace platform::socket_desktop {
namespace {

wire::Frame MessageFrame(wire::FrameType type, Hwnd window, MsgId msg, WParam wParam,
                         LParam lParam) {
  wire::Frame frame;
  frame.type = type;
  frame.window = window;
  frame.msg = msg;
  frame.wParam = wParam;
  frame.lParam = lParam;
  return frame;
}

constexpr int kEventsPerRound = 32;

}  // namespace

LResult SocketDesktop::Deliver(Hwnd window, MsgId msg, WParam wParam, LParam lParam) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return 0;
  std::shared_ptr<WindowProc> proc = it->second.proc;
  return detail::CallWindowProcSafely(*proc, window, msg, wParam, lParam);
}

void SocketDesktop::HandleFrame(std::uint64_t id, wire::Frame frame) {
  if (frame.type == wire::FrameType::kReply) {
    auto it = pending_.find(frame.seq);
    if (it != pending_.end() && it->second.conn == id && !it->second.done) {
      it->second.done = true;
      it->second.result = static_cast<LResult>(frame.result);
    }
    return;
  }
  if (depth_ >= kMaxNestedDeliveries) {
    if (!reportedDepth_) {
      reportedDepth_ = true;
      std::cerr << "desktop: messages nested more than " << kMaxNestedDeliveries
                << " deep are answered 0\n";
    }
    if (frame.type == wire::FrameType::kSend) Reply(id, frame.seq, 0);
    return;
  }
  // A request for a window of another process of the desktop was misrouted: nobody answers.
  const Hwnd window = static_cast<Hwnd>(frame.window);
  CopyDataStruct cds;
  LParam lParam = static_cast<LParam>(frame.lParam);
  if (frame.hasCopyData) {
    cds.dwData = static_cast<std::uintptr_t>(frame.dwData);
    cds.cbData = static_cast<std::uint32_t>(frame.data.size());
    cds.lpData = frame.data.data();
    lParam = reinterpret_cast<LParam>(&cds);
  }
  ++depth_;
  const LResult result = Deliver(window, frame.msg, static_cast<WParam>(frame.wParam), lParam);
  --depth_;
  if (frame.type == wire::FrameType::kSend) Reply(id, frame.seq, result);
}

void SocketDesktop::Reply(std::uint64_t id, std::uint64_t seq, LResult result) {
  wire::Frame reply;
  reply.type = wire::FrameType::kReply;
  reply.seq = seq;
  reply.result = static_cast<std::int64_t>(result);
  Queue(id, reply);
}

int SocketDesktop::RunOnce(int timeoutMs) {
  epoll_event events[kEventsPerRound];
  int n;
  do {
    n = ::epoll_wait(epoll_.Get(), events, kEventsPerRound, timeoutMs);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < n; ++i) {
    const std::uint64_t id = events[i].data.u64;
    if (id == 0) {
      AcceptAll();
      continue;
    }
    if (events[i].events & EPOLLOUT) Flush(id);
    if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) HandleReadable(id);
  }
  return n;
}

void SocketDesktop::ProcessPending() {
  // Level-triggered: what is left after these rounds keeps the event handle readable. A round
  // that took fewer events than it could took all that were ready; what came since is the next
  // call's, so no round is spent on being told there is nothing.
  for (int round = 0; round < 16; ++round) {
    if (RunOnce(0) < kEventsPerRound) return;
  }
}

bool SocketDesktop::WaitAndProcess(int timeoutMs) {
  pollfd p{epoll_.Get(), POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n > 0) ProcessPending();
  return true;
}

bool SocketDesktop::SendNotify(Hwnd window, MsgId msg, WParam wParam, LParam lParam) {
  if (msg == kWmCopyData) return false;
  std::vector<Hwnd> targets;
  if (window == kHwndBroadcast) {
    bool ok = false;
    targets = LiveWindows(ok);
    if (!ok) return false;
  } else {
    targets.push_back(window);
  }
  bool delivered = window == kHwndBroadcast;
  for (Hwnd target : targets) {
    if (windows_.count(target)) {
      Deliver(target, msg, wParam, lParam);
      delivered = true;
      continue;
    }
    auto endpoint = WindowEndpoint(target);
    if (!endpoint) continue;
    const std::uint64_t conn = ConnectTo(*endpoint, false);
    if (conn == 0) continue;
    Queue(conn, MessageFrame(wire::FrameType::kNotify, target, msg, wParam, lParam));
    delivered = true;
  }
  return delivered;
}

LResult SocketDesktop::Send(Hwnd window, MsgId msg, WParam wParam, LParam lParam) {
  const auto* cds = reinterpret_cast<const CopyDataStruct*>(lParam);
  if (msg == kWmCopyData && (cds == nullptr || cds->cbData > kMaxCopyDataBytes ||
                             (cds->cbData > 0 && cds->lpData == nullptr))) {
    return 0;
  }
  if (windows_.count(window)) return Deliver(window, msg, wParam, lParam);
  wire::Frame frame = MessageFrame(wire::FrameType::kSend, window, msg, wParam, lParam);
  if (msg == kWmCopyData) {
    frame.hasCopyData = true;
    frame.dwData = cds->dwData;
    frame.lParam = 0;
    frame.data.assign(static_cast<const char*>(cds->lpData), cds->cbData);
  }
  std::string endpoint;
  if (auto it = endpointOf_.find(window); it != endpointOf_.end()) {
    // A window destroyed by its process takes its file along while the endpoint's stays: no
    // need to ask a process that may be busy. When both are gone (the directory was removed
    // under a running desktop), the open connection still serves.
    if (::access(Path(WindowFileName(window)).c_str(), F_OK) < 0 &&
        ::access(Path(it->second + ".lock").c_str(), F_OK) == 0) {
      endpointOf_.erase(it);
      return 0;
    }
    endpoint = it->second;
  } else {
    auto found = WindowEndpoint(window);
    if (!found) return 0;
    endpoint = *found;
  }
  const std::uint64_t conn = ConnectTo(endpoint, true);
  if (conn == 0) {
    endpointOf_.erase(window);
    if (!EndpointAlive(endpoint)) ::unlink(Path(WindowFileName(window)).c_str());
    return 0;
  }
  endpointOf_[window] = endpoint;
  const std::uint64_t seq = nextSeq_++;
  frame.seq = seq;
  pending_[seq] = Pending{conn};
  Queue(conn, frame);
  // Wait for our answer, handling everything that comes in meanwhile: sent messages to our own
  // windows run here, nested, and may send in turn.
  while (!pending_[seq].done) RunOnce(-1);
  const LResult result = pending_[seq].result;
  pending_.erase(seq);
  return result;
}

}  // namespace platform::socket_desktop

namespace platform {

std::string DefaultDesktopLocation() {
  if (const char* chosen = std::getenv("PARLAVANT_DESKTOP"); chosen && *chosen) return chosen;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return std::string(runtime) + "/parlavant-desktop";
  }
  return "/tmp/parlavant-desktop-" + std::to_string(::geteuid());
}

std::unique_ptr<Desktop> OpenDesktop(const std::string& where) {
  auto desktop = std::make_unique<socket_desktop::SocketDesktop>(
      where.empty() ? DefaultDesktopLocation() : where);
  desktop->Open();
  return desktop;
}

}  // namespace platform
