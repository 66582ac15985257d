#pragma once

// The web text codec of the translation service: the request text goes out as numeric
// character references, and references in the translated text are resolved.

#include <string>
#include <string_view>

namespace translate {

// Every UTF-16 code unit as "&#" decimal ";". Failures (memory) are raised as
// platform::Error "WebEncode: " + the inner message.
std::string WebEncode(std::u16string_view text);

// Resolves "&name;" and "&name " references: numbers ("#233", "#X41", "#$41"), a few upper-case
// names, and the lowercase names of Latin-1 letters. Unresolved names are echoed upper-cased
// with a blank for their terminator; a reference still open at the end is kept as written.
// Never fails.
std::u16string WebDecode(std::u16string_view text);

// The percent-decoding of a reply value: every "+" becomes a blank first; then "%" with up to two
// hexadecimal characters becomes that byte when it is 1..255, and is dropped otherwise.
std::string PercentDecode(std::string_view text);

}  // namespace translate
