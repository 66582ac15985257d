#include "translate/http_client.h"

#include "platform/ascii.h"
#include "platform/error.h"
#include "platform/tcp.h"
#include "platform/tls.h"
#include "translate/cookie_store.h"
#include "translate/http_reply.h"

namespace translate {
namespace {

// The client's wording of a connection's failure, the same on every platform.
[[noreturn]] void ThrowSocketError(const platform::NetError& e) {
  std::string message = "Socket Error # " + std::to_string(e.Number()) + "\r\n" + e.Text();
  if (message.back() != '.') message += '.';
  throw platform::Error(message);
}

}  // namespace

HttpClient::HttpClient() : cookies_(std::make_unique<CookieStore>()) {}
HttpClient::~HttpClient() = default;

std::string HttpClient::CookiesFor(const Endpoint& endpoint) const {
  return cookies_->For(endpoint.host, endpoint.document);
}

void HttpClient::StoreCookies(const Endpoint& endpoint,
                              const std::vector<std::pair<std::string, std::string>>& headers) {
  for (const auto& [name, value] : headers) {
    if (platform::SameIgnoringCase(name, "Set-cookie") ||
        platform::SameIgnoringCase(name, "Set-cookie2")) {
      cookies_->Receive(value, endpoint.host, endpoint.document);
    }
  }
}

std::string HttpClient::TimeoutText(bool connected) const {
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(Timeout).count();
  const std::string within = " within " + std::to_string(seconds) +
                             (seconds == 1 ? " second." : " seconds.");
  return connected ? "The translation service did not answer" + within
                   : "No connection to the translation service" + within;
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
  const platform::NetDeadline deadline = Timeout.count() > 0
                                             ? std::chrono::steady_clock::now() + Timeout
                                             : platform::kNoDeadline;
  try {
    auto connection = platform::ConnectTcp(endpoint.host, endpoint.port, deadline);
    if (endpoint.tls) connection = platform::StartTls(std::move(connection), endpoint.host, {CaFile});
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
  } catch (const platform::NetTimeout& e) {
    keepCookies();
    throw platform::Error(TimeoutText(e.Step() != platform::NetStep::kConnect));
  } catch (const platform::CertificateRefused& e) {
    throw platform::Error("The translation service's certificate was refused: " +
                          std::string(e.what()) + ".");
  } catch (const platform::TlsFailed& e) {
    throw platform::Error("No secure connection to the translation service: " +
                          std::string(e.what()) + ".");
  } catch (...) {
    keepCookies();
    throw;
  }
  keepCookies();
  return reader.Body();
}

}  // namespace translate
