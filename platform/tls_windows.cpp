// TLS on Schannel. The certificate is validated here (manual validation), by the check every TLS
// client of the program shares; Schannel's own would take neither a CA file nor be trusted under
// Wine.
#define SECURITY_WIN32
#include "platform/certificate_check_windows.h"  // Winsock's headers before windows.h
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/tls.h"

namespace platform {
namespace {

std::string StatusText(SECURITY_STATUS status) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
    out.pop_back();
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
  return out.empty() ? std::string("Schannel status ") + hex : out + " (" + hex + ")";
}

class SchannelConnection final : public TcpConnection {
 public:
  SchannelConnection(std::unique_ptr<TcpConnection> tcp, const std::string& host,
                     const TlsOptions& options)
      : tcp_(std::move(tcp)) {
    SCHANNEL_CRED credentials{};
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    // TLS 1.2: what Schannel speaks on every Windows this runs on, and under Wine.
    credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    const SECURITY_STATUS acquired = AcquireCredentialsHandleA(
        nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &credentials,
        nullptr, nullptr, &handles_.credentials, nullptr);
    if (acquired != SEC_E_OK) throw TlsFailed(StatusText(acquired));
    handles_.haveCredentials = true;
    Handshake(host);
    PCCERT_CONTEXT certificate = nullptr;
    const SECURITY_STATUS got =
        QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (got != SEC_E_OK || certificate == nullptr) {
      throw TlsFailed("the service showed no certificate");
    }
    const std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> held(
        certificate, CertFreeCertificateContext);
    CheckServerCertificate(certificate, host, options.caFile);
    const SECURITY_STATUS sized = QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (sized != SEC_E_OK) throw TlsFailed(StatusText(sized));
  }

  void SendAll(std::string_view bytes) override {
    std::vector<char> record(sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer);
    while (!bytes.empty()) {
      const auto size = static_cast<unsigned long>(
          std::min<std::size_t>(bytes.size(), sizes_.cbMaximumMessage));
      std::memcpy(record.data() + sizes_.cbHeader, bytes.data(), size);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {size, SECBUFFER_DATA, record.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + size},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = EncryptMessage(&context_, 0, &description, 0);
      if (status != SEC_E_OK) throw TlsFailed(StatusText(status));
      // The lengths Schannel wrote, not the ones reserved: its trailer may be shorter.
      tcp_->SendAll(std::string_view(record.data(), buffers[0].cbBuffer));
      tcp_->SendAll(std::string_view(static_cast<char*>(buffers[1].pvBuffer), buffers[1].cbBuffer));
      tcp_->SendAll(std::string_view(static_cast<char*>(buffers[2].pvBuffer), buffers[2].cbBuffer));
      bytes.remove_prefix(size);
    }
  }

  std::size_t Receive(char* buffer, std::size_t capacity) override {
    for (;;) {
      if (!plain_.empty()) {
        const std::size_t n = std::min(capacity, plain_.size());
        std::memcpy(buffer, plain_.data(), n);
        plain_.erase(0, n);
        return n;
      }
      if (closed_) return 0;
      if (!incoming_.empty()) {
        SecBuffer buffers[4] = {
            {static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = DecryptMessage(&context_, &description, 0, nullptr);
        if (status == SEC_E_OK) {
          std::string extra;
          for (const SecBuffer& b : buffers) {
            if (b.BufferType == SECBUFFER_DATA) plain_.append(static_cast<char*>(b.pvBuffer), b.cbBuffer);
            if (b.BufferType == SECBUFFER_EXTRA) {
              extra.assign(incoming_.data() + incoming_.size() - b.cbBuffer, b.cbBuffer);
            }
          }
          incoming_ = std::move(extra);
          continue;
        }
        if (status == SEC_I_CONTEXT_EXPIRED) {  // the peer's close_notify
          closed_ = true;
          continue;
        }
        if (status != SEC_E_INCOMPLETE_MESSAGE) throw TlsFailed(StatusText(status));
      }
      if (!Fill()) {
        // Closed without close_notify: ended, as far as the caller can tell.
        closed_ = true;
      }
    }
  }

 private:
  void Handshake(const std::string& host) {
    const unsigned long wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                 ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                 ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
    unsigned long got = 0;
    std::string name = host;
    bool first = true;
    for (;;) {
      SecBuffer in[2] = {{static_cast<unsigned long>(incoming_.size()), SECBUFFER_TOKEN,
                          incoming_.data()},
                         {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc outDescription{SECBUFFER_VERSION, 1, out};
      const SECURITY_STATUS status = InitializeSecurityContextA(
          &handles_.credentials, first ? nullptr : &context_, name.data(), wanted, 0, 0,
          first ? nullptr : &inDescription, 0, &context_, &outDescription, &got, nullptr);
      if (first) handles_.haveContext = status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK;
      first = false;
      if (out[0].cbBuffer > 0 && out[0].pvBuffer != nullptr) {
        const std::string token(static_cast<char*>(out[0].pvBuffer), out[0].cbBuffer);
        FreeContextBuffer(out[0].pvBuffer);
        tcp_->SendAll(token);  // also an alert, on a failure
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        if (!Fill()) throw TlsFailed("the service closed the connection during the TLS handshake");
        continue;
      }
      // What the server sent beyond this step waits for the next.
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
        incoming_ = incoming_.substr(incoming_.size() - in[1].cbBuffer);
      } else if (status != SEC_E_INCOMPLETE_MESSAGE) {
        incoming_.clear();
      }
      if (status == SEC_E_OK) return;
      if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
        throw TlsFailed("the service asks for a client certificate");
      }
      if (status != SEC_I_CONTINUE_NEEDED) throw TlsFailed(StatusText(status));
      if (incoming_.empty() && !Fill()) {
        throw TlsFailed("the service closed the connection during the TLS handshake");
      }
    }
  }

  // Appends what the network has brought; false once the peer has closed.
  bool Fill() {
    char chunk[16384];
    const std::size_t n = tcp_->Receive(chunk, sizeof chunk);
    if (n == 0) return false;
    incoming_.append(chunk, n);
    return true;
  }

  // Freed also when the constructor gives up half-way.
  struct Handles {
    CredHandle credentials{};
    CtxtHandle context{};
    bool haveCredentials = false, haveContext = false;
    ~Handles() {
      if (haveContext) DeleteSecurityContext(&context);
      if (haveCredentials) FreeCredentialsHandle(&credentials);
    }
  };

  std::unique_ptr<TcpConnection> tcp_;
  Handles handles_;
  CtxtHandle& context_ = handles_.context;
  SecPkgContext_StreamSizes sizes_{};
  std::string incoming_;  // received, not yet taken by Schannel
  std::string plain_;     // decrypted, not yet given to the caller
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<TcpConnection> StartTls(std::unique_ptr<TcpConnection> connection,
                                        const std::string& host, const TlsOptions& options) {
  return std::make_unique<SchannelConnection>(std::move(connection), host, options);
}

}  // namespace platform
