#include "translate/translate.h"

#include <cstring>
#include <vector>

#include "platform/codepage.h"
#include "platform/error.h"
#include "translate/web_codec.h"

namespace translate {
namespace {

constexpr std::string_view kTitlePrefix = "Tessavo Verbalinx 3.";
constexpr std::size_t kMaxWindows = 5000;
constexpr int kTitleBuffer = 255;

}  // namespace

bool IsLocalTranslatorTitle(std::string_view title) {
  return title.size() >= kTitlePrefix.size() && title.starts_with(kTitlePrefix) &&
         title.find('(') == std::string_view::npos && title.find(')') == std::string_view::npos;
}

bool LocalTranslatorRunning(platform::Desktop& desktop) {
  try {
    std::vector<platform::Hwnd> windows;
    const bool ok = desktop.EnumWindows([&](platform::Hwnd window) {
      windows.push_back(window);
      return windows.size() < kMaxWindows;
    });
    if (!ok) return false;
    for (platform::Hwnd window : windows) {
      char title[kTitleBuffer] = {};
      desktop.GetTitle(window, title, kTitleBuffer);
      if (IsLocalTranslatorTitle(std::string_view(title, ::strnlen(title, kTitleBuffer))))
        return true;
    }
  } catch (...) {
  }
  return false;
}

std::u16string ExtractTranslation(std::string_view body) {
  const std::size_t start = body.find("l1=");
  if (start == std::string_view::npos) {
    throw platform::Error("The translation service's reply holds no translation");
  }
  std::string_view value = body.substr(start + 3);
  value = value.substr(0, value.find('&'));
  return WebDecode(platform::Utf8Decode(PercentDecode(value)));
}

std::int32_t ExtractSourceLanguage(std::string_view body) {
  const std::size_t start = body.find("l1=");
  if (start == std::string_view::npos) return 0;
  constexpr std::string_view kField = "&SourceLang=";
  const std::size_t field = body.find(kField, start);
  if (field == std::string_view::npos) return 0;
  std::int32_t code = 0;
  for (std::size_t i = field + kField.size(); i < body.size() && body[i] >= '0' && body[i] <= '9';
       ++i) {
    code = code * 10 + (body[i] - '0');
    if (code > 1000) return 0;
  }
  return code;
}

std::u16string Translate(HttpClient& http, platform::Desktop& desktop,
                         const TranslationService& service, std::u16string_view text,
                         std::int32_t languageCode, std::int32_t* sourceLanguage) {
  const Form form = {{"l1", WebEncode(text)}, {"TargetLang", std::to_string(languageCode)}};
  http.AllowCookies = true;
  Endpoint endpoint;
  if (LocalTranslatorRunning(desktop)) {
    endpoint.host = service.localHost;
    endpoint.port = service.localPort;
    endpoint.document = "/";
  } else {
    endpoint = ParseHostSetting(service.webServiceHost, "/st.asp");
    endpoint.apiKey = service.webApiKey;
  }
  const std::string body = http.Post(endpoint, form);
  if (sourceLanguage != nullptr) *sourceLanguage = ExtractSourceLanguage(body);
  return ExtractTranslation(body);
}

}  // namespace translate
