#pragma once

// A translation service for tests: it answers every form posted to it with "[code] text", the
// language code and the text it was given, as the translation protocol writes a reply.

#include <string>

#include "platform/codepage.h"
#include "translate/web_codec.h"

namespace testsupport {

inline std::string EchoTranslation(const std::string& request) {
  // What a client killed mid-request leaves (nothing, or a head without its form) is no form.
  const std::size_t head = request.find("\r\n\r\n");
  const std::string body = head == std::string::npos ? std::string() : request.substr(head + 4);
  if (body.find("l1=") == std::string::npos || body.find("TargetLang=") == std::string::npos)
    return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
  const std::size_t l1 = body.find("l1=") + 3;
  const std::string encoded = translate::PercentDecode(body.substr(l1, body.find('&', l1) - l1));
  const std::size_t code = body.find("TargetLang=") + 11;
  const std::string text =
      platform::Utf8Encode(translate::WebDecode(std::u16string(encoded.begin(), encoded.end())));
  const std::string reply = "l1=[" + body.substr(code, body.find('&', code) - code) + "]+" + text;
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(reply.size()) + "\r\n\r\n" + reply;
}

}  // namespace testsupport
