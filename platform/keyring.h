#pragma once

// The desktop's keyring, where a password is kept for the user instead of in a file: the Secret
// Service on a Linux desktop, the Credential Manager on Windows.

#include <optional>
#include <string>

namespace platform {

// What the keyring answered. `available` false: there is no keyring service to ask (no session
// bus, or nobody on it offers one); `error` then says why, for the user.
struct KeyringAnswer {
  bool available = true;
  bool ok = false;
  std::string error;
};

// The password kept for `account`; nothing when none is kept, or when the keyring cannot be
// asked (`answer` tells which).
std::optional<std::string> KeyringLookup(const std::string& account, KeyringAnswer& answer);
// Keeps `password` for `account`, replacing what was kept; `label` is what the keyring's own
// tools show for it.
KeyringAnswer KeyringStore(const std::string& account, const std::string& label,
                           const std::string& password);
KeyringAnswer KeyringForget(const std::string& account);

}  // namespace platform
