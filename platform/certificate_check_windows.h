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

// The same check for the chat client's libstrophe, whose Schannel backend the project patches to
// call it (scripts/windows-patches/): NULL when the certificate holds, else why not, in the
// words OpenSSL gives on Linux ("unable to get local issuer certificate", "hostname mismatch",
// "certificate has expired"), so that the chat client tells it alike on both. The text lasts
// until the thread's next call.
extern "C" const char* parlavant_check_server_certificate(const void* certificate,
                                                          const char* host, const char* caFile);
