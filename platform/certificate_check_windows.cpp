#include "platform/certificate_check_windows.h"

#include <ws2tcpip.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

// The SSL policy's flag for "the root is not trusted: check the rest", which wininet.h defines.
#ifndef SECURITY_FLAG_IGNORE_UNKNOWN_CA
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#endif

namespace platform {
namespace {

struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

// The certificates of a PEM file, in a store of their own; nothing when it cannot be read.
Store ReadCaFile(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    error = "cannot read the trusted certificates in " + path;
    return nullptr;
  }
  Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
  const std::string pem = text.str();
  const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
  int count = 0;
  for (std::size_t at = pem.find(begin); at != std::string::npos; at = pem.find(begin, at + 1)) {
    const std::size_t stop = pem.find(end, at);
    if (stop == std::string::npos) break;
    const std::string block = pem.substr(at, stop + end.size() - at);
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                             CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                         CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++count;
    }
  }
  if (count == 0) {
    error = "no certificate in " + path;
    return nullptr;
  }
  return store;
}

bool InStore(HCERTSTORE store, PCCERT_CONTEXT certificate) {
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    if (c->cbCertEncoded == certificate->cbCertEncoded &&
        std::equal(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded,
                   certificate->pbCertEncoded)) {
      CertFreeCertificateContext(c);
      return true;
    }
  }
  return false;
}

// The address's bytes when `host` is an IPv4 or IPv6 literal; empty for a name.
std::vector<BYTE> AddressBytes(const std::string& host) {
  IN6_ADDR six{};
  IN_ADDR four{};
  if (InetPtonA(AF_INET, host.c_str(), &four) == 1) {
    const auto* b = reinterpret_cast<const BYTE*>(&four);
    return {b, b + sizeof four};
  }
  if (InetPtonA(AF_INET6, host.c_str(), &six) == 1) {
    const auto* b = reinterpret_cast<const BYTE*>(&six);
    return {b, b + sizeof six};
  }
  return {};
}

// Whether the certificate's subject alternative names hold this address. The SSL policy checks
// names only (Wine's refuses every address).
bool HoldsAddress(PCCERT_CONTEXT certificate, const std::vector<BYTE>& address) {
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                        certificate->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            entry.IPAddress.cbData == address.size() &&
            std::equal(address.begin(), address.end(), entry.IPAddress.pbData);
  }
  LocalFree(names);
  return found;
}

std::wstring Wide(const std::string& text) {
  std::wstring out;
  for (char c : text) out += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return out;
}

}  // namespace

void CheckServerCertificate(PCCERT_CONTEXT certificate, const std::string& host,
                            const std::string& caFile) {
  std::string error;
  Store roots;
  if (!caFile.empty()) {
    roots = ReadCaFile(caFile, error);
    if (!roots) throw TlsFailed(error);
  }
  // What the server sent, and the given roots, for the chain to be built from.
  Store candidates(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  CertAddStoreToCollection(candidates.get(), certificate->hCertStore, 0, 0);
  if (roots) CertAddStoreToCollection(candidates.get(), roots.get(), 0, 0);

  LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, candidates.get(), &para, 0, nullptr,
                               &chain)) {
    throw CertificateRefused(CertificateProblem::kOther, "its chain cannot be built");
  }
  const std::unique_ptr<const CERT_CHAIN_CONTEXT, decltype(&CertFreeCertificateChain)> held(
      chain, CertFreeCertificateChain);
  DWORD status = chain->TrustStatus.dwErrorStatus;
  // Revocation is not asked about; what it may say of itself is no verdict.
  status &= ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                CERT_TRUST_IS_OFFLINE_REVOCATION);
  if (roots) {
    // Trusted exactly when the chain ends in one of the file's certificates; the system does not
    // know that root, and says so.
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
    if (InStore(roots.get(), top)) status &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
  }
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
    throw CertificateRefused(CertificateProblem::kExpired, "it has expired");
  }
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
    throw CertificateRefused(CertificateProblem::kUnknownIssuer, "its issuer is not trusted");
  }
  if (status != CERT_TRUST_NO_ERROR) {
    throw CertificateRefused(CertificateProblem::kOther,
                             "its chain does not hold (status " + std::to_string(status) + ")");
  }
  // An address is looked for among the certificate's addresses; a name by the system's SSL
  // policy. The trust was settled above.
  const std::vector<BYTE> address = AddressBytes(host);
  if (!address.empty() && !HoldsAddress(certificate, address)) {
    throw CertificateRefused(CertificateProblem::kWrongName, "it is for another name");
  }
  std::wstring name = Wide(host);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra{};
  extra.cbSize = sizeof extra;
  extra.dwAuthType = AUTHTYPE_SERVER;
  extra.fdwChecks = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  extra.pwszServerName = address.empty() ? name.data() : nullptr;
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &extra;
  CERT_CHAIN_POLICY_STATUS verdict{};
  verdict.cbSize = sizeof verdict;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)) {
    throw CertificateRefused(CertificateProblem::kOther, "the system could not check it");
  }
  switch (verdict.dwError) {
    case 0:
      return;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      throw CertificateRefused(CertificateProblem::kWrongName, "it is for another name");
    case static_cast<DWORD>(CERT_E_EXPIRED):
      throw CertificateRefused(CertificateProblem::kExpired, "it has expired");
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
      throw CertificateRefused(CertificateProblem::kUnknownIssuer, "its issuer is not trusted");
    default:
      throw CertificateRefused(CertificateProblem::kOther,
                               "the system refused it (" + std::to_string(verdict.dwError) + ")");
  }
}

}  // namespace platform

extern "C" const char* parlavant_check_server_certificate(const void* certificate,
                                                          const char* host, const char* caFile) {
  thread_local std::string why;
  try {
    platform::CheckServerCertificate(static_cast<PCCERT_CONTEXT>(certificate),
                                     host != nullptr ? host : "",
                                     caFile != nullptr ? caFile : "");
    return nullptr;
  } catch (const platform::CertificateRefused& e) {
    switch (e.Problem()) {
      case platform::CertificateProblem::kExpired:
        why = "certificate has expired";
        break;
      case platform::CertificateProblem::kUnknownIssuer:
        why = "unable to get local issuer certificate";
        break;
      case platform::CertificateProblem::kWrongName:
        why = "hostname mismatch";
        break;
      case platform::CertificateProblem::kOther:
        why = e.what();
        break;
    }
  } catch (const std::exception& e) {
    why = e.what();
  }
  return why.c_str();
}
