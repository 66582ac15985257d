#pragma once

// Translating a text: through the desktop translator when its window is on the desktop, through
// the web service otherwise; the choice is made afresh at every call.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/desktop.h"
#include "translate/http_client.h"

namespace translate {

inline constexpr std::uint16_t kLocalTranslatorPort = 4357;
// No public service is known to this build; a loopback default never sends the user's text to a
// host nobody chose, and fails at once when nothing listens there.
inline constexpr std::string_view kDefaultWebServiceHost = "127.0.0.1:4358";

struct TranslationService {
  // "host" or "host:port" of the web service, whose document is "/st.asp"; "https://" before it
  // for TLS.
  std::string webServiceHost = std::string(kDefaultWebServiceHost);
  // Sent to the web service (never to the desktop translator) when not empty.
  std::string webApiKey;
  // How the desktop translator is addressed on the loopback interface; the port is fixed.
  std::string localHost = "127.0.0.1";
  std::uint16_t localPort = kLocalTranslatorPort;
};

// A desktop translator's main window: at least 20 characters, beginning "Tessavo Verbalinx 3.",
// and no parenthesis anywhere.
bool IsLocalTranslatorTitle(std::string_view title);

// True when a top-level window of the desktop translator exists. At most 5000 windows are read;
// any failure while scanning counts as none found.
bool LocalTranslatorRunning(platform::Desktop& desktop);

// The translation in a reply body: after the first "l1=", up to the next "&", percent-decoded,
// decoded from UTF-8 (empty when not well-formed) and with its character references resolved.
// A body without "l1=" raises platform::Error: it holds no translation.
std::u16string ExtractTranslation(std::string_view body);

// The language the service took the text to be in, where it says so in a "SourceLang=" field
// after the translation's; 0 where it does not.
std::int32_t ExtractSourceLanguage(std::string_view body);

// Posts the text and the language code and returns the translation, and in `sourceLanguage`
// (when given) what ExtractSourceLanguage finds. Errors of the exchange pass through as
// platform::Error; nothing is retried.
std::u16string Translate(HttpClient& http, platform::Desktop& desktop,
                         const TranslationService& service, std::u16string_view text,
                         std::int32_t languageCode, std::int32_t* sourceLanguage = nullptr);

}  // namespace translate
