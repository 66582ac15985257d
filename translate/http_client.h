#pragma once

// The HTTP client that posts the translation form: HTTP/1.0 over a new TCP connection for every
// post, the request written byte for byte as the translation service expects it, the reply read
// by ReplyReader, cookies kept in memory for the client's life.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace translate {

struct Endpoint {
  std::string host;
  std::uint16_t port = 80;
  std::string document = "/";
};

// "host" or "host:port" (port 80 when absent); an IPv6 address in brackets, "[::1]:4358".
// Throws platform::Error naming what is wrong for a malformed setting.
Endpoint ParseHostSetting(std::string_view setting, std::string document);

using Form = std::vector<std::pair<std::string, std::string>>;

// name=value lines joined by "&", with one more "&" after the last; values form-encoded: a blank
// becomes "+", ASCII letters and digits stay, every other byte is "%" and two upper-case hex
// digits.
std::string EncodeForm(const Form& form);

// The whole request: request line, the seven header lines in their order, an empty line, the
// body. The Cookie line is written only when `cookies` is not empty.
std::string BuildPostRequest(const Endpoint& endpoint, std::string_view body,
                             std::string_view contentType, std::string_view accept,
                             std::string_view userAgent, std::string_view cookies);

class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Settings, as the window's HTTP component holds them.
  std::string ContentType = "text/html";
  std::string Accept = "text/html, */*";
  std::string UserAgent = "Mozilla/3.0 (compatible; Indy Library)";
  bool AllowCookies = true;

  // Posts the form and returns the reply body. Blocks until the reply is complete or the
  // connection fails; there is no time-out. Raises platform::Error: "Socket Error # N" CR LF and
  // the system's text with a full stop, "Connection Closed Gracefully.", "Max line length
  // exceeded.", or the status line of a reply that is not 2xx or redirects.
  std::string Post(const Endpoint& endpoint, const Form& form);

  // The value of the Cookie line for a request to this endpoint; empty when none applies.
  std::string CookiesFor(const Endpoint& endpoint) const;

 private:
  void StoreCookies(const Endpoint& endpoint,
                    const std::vector<std::pair<std::string, std::string>>& headers);

  struct CookieStore;
  std::unique_ptr<CookieStore> cookies_;
};

}  // namespace translate
