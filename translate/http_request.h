#pragma once

// The bytes of the translation form's request, and where it goes: no I/O, no Qt, so the same
// code builds the request wherever the library is built.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace translate {

struct Endpoint {
  std::string host;
  std::uint16_t port = 80;
  std::string document = "/";
  // Over TLS, the certificate checked against `host`.
  bool tls = false;
  // Sent as X-Api-Key when not empty: a shared service's limits are counted by it.
  std::string apiKey;
};

// "host" or "host:port" (port 80 when absent); an IPv6 address in brackets, "[::1]:4358". With
// "https://" before it (any case), over TLS, port 443 when absent; a single "/" may end it.
// Throws platform::Error naming what is wrong for a malformed setting.
Endpoint ParseHostSetting(std::string_view setting, std::string document);

using Form = std::vector<std::pair<std::string, std::string>>;

// name=value lines joined by "&", with one more "&" after the last; values form-encoded: a blank
// becomes "+", ASCII letters and digits stay, every other byte is "%" and two upper-case hex
// digits.
std::string EncodeForm(const Form& form);

// The whole request: request line, the seven header lines in their order, an empty line, the
// body. The Cookie line is written only when `cookies` is not empty, and X-Api-Key after it only
// when the endpoint has a key. Host names the port only when it is not the scheme's own.
std::string BuildPostRequest(const Endpoint& endpoint, std::string_view body,
                             std::string_view contentType, std::string_view accept,
                             std::string_view userAgent, std::string_view cookies);

}  // namespace translate
