#include <windows.h>

#include <string>

#include "platform/child_program.h"
#include "platform/codepage.h"
#include "platform/os_error.h"

namespace platform {
namespace {

std::wstring Wide(const std::string& text) {
  const std::u16string wide = Utf8Decode(text);
  return std::wstring(wide.begin(), wide.end());
}

// As the C runtime splits a command line back into its arguments.
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

BOOL CALLBACK CloseWindowOf(HWND window, LPARAM process) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(process)) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

ChildProgram::ChildProgram() = default;

ChildProgram::~ChildProgram() {
  if (process_ != -1) CloseHandle(reinterpret_cast<HANDLE>(process_));
}

bool ChildProgram::Start(const std::string& path, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         std::string& error) {
  if (running_) {
    error = "it is already running";
    return false;
  }
  std::wstring line = Quoted(Wide(path));
  for (const std::string& arg : args) line += L" " + Quoted(Wide(arg));
  // Set here for the child to inherit, and put back after.
  std::vector<std::pair<std::wstring, std::wstring>> before;
  for (const auto& [name, value] : environment) {
    const std::wstring wideName = Wide(name);
    wchar_t old[32768];
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), old, 32768);
    before.emplace_back(wideName, length > 0 && length < 32768 ? std::wstring(old, length)
                                                               : std::wstring(1, L'\0'));
    SetEnvironmentVariableW(wideName.c_str(), Wide(value).c_str());
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &info);
  const DWORD code = GetLastError();
  for (const auto& [name, value] : before) {
    SetEnvironmentVariableW(name.c_str(), value == std::wstring(1, L'\0') ? nullptr : value.c_str());
  }
  if (!started) {
    error = OsErrorText(static_cast<int>(code));
    return false;
  }
  CloseHandle(info.hThread);
  if (process_ != -1) CloseHandle(reinterpret_cast<HANDLE>(process_));
  process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
  handle_ = process_;
  pid_ = info.dwProcessId;
  running_ = true;
  return true;
}

std::intptr_t ChildProgram::Handle() const { return running_ ? handle_ : -1; }

std::optional<bool> ChildProgram::TakeEnd() {
  if (!running_) return std::nullopt;
  const HANDLE process = reinterpret_cast<HANDLE>(process_);
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return std::nullopt;
  running_ = false;
  DWORD status = 1;
  GetExitCodeProcess(process, &status);
  return status != 0;
}

void ChildProgram::End(int graceMs) {
  if (!running_) return;
  const HANDLE process = reinterpret_cast<HANDLE>(process_);
  EnumWindows(CloseWindowOf, static_cast<LPARAM>(pid_));
  if (WaitForSingleObject(process, static_cast<DWORD>(graceMs)) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
  }
  running_ = false;
}

}  // namespace platform
