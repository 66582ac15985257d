// WebDecode on arbitrary UTF-16 text (the input's bytes taken in pairs), and the whole reply path
// from a body to the translation.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "translate/translate.h"
#include "translate/web_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text(size / 2, u'\0');
  for (std::size_t i = 0; i + 1 < size; i += 2)
    text[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  const std::u16string decoded = translate::WebDecode(text);
  // Resolving only ever shortens or keeps a text, but for the one closing blank an unresolved
  // reference gains: at most one more unit per reference.
  if (decoded.size() > text.size() * 2 + 1) std::abort();
  // Text without "&" passes through unchanged.
  if (text.find(u'&') == std::u16string::npos && decoded != text) std::abort();
  try {
    translate::ExtractTranslation(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception&) {
  }
  return 0;
}
