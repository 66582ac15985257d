// Profile files through Windows' own functions, which this layer's portable reader and writer
// imitate elsewhere.
#include <shlobj.h>
#include <windows.h>

#include <string>

#include "platform/os_error.h"
#include "platform/profile.h"

namespace platform {

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view fallback) const {
  std::string value(kMaxProfileValue + 1, '\0');
  const DWORD length = GetPrivateProfileStringA(
      std::string(section).c_str(), std::string(key).c_str(), std::string(fallback).c_str(),
      value.data(), static_cast<DWORD>(value.size()), path_.c_str());
  value.resize(length);
  return value;
}

bool ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  lastError_.clear();
  // The profile functions make no folders.
  const std::size_t slash = path_.find_last_of("\\/");
  if (slash != std::string::npos) {
    SHCreateDirectoryExA(nullptr, path_.substr(0, slash).c_str(), nullptr);
  }
  if (WritePrivateProfileStringA(std::string(section).c_str(), std::string(key).c_str(),
                                 std::string(value).c_str(), path_.c_str())) {
    return true;
  }
  lastError_ = OsErrorText(static_cast<int>(GetLastError()));
  return false;
}

std::string ProfilePath(std::string_view bareName) {
  // The Windows directory that the bare name means cannot be written by users on current
  // Windows: the per-user application data folder instead.
  char folder[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) {
    return std::string(bareName);
  }
  return std::string(folder) + "\\Parlavant\\" + std::string(bareName);
}

std::string StatePath(std::string_view bareName) {
  return ProfilePath(bareName);
}

std::string Utf8Path(const std::string& path) {
  const int wide = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), text.data(), wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

std::string DataPath(std::string_view bareName) {
  return ProfilePath(bareName);
}

bool MakePrivateFile(const std::string& path, std::string& error) {
  // The per-user application data folder is the user's alone by its default rights.
  const std::size_t slash = path.find_last_of("\\/");
  if (slash != std::string::npos) SHCreateDirectoryExA(nullptr, path.substr(0, slash).c_str(), nullptr);
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                  FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = OsErrorText(static_cast<int>(GetLastError()));
    return false;
  }
  CloseHandle(file);
  return true;
}

}  // namespace platform
