#include <windows.h>

#include <string>

#include "platform/codepage.h"
#include "platform/location.h"

namespace platform {

std::string ProgramDirectory() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return {};
  std::string directory(path, length);
  const std::size_t slash = directory.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : directory.substr(0, slash);
}

void EnsureStartupTempDirectory() {
  // "C:\TEMP", each missing level made from the drive root down; every failure is ignored.
  char expanded[MAX_PATH];
  const DWORD length = ExpandEnvironmentStringsA("C:\\TEMP", expanded, MAX_PATH);
  if (length == 0 || length > MAX_PATH) return;
  const std::string path = expanded;
  for (std::size_t at = path.find('\\', 3);; at = path.find('\\', at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    if (at == std::string::npos) break;
  }
}

bool SessionBusKnown() {
  return false;  // no D-Bus on Windows: its desktop services are reached otherwise
}

std::string UserLanguage() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) == 0) return {};
  std::string tag;
  for (const wchar_t* c = name; *c != L'\0' && *c != L'-'; ++c) {
    tag += static_cast<char>(*c >= L'A' && *c <= L'Z' ? *c - L'A' + L'a' : *c);
  }
  return tag;
}

std::string RuntimeDirectory() {
  wchar_t path[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, path);
  if (length == 0 || length > MAX_PATH) return {};
  std::wstring wide(path, length);
  while (!wide.empty() && (wide.back() == L'\\' || wide.back() == L'/')) wide.pop_back();
  return Utf8Encode(std::u16string(wide.begin(), wide.end()));
}

int CurrentProcessId() { return static_cast<int>(GetCurrentProcessId()); }

}  // namespace platform
