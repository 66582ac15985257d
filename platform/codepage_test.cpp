#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Utf8Decode, OneToThreeByteSequencesIncludingOverlongForms) {
  EXPECT_EQ(Utf8Decode("caf\xC3\xA9"), u"café");
  EXPECT_EQ(Utf8Decode("\xE2\x82\xAC 5"), u"€ 5");
  EXPECT_EQ(Utf8Decode("\xD0\x9F\xD1\x80\xD0\xB8"), u"При");
  EXPECT_EQ(Utf8Decode("\xC1\x81"), u"A");      // overlong two-byte "A"
  EXPECT_EQ(Utf8Decode("\xE0\x80\xAF"), u"/");  // overlong three-byte "/"
  EXPECT_EQ(Utf8Decode(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(Utf8Decode(""), u"");
}

TEST(Utf8Decode, FourByteSequencesBecomeSurrogatePairs) {
  EXPECT_EQ(Utf8Decode("\xF0\x9F\x98\x80!"), u"\U0001F600!");
  EXPECT_EQ(Utf8Decode("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
}

TEST(Utf8Decode, AnyBadSequenceEmptiesTheWholeResult) {
  for (const char* bad : {"ok \xC3", "ok \xC3(", "\xE2\x82", "\xE2\x82x", "x\xF5\x80\x80\x80",
                          "\xFF", "\xF4\x90\x80\x80", "\xF0\x9F\x98"}) {
    EXPECT_EQ(Utf8Decode(bad), u"") << bad;
  }
}

TEST(Utf8Encode, WritesPairsAsOneSequenceAndLoneSurrogatesAsReplacement) {
  EXPECT_EQ(Utf8Encode(u"café €"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(Utf8Encode(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8Encode(std::u16string{0xD83D, u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf8Encode(std::u16string{0xDE00}), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8Encode(std::u16string(u"\0", 1)), std::string("\0", 1));
  const std::u16string mixed = u"Преведено със Parlavant \U0001F600\r\n";
  EXPECT_EQ(Utf8Decode(Utf8Encode(mixed)), mixed);
}

TEST(CyrillicToWide, UpperBytesBecomeCyrillicAndTheRestKeepTheirValue) {
  EXPECT_EQ(CyrillicToWide("\xC0\xE0\xFF\xA9\xBF"
                           "A"),
            u"Аая©¿A");
  EXPECT_EQ(CyrillicToWide("\xCF\xF0\xE5\xE2\xE5\xE4\xE5\xED\xEE"), u"Преведено");
}

TEST(AnsiCodePage, Windows1252BothWays) {
  EXPECT_EQ(WideToAnsi(u"Français €"),
            "Fran\xE7"
            "ais \x80");
  EXPECT_EQ(WideToAnsi(u"Български"), "?????????");
  EXPECT_EQ(WideToAnsi(u"\u0081\u0080", '#'), "\x81#");
  EXPECT_EQ(AnsiToWide("Fran\xE7"
                       "ais \x80\x9F\x81"),
            u"Français €Ÿ\u0081");
}

}  // namespace
}  // namespace platform
