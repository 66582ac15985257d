#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/tls.h"

namespace platform {
namespace {

// The reason OpenSSL queued last, and the queue emptied (it is per thread and would otherwise
// speak for the next connection).
std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "the TLS handshake failed";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : text;
}

CertificateRefused Refusal(long code) {
  switch (code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return {CertificateProblem::kExpired, "it has expired"};
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return {CertificateProblem::kExpired, "it is not valid yet"};
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return {CertificateProblem::kUnknownIssuer, "its issuer is not trusted"};
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return {CertificateProblem::kWrongName, "it is for another name"};
    default:
      return {CertificateProblem::kOther, X509_verify_cert_error_string(code)};
  }
}

using Context = std::shared_ptr<SSL_CTX>;

// A context with the trusted roots loaded, kept for the next connection with the same ones:
// reading the roots took a fifth of a connection's time. A CA file that changed on disk (a new
// authority's certificate) is read again.
Context ContextFor(const std::string& caFile) {
  struct Kept {
    std::string caFile;
    struct stat file {};
    Context context;
  };
  static std::mutex mutex;
  static Kept kept;
  struct stat now {};
  if (!caFile.empty() && ::stat(caFile.c_str(), &now) != 0) {
    throw TlsFailed("cannot read the trusted certificates in " + caFile + ": " +
                    std::strerror(errno));
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (kept.context && kept.caFile == caFile && kept.file.st_mtim.tv_sec == now.st_mtim.tv_sec &&
      kept.file.st_mtim.tv_nsec == now.st_mtim.tv_nsec && kept.file.st_size == now.st_size &&
      kept.file.st_ino == now.st_ino) {
    return kept.context;
  }
  Context context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  if (context == nullptr) throw TlsFailed(OpenSslReason());
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  const bool trusted =
      caFile.empty()
          ? SSL_CTX_set_default_verify_paths(context.get()) == 1
          : SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr) == 1;
  if (!trusted) {
    throw TlsFailed("cannot read the trusted certificates" +
                    (caFile.empty() ? std::string() : " in " + caFile) + ": " + OpenSslReason());
  }
  kept = {caFile, now, context};
  return context;
}

class OpenSslConnection final : public TcpConnection {
 public:
  OpenSslConnection(std::unique_ptr<TcpConnection> tcp, const std::string& host,
                    const TlsOptions& options)
      : tcp_(std::move(tcp)), context_(ContextFor(options.caFile)) {
    BIO* inside = nullptr;
    BIO* network = nullptr;
    if (BIO_new_bio_pair(&inside, 0, &network, 0) != 1) throw TlsFailed(OpenSslReason());
    network_.reset(network);
    ssl_.reset(SSL_new(context_.get()));
    if (ssl_ == nullptr) {
      BIO_free(inside);
      throw TlsFailed(OpenSslReason());
    }
    SSL_set_bio(ssl_.get(), inside, inside);
    SSL_set_verify(ssl_.get(), SSL_VERIFY_PEER, nullptr);
    // The name the user gave is what the certificate must be for: an address as an address.
    in6_addr address{};
    const bool literal = ::inet_pton(AF_INET, host.c_str(), &address) == 1 ||
                         ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
    if (literal) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), host.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl_.get(), host.c_str());
      SSL_set1_host(ssl_.get(), host.c_str());
    }
    Handshake();
  }

  void SendAll(std::string_view bytes) override {
    while (!bytes.empty()) {
      const int n = SSL_write(ssl_.get(), bytes.data(), static_cast<int>(std::min<std::size_t>(
                                                      bytes.size(), 1 << 20)));
      Flush();
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      const int error = SSL_get_error(ssl_.get(), n);
      if (error == SSL_ERROR_WANT_WRITE) continue;  // flushed above
      if (error == SSL_ERROR_WANT_READ) {
        if (!Fill()) throw TlsFailed("the connection closed while sending");
        continue;
      }
      throw TlsFailed(OpenSslReason());
    }
  }

  std::size_t Receive(char* buffer, std::size_t capacity) override {
    for (;;) {
      const int n = SSL_read(ssl_.get(), buffer, static_cast<int>(std::min<std::size_t>(capacity, 1 << 20)));
      if (n > 0) return static_cast<std::size_t>(n);
      const int error = SSL_get_error(ssl_.get(), n);
      if (error == SSL_ERROR_ZERO_RETURN) return 0;  // the peer's close_notify
      Flush();  // a key update or an alert may want out
      if (error == SSL_ERROR_WANT_READ) {
        // A peer that closes without close_notify has ended as far as the caller can tell; a
        // reply cut short is the reply reader's to find.
        if (!Fill()) return 0;
        continue;
      }
      if (error == SSL_ERROR_WANT_WRITE) continue;
      throw TlsFailed(OpenSslReason());
    }
  }

 private:
  void Handshake() {
    for (;;) {
      const int result = SSL_connect(ssl_.get());
      Flush();  // also the alert that tells the server why, on a failure
      if (result == 1) return;
      const int error = SSL_get_error(ssl_.get(), result);
      if (error == SSL_ERROR_WANT_READ) {
        if (!Fill()) throw TlsFailed("the service closed the connection during the TLS handshake");
        continue;
      }
      if (error == SSL_ERROR_WANT_WRITE) continue;
      if (const long verdict = SSL_get_verify_result(ssl_.get()); verdict != X509_V_OK) {
        ERR_clear_error();
        throw Refusal(verdict);
      }
      throw TlsFailed(OpenSslReason());
    }
  }

  // Sends what TLS has written for the network.
  void Flush() {
    char chunk[16384];
    while (BIO_ctrl_pending(network_.get()) > 0) {
      const int n = BIO_read(network_.get(), chunk, sizeof chunk);
      if (n <= 0) break;
      tcp_->SendAll(std::string_view(chunk, static_cast<std::size_t>(n)));
    }
  }

  // Gives TLS what the network has brought; false once the peer has closed.
  bool Fill() {
    char chunk[16384];
    const std::size_t room = std::min(sizeof chunk, BIO_ctrl_get_write_guarantee(network_.get()));
    const std::size_t n = tcp_->Receive(chunk, room > 0 ? room : 1);
    if (n == 0) return false;
    BIO_write(network_.get(), chunk, static_cast<int>(n));
    return true;
  }

  // Ended in the reverse order: the session (with the pair's inside half), the pair's network
  // half, the context, the connection.
  std::unique_ptr<TcpConnection> tcp_;
  Context context_;
  std::unique_ptr<BIO, decltype(&BIO_free)> network_{nullptr, BIO_free};
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{nullptr, SSL_free};
};

}  // namespace

std::unique_ptr<TcpConnection> StartTls(std::unique_ptr<TcpConnection> connection,
                                        const std::string& host, const TlsOptions& options) {
  return std::make_unique<OpenSslConnection>(std::move(connection), host, options);
}

}  // namespace platform
