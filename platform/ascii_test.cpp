#include "platform/ascii.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(HexDigitValue, BothCasesAndNothingBesides) {
  EXPECT_EQ(HexDigitValue('0'), 0);
  EXPECT_EQ(HexDigitValue('9'), 9);
  EXPECT_EQ(HexDigitValue('a'), 10);
  EXPECT_EQ(HexDigitValue('F'), 15);
  for (char c : {'/', ':', '@', 'G', '`', 'g', ' ', '\0', '\xE0'})
    EXPECT_EQ(HexDigitValue(c), -1) << c;
}

TEST(SameIgnoringCase, OnlyAsciiLettersFoldTheirCase) {
  EXPECT_TRUE(SameIgnoringCase("Content-LENGTH", "content-length"));
  EXPECT_FALSE(SameIgnoringCase("Receive", "Receiv"));
  EXPECT_FALSE(SameIgnoringCase("\xC0", "\xE0"));  // Cyrillic or Latin-1 letters stay apart
  EXPECT_FALSE(SameIgnoringCase("@", "`"));        // 0x40 and 0x60 differ by the case bit only
}

}  // namespace
}  // namespace platform
