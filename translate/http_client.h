#pragma once

// The HTTP client that posts the translation form: HTTP/1.0 over a new TCP connection for every
// post, the request written byte for byte as the translation service expects it, the reply read
// by ReplyReader, cookies kept in memory for the client's life.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "translate/cookie_store.h"
#include "translate/http_request.h"

namespace translate {

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
  // How long one post may take, connecting and the whole reply included; zero or less waits
  // without limit.
  std::chrono::milliseconds Timeout{20000};
  // PEM certificates trusted for services reached over TLS instead of the system's roots; empty:
  // the system's.
  std::string CaFile;

  // Posts the form and returns the reply body. Blocks until the reply is complete, the
  // connection fails or the time-out passes (the TLS handshake included). Raises platform::Error:
  // "Socket Error # N" CR LF and the system's text with a full stop, "Connection Closed
  // Gracefully.", "Max line length exceeded.", the status line of a reply that is not 2xx or
  // redirects, TimeoutText(), or for TLS "The translation service's certificate was refused: "
  // and why, or "No secure connection to the translation service: " and why. A certificate that
  // fails is never answered by going on in plain.
  std::string Post(const Endpoint& endpoint, const Form& form);

  // What a post that ran out of time raises: whether nothing answered the connection, or the
  // service took it and did not reply in time.
  std::string TimeoutText(bool connected) const;

  // The value of the Cookie line for a request to this endpoint; empty when none applies.
  std::string CookiesFor(const Endpoint& endpoint) const;

 private:
  void StoreCookies(const Endpoint& endpoint,
                    const std::vector<std::pair<std::string, std::string>>& headers);

  // Asking which cookies apply also forgets the expired ones.
  std::unique_ptr<CookieStore> cookies_;
};

}  // namespace translate
