#pragma once

// TLS on a connection that is already open: the handshake, the server's certificate checked
// against the trusted roots and the name that was asked for, then the same SendAll and Receive
// carrying the plain bytes. OpenSSL on Linux, Schannel on Windows; the bytes go through the
// TcpConnection below, so its deadline bounds the handshake as well.

#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/tcp.h"

namespace platform {

// Why a server's certificate was not taken.
enum class CertificateProblem {
  kExpired,        // out of its validity period (also: not valid yet)
  kUnknownIssuer,  // no chain to a trusted root, or a self-signed certificate
  kWrongName,      // for another name than the one asked for
  kOther,          // revoked, wrong usage, malformed...
};

// The certificate was refused; what() says why in words ("it has expired").
class CertificateRefused : public Error {
 public:
  CertificateRefused(CertificateProblem problem, std::string detail)
      : Error(std::move(detail)), problem_(problem) {}
  CertificateProblem Problem() const { return problem_; }

 private:
  CertificateProblem problem_;
};

// The handshake failed for another reason than the certificate (no common protocol, a server
// that speaks no TLS, an alert); what() holds the library's reason.
class TlsFailed : public Error {
 public:
  using Error::Error;
};

struct TlsOptions {
  // A file of PEM certificates to trust instead of the system's roots; empty: the system's.
  std::string caFile;
};

// Wraps `connection` in TLS to `host` (a name or an IP address, checked against the
// certificate). Throws CertificateRefused, TlsFailed, or what the connection throws (NetError,
// NetTimeout). A peer that closes before the handshake ends is a TlsFailed.
std::unique_ptr<TcpConnection> StartTls(std::unique_ptr<TcpConnection> connection,
                                        const std::string& host, const TlsOptions& options);

}  // namespace platform
