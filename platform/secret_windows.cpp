// Secrets on Windows: a file whose access list lets nobody but its owner's account (and the
// system and administrators, who can read anything anyway) read it, and the console without
// echo.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/secret.h"

namespace platform {
namespace {

void DropLineEnd(std::string& text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
}

std::string ErrorText(DWORD error) {
  return "error " + std::to_string(error);
}

// Whether an allowing entry of the access list lets a group of other users read the file.
bool OthersMayRead(PACL acl) {
  if (acl == nullptr) return true;  // no list at all: everybody may do anything
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(acl, i, &entry)) continue;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) == 0) continue;
    PSID who = const_cast<DWORD*>(&allowed->SidStart);
    for (WELL_KNOWN_SID_TYPE others :
         {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid, WinAnonymousSid,
          WinBuiltinGuestsSid}) {
      if (IsWellKnownSid(who, others)) return true;
    }
  }
  return false;
}

}  // namespace

std::string ReadPrivateFile(const std::string& path) {
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD got = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, &acl, nullptr, &descriptor);
  if (got != ERROR_SUCCESS) throw Error("Cannot read " + path + ": " + ErrorText(got));
  const bool open = OthersMayRead(acl);
  LocalFree(descriptor);
  if (open) {
    throw Error(path + " may be read by others: make it readable by your own account only");
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) throw Error("Cannot read " + path);
  std::string out = text.str();
  DropLineEnd(out);
  return out;
}

void WritePrivateFile(const std::string& path, std::string_view text) {
  auto fail = [&](DWORD error) { throw Error("Cannot write " + path + ": " + ErrorText(error)); };
  // Only the user's own account, and nothing inherited from the folder.
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) fail(GetLastError());
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::unique_ptr<BYTE[]> user(new BYTE[size]);
  const bool known = GetTokenInformation(token, TokenUser, user.get(), size, &size) != FALSE;
  CloseHandle(token);
  if (!known) fail(GetLastError());
  EXPLICIT_ACCESS_A access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName =
      static_cast<LPSTR>(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid);
  PACL acl = nullptr;
  if (const DWORD rc = SetEntriesInAclA(1, &access, nullptr, &acl); rc != ERROR_SUCCESS) fail(rc);
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
  SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  // Made anew with its list: a list set on a file that exists does not reach Wine's files, whose
  // access follows their Unix mode, fixed at their making.
  DeleteFileA(path.c_str());
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  LocalFree(acl);
  if (file == INVALID_HANDLE_VALUE) fail(error);
  DWORD written = 0;
  const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written,
                            nullptr) &&
                  written == text.size() && FlushFileBuffers(file);
  const DWORD writeError = ok ? 0 : GetLastError();
  CloseHandle(file);
  if (!ok) fail(writeError);
}

std::optional<std::string> AskHidden(std::string_view prompt) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD before = 0;
  if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &before)) return std::nullopt;
  const HANDLE output = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  WriteConsoleA(output, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
  SetConsoleMode(input, (before & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
  std::u16string answer;
  wchar_t c = 0;
  DWORD read = 0;
  while (ReadConsoleW(input, &c, 1, &read, nullptr) && read == 1 && c != L'\n') {
    answer.push_back(static_cast<char16_t>(c));
  }
  SetConsoleMode(input, before);
  WriteConsoleA(output, "\r\n", 2, &written, nullptr);
  std::string text = Utf8Encode(answer);
  DropLineEnd(text);
  return text;
}

}  // namespace platform
