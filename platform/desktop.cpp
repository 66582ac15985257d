#include "platform/desktop.h"

#include <iostream>

#include "platform/desktop_internal.h"

namespace platform {

std::string CopiedLine(const CopyDataStruct* data) {
  if (data == nullptr || data->lpData == nullptr) return {};
  const char* bytes = static_cast<const char*>(data->lpData);
  std::size_t length = 0;
  while (length < data->cbData && bytes[length] != '\0') ++length;
  return std::string(bytes, length);
}

namespace detail {

LResult CallWindowProcSafely(const WindowProc& proc, Hwnd window, MsgId msg, WParam wParam,
                             LParam lParam) {
  try {
    return proc(window, msg, wParam, lParam);
  } catch (const std::exception& e) {
    std::cerr << "window procedure failed: " << e.what() << '\n';
  } catch (...) {
    std::cerr << "window procedure failed\n";
  }
  return 0;
}

}  // namespace detail

}  // namespace platform
