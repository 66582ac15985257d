#include "translate/http_client.h"

#include <QList>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QUrl>

#include <cctype>

#include "platform/ascii.h"
#include "platform/error.h"
#include "platform/tcp.h"
#include "translate/http_reply.h"

namespace translate {
namespace {

// The client's wording of a connection's failure, the same on every platform.
[[noreturn]] void ThrowSocketError(const platform::NetError& e) {
  std::string message = "Socket Error # " + std::to_string(e.Number()) + "\r\n" + e.Text();
  if (message.back() != '.') message += '.';
  throw platform::Error(message);
}

QUrl UrlOf(const Endpoint& endpoint) {
  QUrl url;
  url.setScheme("http");
  url.setHost(QString::fromStdString(endpoint.host));
  url.setPort(endpoint.port);
  url.setPath(QString::fromStdString(endpoint.document));
  return url;
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
  ReplyReader reader;
  // What a reply sets is kept whatever its status, and also when its body breaks off.
  auto keepCookies = [&] {
    if (AllowCookies && reader.HeaderComplete()) StoreCookies(endpoint, reader.Headers());
  };
  char buf[16384];
  try {
    const auto connection = platform::ConnectTcp(endpoint.host, endpoint.port);
    connection->SendAll(request);
    for (;;) {
      const std::size_t n = connection->Receive(buf, sizeof buf);
      if (n == 0) {
        reader.Finish();
        break;
      }
      if (reader.Feed(std::string_view(buf, n))) break;
    }
  } catch (const platform::NetError& e) {
    keepCookies();
    ThrowSocketError(e);
  } catch (...) {
    keepCookies();
    throw;
  }
  keepCookies();
  return reader.Body();
}

}  // namespace translate
