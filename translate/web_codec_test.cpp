#include "translate/web_codec.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace translate {
namespace {

TEST(WebEncode, WritesEveryUnitAsADecimalReference) {
  EXPECT_EQ(WebEncode(u""), "");
  EXPECT_EQ(WebEncode(u"Hi"), "&#72;&#105;");
  EXPECT_EQ(WebEncode(u"&"), "&#38;");
  EXPECT_EQ(WebEncode(u"é \r\n"), "&#233;&#32;&#13;&#10;");
  EXPECT_EQ(WebEncode(u"\U0001F600"), "&#55357;&#56832;");
  EXPECT_EQ(WebEncode(std::u16string{0, 0xFFFF}), "&#0;&#65535;");
}

struct DecodeCase {
  std::u16string in;
  std::u16string out;
};

TEST(WebDecode, ResolvesAndEchoesReferences) {
  const DecodeCase cases[] = {
      {u"caf&#233;", u"café"},
      {u"&#X41;&#x41;&#$41;&#0x41;", u"AAAA"},
      {u"&#65601;", u"A"},
      {u"&Agrave;&ECIRC;", u"ae"},
      {u"&pound;5", u"GBP5"},
      {u"&acute;&aelig;", u"'AE"},
      {u"&amp;", u"&AMP "},
      {u"Tom & Jerry", u"Tom & Jerry"},
      {u"a&b;c", u"a&B c"},
      {u"rock&roll music", u"rock&ROLL music"},
      {u"AT&T rocks", u"AT&T rocks"},
      {u"x&&y;", u"x&Y "},
      {u"&#0;", u"&#0 "},
      {u"&#-5;", u"&#-5 "},
      {u"&#12ABC;", u"\u000C"},
      {u"&x65;", u"A"},
      {u"no references at all", u"no references at all"},
      {u"", u""},
      // The lowercase Latin-1 names and the last row take effect.
      {u"&uuml;ber &eacute;t&eacute; &ccedil;a", u"über été ça"},
      {u"&#10063;", u"*"},
      // Every lowercase row, in the order the names are documented.
      {u"&uuml;&auml;&euml;&iuml;&ouml;&szlig;&aacute;&eacute;&iacute;&oacute;&uacute;&ntilde;&"
       u"yuml;&agrave;&egrave;&igrave;&ograve;&ugrave;&acirc;&ecirc;&icirc;&ocirc;&ucirc;&ccedil;",
       u"\u00FC\u00E4\u00EB\u00EF\u00F6\u00DF\u00E1\u00E9\u00ED\u00F3\u00FA\u00F1\u00FF\u00E0\u00E8"
       u"\u00EC\u00F2\u00F9\u00E2\u00EA\u00EE\u00F4\u00FB\u00E7"},
      // A second "&" does not clear the name collected so far.
      {u"a&b&c;", u"a&BC "},
      // One digit is a number; bytes 0xA0 to 0xBF are lowered too (ª, 0xAA, becomes 0x8A: Š).
      {u"&#9;", u"\t"},
      {u"&x\u00AA;", u"&X\u0160 "},
      {u"&Uuml;", u"&UUML "},
      // Still open at the end: kept as collected.
      {u"AT&T", u"AT&T"},
      {u"x &#233", u"x &#233"},
      {u"end&", u"end&"},
      // Beyond 32 bits: no reference, echoed.
      {u"&#99999999999;", u"&#99999999999 "},
      {u"&#x1FFFFFFFF;", u"&#X1FFFFFFFF "},
      {u"&#2147483647;", std::u16string(1, u'\uFFFF')},
      {u"&#-2147483648;", u"&#-2147483648 "},
      // Stopping early drops the sign.
      {u"&#-5x;", u"\u0005"},
      // Upper-casing goes through the ANSI code page: what it lacks becomes "?".
      {u"&жx;", u"&?X "},
      {u"&é;", u"&É "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WebDecode(c.in), c.out) << platform::Utf8Encode(c.in);
  }
}

TEST(PercentDecode, PlusFirstThenUpToTwoHexCharacters) {
  EXPECT_EQ(PercentDecode("Hallo+Welt"), "Hallo Welt");
  EXPECT_EQ(PercentDecode("a%2Bb"), "a+b");
  EXPECT_EQ(PercentDecode("%00x"), "x");
  EXPECT_EQ(PercentDecode("Ol%C3%a1"), "Ol\xC3\xA1");
  EXPECT_EQ(PercentDecode("%4"), "\x04");
  EXPECT_EQ(PercentDecode("end%"), "end");
  EXPECT_EQ(PercentDecode("%G1x%4Gy"), "xy");
  EXPECT_EQ(PercentDecode("%%41"), "1");
  EXPECT_EQ(PercentDecode("%FF"), "\xFF");
}

}  // namespace
}  // namespace translate
