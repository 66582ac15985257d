#include <windows.h>

#include <chrono>
#include <utility>

#include "platform/instance_channel.h"
#include "platform/single_instance.h"

namespace platform {
namespace {

// Owns one kernel handle; closes it when destroyed. Move-only.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle)
      : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      if (handle_ != nullptr) CloseHandle(handle_);
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  HANDLE Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HANDLE handle_ = nullptr;
};

std::wstring PipeName(const std::string& path) {
  std::wstring name = L"\\\\.\\pipe\\";
  for (const char c : path) name += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return name;
}

// One overlapped transfer on `pipe`, waited for at most `ms`; the bytes moved, or -1. A transfer
// that does not end in time is cancelled before its buffer goes.
int Transfer(HANDLE pipe, bool write, void* buffer, DWORD size, DWORD ms) {
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done) return -1;
  OVERLAPPED overlapped{};
  overlapped.hEvent = done.Get();
  const BOOL now = write ? WriteFile(pipe, buffer, size, nullptr, &overlapped)
                         : ReadFile(pipe, buffer, size, nullptr, &overlapped);
  if (!now && GetLastError() != ERROR_IO_PENDING) return -1;
  if (WaitForSingleObject(done.Get(), ms) != WAIT_OBJECT_0) {
    CancelIo(pipe);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
    return -1;
  }
  DWORD moved = 0;
  return GetOverlappedResult(pipe, &overlapped, &moved, FALSE) ? static_cast<int>(moved) : -1;
}

}  // namespace

struct InstanceChannel::State {
  UniqueHandle pipe;
  UniqueHandle connected;  // set when a later copy has connected
  OVERLAPPED overlapped{};

  ~State() {
    if (pipe) {
      CancelIo(pipe.Get());
      DWORD ignored = 0;
      GetOverlappedResult(pipe.Get(), &overlapped, &ignored, TRUE);
    }
  }

  // Waits, without blocking, for the next copy to connect.
  bool AwaitNext() {
    ResetEvent(connected.Get());
    overlapped = {};
    overlapped.hEvent = connected.Get();
    if (ConnectNamedPipe(pipe.Get(), &overlapped)) return true;
    switch (GetLastError()) {
      case ERROR_IO_PENDING:
        return true;
      case ERROR_PIPE_CONNECTED:  // it connected between the two calls
        SetEvent(connected.Get());
        return true;
      default:
        return false;
    }
  }
};

InstanceChannel::InstanceChannel() = default;
InstanceChannel::~InstanceChannel() = default;

std::intptr_t InstanceChannel::Handle() const {
  return state_ ? reinterpret_cast<std::intptr_t>(state_->connected.Get()) : -1;
}

bool InstanceChannel::AskToShow(const std::string& path, int timeoutMs) {
  const std::wstring name = PipeName(path);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto left = [&] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
    return static_cast<DWORD>(ms > 0 ? ms : 0);
  };
  UniqueHandle pipe;
  for (;;) {
    pipe = UniqueHandle(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe) break;
    // Busy: the first copy is answering another start. Anything else: no copy listens.
    if (GetLastError() != ERROR_PIPE_BUSY || left() == 0 || !WaitNamedPipeW(name.c_str(), left())) {
      return false;
    }
  }
  char request[] = "show\n";
  if (Transfer(pipe.Get(), true, request, 5, left()) != 5) return false;
  char answer[3];
  return Transfer(pipe.Get(), false, answer, sizeof answer, left()) > 0;
}

bool InstanceChannel::Listen(const std::string& path) {
  auto state = std::make_unique<State>();
  // The first instance of the name only: a copy that is already listening keeps it.
  state->pipe = UniqueHandle(
      CreateNamedPipeW(PipeName(path).c_str(),
                       PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                       1, 64, 64, 0, nullptr));
  state->connected = UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->pipe || !state->connected || !state->AwaitNext()) return false;
  state_ = std::move(state);
  return true;
}

int InstanceChannel::TakeRequests() {
  if (!state_) return 0;
  DWORD ignored = 0;
  if (WaitForSingleObject(state_->connected.Get(), 0) != WAIT_OBJECT_0 ||
      !GetOverlappedResult(state_->pipe.Get(), &state_->overlapped, &ignored, FALSE)) {
    return 0;
  }
  // The asker wrote its line before waiting; a moment is enough for it to arrive.
  int taken = 0;
  char line[16];
  if (Transfer(state_->pipe.Get(), false, line, sizeof line, 500) > 0) {
    char answer[] = "ok\n";
    if (Transfer(state_->pipe.Get(), true, answer, 3, 500) == 3) ++taken;
    // The answer is read before the pipe lets go of the asker (or the asker has gone).
    FlushFileBuffers(state_->pipe.Get());
  }
  DisconnectNamedPipe(state_->pipe.Get());
  if (!state_->AwaitNext()) state_.reset();
  return taken;
}

// The user's and the session's own; one desktop per session here.
std::string InstanceName(const std::string& kind, const std::string&) {
  char user[257] = {};
  DWORD length = sizeof user;
  if (!GetUserNameA(user, &length)) user[0] = '\0';
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return kind + "-" + std::string(user) + "-" + std::to_string(session);
}

}  // namespace platform
