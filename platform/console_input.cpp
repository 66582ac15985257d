#include "platform/console_input.h"

namespace platform {

std::vector<std::string> ConsoleInput::WaitAndProcess(Desktop& desktop, int timeoutMs) {
  std::vector<std::string> lines;
  if (!Wait(desktop, timeoutMs)) return lines;
  char buffer[4096];
  const std::size_t n = Read(buffer, sizeof buffer);
  if (n == 0) {
    ended_ = true;
    if (!pending_.empty()) lines.push_back(std::move(pending_));
    pending_.clear();
    return lines;
  }
  pending_.append(buffer, n);
  std::size_t start = 0;
  for (std::size_t newline; (newline = pending_.find('\n', start)) != std::string::npos;
       start = newline + 1) {
    lines.push_back(pending_.substr(start, newline - start));
  }
  pending_.erase(0, start);
  return lines;
}

}  // namespace platform
