#include "translate/http_request.h"

#include <cctype>

#include "platform/ascii.h"
#include "platform/error.h"

namespace translate {

Endpoint ParseHostSetting(std::string_view setting, std::string document) {
  Endpoint endpoint;
  endpoint.document = std::move(document);
  const std::string original(setting);
  auto bad = [&](const std::string& why) {
    return platform::Error(why + " in \"" + original + "\"");
  };
  if (setting.size() >= 8 && platform::SameIgnoringCase(setting.substr(0, 8), "https://")) {
    setting.remove_prefix(8);
    endpoint.tls = true;
    endpoint.port = 443;
    if (setting.ends_with('/')) setting.remove_suffix(1);
  } else if (setting.size() >= 7 && platform::SameIgnoringCase(setting.substr(0, 7), "http://")) {
    // As people copy an address from a browser: the same as without it.
    setting.remove_prefix(7);
    if (setting.ends_with('/')) setting.remove_suffix(1);
  }
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
    if (endpoint.host.empty() || endpoint.host.find_first_of("[]/") != std::string::npos)
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
  if (endpoint.port != (endpoint.tls ? 443 : 80)) host += ":" + std::to_string(endpoint.port);
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
  if (!endpoint.apiKey.empty()) request += "X-Api-Key: " + endpoint.apiKey + "\r\n";
  request += "\r\n";
  request += body;
  return request;
}

}  // namespace translate
