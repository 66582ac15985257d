#include "tools/translator/stream_format.h"

#include <gtest/gtest.h>

#include <random>

#include "testsupport/run_program.h"

namespace standin {
namespace {

using namespace std::string_view_literals;

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

TEST(StreamFormat, SentenceEndsAtParagraphsAndTheEndBlanksAsSuperblanks) {
  EXPECT_EQ(ToStream("Hola, amigo"), "Hola, amigo.[]");
  EXPECT_EQ(ToStream("a\n\nb  c\td e\n"), "a.[][\n\n]b[  ]c[\t]d e.[][\n]");
  EXPECT_EQ(ToStream("a\r\n\r\nb\n \nc"), "a.[][\r\n\r\n]b[\n \n]c.[]");
  EXPECT_EQ(ToStream(std::string("x\0^y$ [1/2] {@<\\>}", 18)),
            "x\\^y\\$ \\[1\\/2\\] \\{\\@\\<\\\\\\>\\}.[]");
  EXPECT_EQ(ToStream(std::string("a\0 \0b", 5)), "a b.[]");
  EXPECT_EQ(ToStream(""), ".[]");
  // A NUL the stages passed on never reaches the text; a backslash before a character that
  // needs no escape is the text's own.
  EXPECT_EQ(FromStream("Hello, friend.[][\n\n]\\^x\\$\0\\q"sv), "Hello, friend\n\n^x$\\q");
}

// The two directions agree with Apertium's own text deformatter and reformatter, byte for byte,
// on texts made of the characters that matter to them.
TEST(StreamFormat, AgreesWithApertiumsTextFormatters) {
  const std::string alphabet[] = {"a", "b", " ", " ",  "\n", "\n\n",    "\r\n", "\t",
                                  ".", "[", "]", "\\", "^",  "$",       "@",    "<",
                                  ">", "/", "{", "}",  "é",  "\xC2\xA0"};
  std::mt19937 random(20261207);
  std::string batch;
  std::vector<std::string> texts;
  for (int n = 0; n < 400; ++n) {
    std::string text;
    const int length = static_cast<int>(random() % 12);
    for (int k = 0; k < length; ++k) text += alphabet[random() % std::size(alphabet)];
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    bool ok = false;
    const std::string theirs = testsupport::RunProgram({"apertium-destxt"}, text, ok);
    ASSERT_TRUE(ok) << "apertium-destxt is part of Apertium, which the project installs";
    EXPECT_EQ(ToStream(text), theirs) << Printable(text);
    const std::string back = testsupport::RunProgram({"apertium-retxt"}, theirs, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(FromStream(theirs), back) << Printable(theirs);
    EXPECT_EQ(FromStream(ToStream(text)), text) << Printable(text);
  }
}

}  // namespace
}  // namespace standin
