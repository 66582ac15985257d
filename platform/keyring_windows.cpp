// The keyring on Windows: the Credential Manager, one generic credential per account, its target
// "Parlavant:" and the account, kept for the user on this machine.
#include <windows.h>
#include <wincred.h>

#include <string>

#include "platform/codepage.h"
#include "platform/keyring.h"

namespace platform {
namespace {

std::wstring Target(const std::string& account) {
  const std::u16string wide = Utf8Decode("Parlavant:" + account);
  return std::wstring(wide.begin(), wide.end());
}

std::string Reason(DWORD error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
    out.pop_back();
  return "the Credential Manager: " + (out.empty() ? "error " + std::to_string(error) : out);
}

KeyringAnswer Failed(DWORD error) {
  return {true, false, Reason(error)};
}

}  // namespace

std::optional<std::string> KeyringLookup(const std::string& account, KeyringAnswer& answer) {
  PCREDENTIALW credential = nullptr;
  if (!CredReadW(Target(account).c_str(), CRED_TYPE_GENERIC, 0, &credential)) {
    const DWORD error = GetLastError();
    answer = error == ERROR_NOT_FOUND ? KeyringAnswer{true, true, ""} : Failed(error);
    return std::nullopt;
  }
  std::string password(reinterpret_cast<const char*>(credential->CredentialBlob),
                       credential->CredentialBlobSize);
  SecureZeroMemory(credential->CredentialBlob, credential->CredentialBlobSize);
  CredFree(credential);
  answer = {true, true, ""};
  return password;
}

KeyringAnswer KeyringStore(const std::string& account, const std::string& label,
                           const std::string& password) {
  std::wstring target = Target(account);
  const std::u16string comment16 = Utf8Decode(label), user16 = Utf8Decode(account);
  std::wstring comment(comment16.begin(), comment16.end()), user(user16.begin(), user16.end());
  std::string blob = password;
  CREDENTIALW credential{};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = target.data();
  credential.Comment = comment.data();
  credential.UserName = user.data();
  credential.CredentialBlobSize = static_cast<DWORD>(blob.size());
  credential.CredentialBlob = reinterpret_cast<LPBYTE>(blob.data());
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  const bool written = CredWriteW(&credential, 0) != FALSE;
  const DWORD error = written ? 0 : GetLastError();
  SecureZeroMemory(blob.data(), blob.size());
  return written ? KeyringAnswer{true, true, ""} : Failed(error);
}

KeyringAnswer KeyringForget(const std::string& account) {
  if (CredDeleteW(Target(account).c_str(), CRED_TYPE_GENERIC, 0) ||
      GetLastError() == ERROR_NOT_FOUND) {
    return {true, true, ""};
  }
  return Failed(GetLastError());
}

}  // namespace platform
