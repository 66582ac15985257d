#pragma once

// A process that holds a password.

namespace platform {

// The process cannot be dumped or traced by others of its user, and writes no core file: a
// password it holds stays in it.
void KeepSecretsOutOfDumps();

}  // namespace platform
