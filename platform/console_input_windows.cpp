// Standard input on Windows is often a pipe, which no wait function can wait on: a thread reads
// it and signals an event that the wait takes beside the window messages.
#include <windows.h>

#include <mutex>
#include <thread>

#include "platform/console_input.h"

namespace platform {

struct ConsoleInput::Reader {
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::mutex mutex;
  std::string bytes;
  bool ended = false;
};

bool ConsoleInput::Wait(Desktop& desktop, int timeoutMs) {
  if (!reader_) {
    reader_ = std::make_shared<Reader>();
    HANDLE input = handle_ == 0 ? GetStdHandle(STD_INPUT_HANDLE)
                                : reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle_));
    // The thread holds the reader too, and outlives this object if it must: a read cannot be
    // called off, and the process's end takes the thread with it.
    std::thread([reader = reader_, input] {
      char buffer[4096];
      for (;;) {
        DWORD n = 0;
        const bool ok = ReadFile(input, buffer, sizeof buffer, &n, nullptr) != 0;
        std::lock_guard<std::mutex> lock(reader->mutex);
        if (!ok || n == 0) {
          reader->ended = true;
          SetEvent(reader->ready);
          return;
        }
        reader->bytes.append(buffer, n);
        SetEvent(reader->ready);
      }
    }).detach();
  }
  HANDLE handles[1] = {reader_->ready};
  const DWORD woken = MsgWaitForMultipleObjects(
      ended_ ? 0 : 1, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs),
      QS_ALLINPUT);
  desktop.ProcessPending();
  return !ended_ && woken == WAIT_OBJECT_0;
}

std::size_t ConsoleInput::Read(char* buffer, std::size_t size) {
  std::lock_guard<std::mutex> lock(reader_->mutex);
  if (reader_->bytes.empty()) {
    ResetEvent(reader_->ready);
    return 0;  // only when the reader has ended: Wait said there was something
  }
  const std::size_t n = std::min(size, reader_->bytes.size());
  reader_->bytes.copy(buffer, n);
  reader_->bytes.erase(0, n);
  if (reader_->bytes.empty() && !reader_->ended) ResetEvent(reader_->ready);
  return n;
}

}  // namespace platform
