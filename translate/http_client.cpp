#include "translate/http_client.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QList>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QUrl>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/unique_fd.h"
#include "translate/http_reply.h"

namespace translate {
namespace {

[[noreturn]] void ThrowSocketError(int number, const std::string& text) {
  std::string message = "Socket Error # " + std::to_string(number) + "\r\n" + text;
  if (!message.empty() && message.back() != '.') message += '.';
  throw platform::Error(message);
}

// Name resolution has no system error number. The numbers Windows gives the same failures
// cannot be mistaken for one: 11001 host not found, 11002 try again, 11003 non-recoverable,
// 11004 no data of the requested kind.
int ResolverErrorNumber(int rc) {
  switch (rc) {
    case EAI_AGAIN:
      return 11002;
    case EAI_FAIL:
      return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;
#endif
    default:  // EAI_NONAME and whatever else leaves the host unknown
      return 11001;
  }
}

QUrl UrlOf(const Endpoint& endpoint) {
  QUrl url;
  url.setScheme("http");
  url.setHost(QString::fromStdString(endpoint.host));
  url.setPort(endpoint.port);
  url.setPath(QString::fromStdString(endpoint.document));
  return url;
}

platform::UniqueFd Connect(const Endpoint& endpoint) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(endpoint.port);
  const int rc = ::getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) ThrowSocketError(errno, std::strerror(errno));
    ThrowSocketError(ResolverErrorNumber(rc), ::gai_strerror(rc));
  }
  int lastError = ECONNREFUSED;
  platform::UniqueFd fd;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd.Reset(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
      lastError = errno;
      continue;
    }
    int r;
    do {
      r = ::connect(fd.Get(), a->ai_addr, a->ai_addrlen);
    } while (r < 0 && errno == EINTR);
    if (r == 0) break;
    lastError = errno;
    fd.Reset();
  }
  ::freeaddrinfo(found);
  if (!fd) ThrowSocketError(lastError, std::strerror(lastError));
  return fd;
}

void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowSocketError(errno, std::strerror(errno));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

Endpoint ParseHostSetting(std::string_view setting, std::string document) {
  Endpoint endpoint;
  endpoint.document = std::move(document);
  auto bad = [&](const std::string& why) {
    return platform::Error(why + " in \"" + std::string(setting) + "\"");
  };
  std::string_view port;
  if (setting.starts_with('[')) {
    // An IPv6 literal in brackets, as in a URL: "[::1]" or "[::1]:4358".
    const std::size_t close = setting.find(']');
    if (close == std::string_view::npos || close == 1) throw bad("Invalid host");
    endpoint.host = std::string(setting.substr(1, close - 1));
    const std::string_view after = setting.substr(close + 1);
    if (!after.empty() && after[0] != ':') throw bad("Invalid host");
    if (after.empty()) return endpoint;
    port = after.substr(1);
  } else {
    const std::size_t colon = setting.find(':');
    endpoint.host = std::string(setting.substr(0, colon));
    if (endpoint.host.empty() || endpoint.host.find_first_of("[]") != std::string::npos)
      throw bad("Invalid host");
    if (colon == std::string_view::npos) return endpoint;
    port = setting.substr(colon + 1);
  }
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9' || value > 65535) throw bad("Invalid port");
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (port.empty() || value == 0 || value > 65535) throw bad("Invalid port");
  endpoint.port = static_cast<std::uint16_t>(value);
  return endpoint;
}

std::string EncodeForm(const Form& form) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const auto& [name, value] : form) {
    out += name;
    out += '=';
    for (unsigned char c : value) {
      if (c == ' ') {
        out += '+';
      } else if (std::isalnum(c) && c < 0x80) {
        out += static_cast<char>(c);
      } else {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
    out += '&';
  }
  return out;
}

std::string BuildPostRequest(const Endpoint& endpoint, std::string_view body,
                             std::string_view contentType, std::string_view accept,
                             std::string_view userAgent, std::string_view cookies) {
  std::string host = endpoint.host;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  if (endpoint.port != 80) host += ":" + std::to_string(endpoint.port);
  std::string request;
  request.reserve(256 + body.size());
  request += "POST " + endpoint.document + " HTTP/1.0\r\n";
  request += "Connection: keep-alive\r\n";
  request += "Content-Type: " + std::string(contentType) + "\r\n";
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "Host: " + host + "\r\n";
  request += "Accept: " + std::string(accept) + "\r\n";
  request += "User-Agent: " + std::string(userAgent) + "\r\n";
  if (!cookies.empty()) request += "Cookie: " + std::string(cookies) + "\r\n";
  request += "\r\n";
  request += body;
  return request;
}

struct HttpClient::CookieStore {
  QNetworkCookieJar jar;
};

HttpClient::HttpClient() : cookies_(std::make_unique<CookieStore>()) {}
HttpClient::~HttpClient() = default;

std::string HttpClient::CookiesFor(const Endpoint& endpoint) const {
  std::string line;
  for (const QNetworkCookie& cookie : cookies_->jar.cookiesForUrl(UrlOf(endpoint))) {
    if (!line.empty()) line += "; ";
    line += cookie.toRawForm(QNetworkCookie::NameAndValueOnly).toStdString();
  }
  return line;
}

void HttpClient::StoreCookies(const Endpoint& endpoint,
                              const std::vector<std::pair<std::string, std::string>>& headers) {
  QList<QNetworkCookie> received;
  for (const auto& [name, value] : headers) {
    if (platform::SameIgnoringCase(name, "Set-cookie") ||
        platform::SameIgnoringCase(name, "Set-cookie2")) {
      received += QNetworkCookie::parseCookies(QByteArray::fromStdString(value));
    }
  }
  if (!received.isEmpty()) cookies_->jar.setCookiesFromUrl(received, UrlOf(endpoint));
}

std::string HttpClient::Post(const Endpoint& endpoint, const Form& form) {
  // A form post always goes out form-encoded, and the content type stays so from then on.
  ContentType = "application/x-www-form-urlencoded";
  const std::string body = EncodeForm(form);
  const std::string request = BuildPostRequest(endpoint, body, ContentType, Accept, UserAgent,
                                               AllowCookies ? CookiesFor(endpoint) : std::string());
  platform::UniqueFd fd = Connect(endpoint);
  SendAll(fd.Get(), request);

  ReplyReader reader;
  char buf[16384];
  try {
    for (;;) {
      const ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ThrowSocketError(errno, std::strerror(errno));
      if (n == 0) {
        reader.Finish();
        break;
      }
      if (reader.Feed(std::string_view(buf, static_cast<std::size_t>(n)))) break;
    }
  } catch (...) {
    // What a reply sets is kept whatever its status, and also when its body breaks off.
    if (AllowCookies && reader.HeaderComplete()) StoreCookies(endpoint, reader.Headers());
    throw;
  }
  if (AllowCookies) StoreCookies(endpoint, reader.Headers());
  return reader.Body();
}

}  // namespace translate
