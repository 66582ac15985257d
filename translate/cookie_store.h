#pragma once

// The cookies the translation services set, kept in memory for the life of the HTTP client and
// sent back where they apply (RFC 6265, as a browser's cookie jar keeps them): a cookie of the
// same name, domain and path replaces the one there; one that has expired is forgotten, so a
// past Expires or a Max-Age of 0 deletes it; Domain and Path decide where it goes back; Secure
// ones never go over plain HTTP. Ports play no part.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace translate {

class CookieStore {
 public:
  using Clock = std::chrono::system_clock;

  // A Set-Cookie (or Set-Cookie2) header's value, from a reply to `host` for `requestPath`.
  void Receive(std::string_view header, const std::string& host, const std::string& requestPath,
               Clock::time_point now = Clock::now());
  // The Cookie header's value for a request to `host` and `path`: "a=1; b=2", the cookies with
  // the longest path first; empty when none applies.
  std::string For(const std::string& host, const std::string& path,
                  Clock::time_point now = Clock::now());

 private:
  struct Cookie {
    std::string name, value;
    std::string
        domain;  // lower case; with a leading "." where the cookie's Domain allows subdomains
    std::string path;
    std::optional<Clock::time_point> expires;  // none: until the store goes
    bool secure = false;
  };
  std::vector<Cookie> cookies_;
};

// An HTTP date in any of the forms servers write (RFC 1123, RFC 850, asctime, and the loose
// variants RFC 6265 reads); nothing when it holds no date.
std::optional<CookieStore::Clock::time_point> ParseCookieDate(std::string_view text);

}  // namespace translate
