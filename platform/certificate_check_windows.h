#pragma once

// The check of a server's certificate that Schannel leaves to its caller when asked to (manual
// validation): the chain to a trusted root, and the name. One implementation for every TLS client
// on Windows (the translation client; the chat network client's TLS is to use it too).

// Winsock before windows.h, which would otherwise bring the old one (addresses are parsed here).
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "platform/tls.h"

namespace platform {

// Throws CertificateRefused unless `certificate` (with the intermediates in its store) chains to a
// trusted root and is for `host`. The roots are the system's, or with `caFile` (PEM) the
// certificates in that file only. Wine lets a partial chain (issuer not found) pass its policy
// check, so the chain's own status is looked at first.
void CheckServerCertificate(PCCERT_CONTEXT certificate, const std::string& host,
                            const std::string& caFile);

}  // namespace platform
