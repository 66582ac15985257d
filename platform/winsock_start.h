#pragma once

// Winsock wants starting once per process before any socket; it stays until the process ends.
// For the Windows implementations in platform/.

namespace platform {

void StartWinsock();

}  // namespace platform
