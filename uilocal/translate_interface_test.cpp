#include "uilocal/translate_interface.h"

#include <sys/stat.h>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "platform/error.h"
#include "uilocal/interface_file.h"

#include "testsupport/temp_dir.h"

namespace uilocal {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// What the last Parse() made.
RecordTable gParsed;
void Parse(std::string_view content) {
  ParseRecords(content, gParsed);
}
std::vector<std::string> Rows(const std::vector<ComponentTrRec>& records);
std::vector<std::string> Table() {
  return Rows(gParsed.records);
}

// Loads the text into the process's table through a file, as the program does.
void Install(std::string_view text) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("pinstall-" + std::to_string(::getpid())))
          .string();
  std::ofstream(path, std::ios::binary) << uilocal::Scramble(uilocal::Content(text));
  LoadTranslations(path);
  std::filesystem::remove(path);
}

// Loads the file's bytes as LoadTranslations would, fed in pieces of `piece` bytes.
void LoadBytes(const std::string& file, std::size_t piece) {
  ContentDecoder decoder;
  for (std::size_t i = 0; i < file.size(); i += piece) {
    if (!decoder.Feed(std::string_view(file).substr(i, piece))) break;
  }
  Parse(decoder.Content());
}

// "path|language|text" for every record, the text as UTF-8.
std::vector<std::string> Rows(const std::vector<ComponentTrRec>& records) {
  std::vector<std::string> rows;
  for (const auto& r : records) {
    std::string text;
    for (char16_t c : r.Text) {
      if (c < 0x80) {
        text += static_cast<char>(c);
      } else {
        text += "U+" + std::to_string(static_cast<int>(c));
      }
    }
    rows.push_back(std::string(r.ComponentPath) + "|" + std::to_string(r.Language) + "|" + text);
  }
  return rows;
}

// Loads a whole file fed whole, in small pieces and in the reader's blocks; all must agree.
std::vector<std::string> LoadEveryWay(const std::string& file) {
  LoadBytes(file, 1);
  const auto byByte = Table();
  LoadBytes(file, 7);
  const auto bySeven = Table();
  LoadBytes(file, kReadBlock);
  EXPECT_EQ(byByte, Table());
  EXPECT_EQ(bySeven, Table());
  return Table();
}

std::string ErrorOf(const std::string& text) {
  try {
    Parse(uilocal::Content(text));
  } catch (const platform::Error& e) {
    return e.what();
  }
  return "(none)";
}

const std::string kText = "MainForm.btnSend;1;Send\r\nMainForm.l_in;2;\"\xED\xE0 \xED\xE0\"\r\n";

TEST(KeystreamByte, ProductWrapsAndTheRemainderKeepsItsSign) {
  const std::pair<std::uint32_t, std::uint8_t> known[] = {
      {0, 0x00},    {1, 0x81},     {2, 0x02},     {100, 0x54},     {2465, 0x91},       {2466, 0x37},
      {4931, 0x49}, {16383, 0x8E}, {16384, 0x0F}, {1000000, 0x59}, {4294967295u, 0x7F}};
  for (const auto& [offset, byte] : known) EXPECT_EQ(KeystreamByte(offset), byte) << offset;
  // The key as the format defines it, against the fast one, over every offset in stretches
  // around the product's sign changes and wraps and at the ends of the range.
  auto defined = [](std::uint32_t offset) {
    const auto product = static_cast<std::int32_t>(offset * 871043u);
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(product % 402817) & 0xFF);
  };
  for (std::uint32_t start : {0u, 2400u, 4900u, 0x7FFFF000u, 0x80000000u, 0xFFFFF000u}) {
    for (std::uint32_t offset = start; offset - start < 0x10000u; ++offset)
      ASSERT_EQ(KeystreamByte(offset), defined(offset)) << offset;
  }
  // Scrambling by absolute offsets, sixteen bytes at a time or one: the second half scrambled on
  // its own, from its offset; any start and length against the key byte by byte.
  const std::string bytes(40000, 'x');
  EXPECT_EQ(uilocal::Scramble(bytes).substr(20000), uilocal::Scramble(bytes.substr(20000), 20000));
  for (std::uint32_t first : {0u, 7u, 2460u, 0x7FFFFFF9u, 0xFFFFFF00u}) {
    const std::string zeros(5000 + first % 13, '\0');
    const std::string keys = uilocal::Scramble(zeros, first);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      ASSERT_EQ(static_cast<std::uint8_t>(keys[i]),
                KeystreamByte(first + static_cast<std::uint32_t>(i)))
          << first << "+" << i;
    }
  }
}

TEST(Loader, GzipWithEveryHeaderFieldFedWholeAndInPieces) {
  uilocal::MemberOptions all;
  all.flags = 1 | 2 | 4 | 8 | 16;
  all.extra = std::string("\x00\x01xyz", 5);
  all.name = "stintf.txt";
  all.comment = "interface texts";
  for (int flags : {0, 1, 2, 4, 8, 16, 31}) {
    uilocal::MemberOptions options = all;
    options.flags = static_cast<std::uint8_t>(flags);
    SCOPED_TRACE(static_cast<int>(flags));
    EXPECT_THAT(
        LoadEveryWay(uilocal::Scramble(uilocal::GzipMember(uilocal::Content(kText), options))),
        ElementsAre("MainForm.btnSend|1|Send", "MainForm.l_in|2|U+1085U+1072 U+1085U+1072"));
  }
}

TEST(Loader, MembersConcatenateAndAMismatchStopsTheReading) {
  const std::string content = uilocal::Content(kText);
  const std::string first = uilocal::GzipMember(content.substr(0, 10));
  const std::string second = uilocal::GzipMember(content.substr(10));
  EXPECT_EQ(LoadEveryWay(uilocal::Scramble(first + second)).size(), 2u);

  uilocal::MemberOptions bad;
  bad.corruptCrc = true;
  // The whole text in a member with a wrong CRC: used all the same.
  EXPECT_EQ(LoadEveryWay(uilocal::Scramble(uilocal::GzipMember(content, bad))).size(), 2u);
  // A wrong CRC before the second member: the second is not read, the text is cut short, and
  // only the lines that ended before the cut count.
  const std::string cutAfterFirstLine = uilocal::GzipMember(content.substr(0, 30), bad);
  EXPECT_THAT(
      LoadEveryWay(uilocal::Scramble(cutAfterFirstLine + uilocal::GzipMember(content.substr(30)))),
      ElementsAre("MainForm.btnSend|1|Send"));
  // A wrong length in the trailer stops the reading as a wrong CRC does.
  std::string badLength = uilocal::GzipMember(content.substr(0, 30));
  badLength.back() = static_cast<char>(badLength.back() + 1);
  EXPECT_THAT(LoadEveryWay(uilocal::Scramble(badLength + uilocal::GzipMember(content.substr(30)))),
              ElementsAre("MainForm.btnSend|1|Send"));
  // A member whose method is not deflate is not read at all.
  std::string method = uilocal::GzipMember(content);
  method[2] = 7;
  EXPECT_TRUE(LoadEveryWay(uilocal::Scramble(method)).empty());
  // What follows the last member is never read.
  EXPECT_EQ(LoadEveryWay(uilocal::Scramble(uilocal::GzipMember(content) + "trailing junk")).size(),
            2u);
}

TEST(Loader, UncompressedContentAndContentAfterTheText) {
  EXPECT_EQ(LoadEveryWay(uilocal::Scramble(uilocal::Content(kText))).size(), 2u);
  EXPECT_THAT(LoadEveryWay(uilocal::Scramble(uilocal::Content("p;1;t") + "\nq;1;u")),
              ElementsAre("p|1|t"));
  // A first byte 1F that is not followed by 8B is content too.
  const std::string odd = uilocal::Content("a;1;" + std::string(27, 'b'));  // L = 31 = 0x1F
  EXPECT_THAT(LoadEveryWay(uilocal::Scramble(odd)), ElementsAre("a|1|" + std::string(27, 'b')));
}

TEST(Loader, ContentShorterThanItsLength) {
  // Its last line is cut off, unless a NUL ended the text before the cut.
  const std::string head("\x40\x00\x00\x00", 4);  // 64 bytes declared
  EXPECT_THAT(LoadEveryWay(uilocal::Scramble(head + "p;1;x\nq;2;y")), ElementsAre("p|1|x"));
  EXPECT_THAT(LoadEveryWay(uilocal::Scramble(head + std::string("p;1;x\nq;2;y\0r;3;z", 17))),
              ElementsAre("p|1|x", "q|2|y"));
}

TEST(Loader, QuietWhenTheFileCannotBeUsed) {
  const std::string content = uilocal::Content(kText);
  // Too short for its length; a length cut off; a negative length; damaged compressed data.
  EXPECT_THAT(LoadEveryWay(uilocal::Scramble(content.substr(0, content.size() - 3))),
              ElementsAre("MainForm.btnSend|1|Send"));
  EXPECT_TRUE(LoadEveryWay(uilocal::Scramble(content.substr(0, 3))).empty());
  EXPECT_TRUE(LoadEveryWay(uilocal::Scramble(std::string("\xFF\xFF\xFF\xFFp;1;t", 9))).empty());
  // Damaged compressed data (a block of the reserved type at once): nothing decompressed.
  std::string damaged = uilocal::GzipMember(content);
  damaged[10] = static_cast<char>(damaged[10] | 0x06);
  EXPECT_TRUE(LoadEveryWay(uilocal::Scramble(damaged)).empty());
  std::string reserved = uilocal::GzipMember(content);
  reserved[3] = '\x20';
  EXPECT_TRUE(LoadEveryWay(uilocal::Scramble(reserved)).empty());
  EXPECT_TRUE(LoadEveryWay("").empty());
  EXPECT_TRUE(LoadEveryWay(uilocal::Scramble(uilocal::Content(""))).empty());
}

TEST(Lines, BreaksNulAndTheLastLine) {
  Parse(uilocal::Content("a;1;x\rb;1;y\nc;1;z\r\nd;1;w"));
  EXPECT_THAT(Table(), ElementsAre("a|1|x", "b|1|y", "c|1|z", "d|1|w"));
  Parse(uilocal::Content("a;1;x\r\n"));
  EXPECT_THAT(Table(), ElementsAre("a|1|x"));
  Parse(uilocal::Content(std::string("a;1;x\nb;1;y\0c;1;z\n\n", 20)));
  EXPECT_THAT(Table(), ElementsAre("a|1|x", "b|1|y"));
  // Where the lines are of the common shape, read the quick way, a NUL ends the text all the same.
  Parse(uilocal::Content(std::string("a;1;\"x\"\r\n\0b;2;\"y\"\r\n", 19)));
  EXPECT_THAT(Table(), ElementsAre("a|1|x"));
  Parse(uilocal::Content(std::string("a;1;\"x\"\r\nb;1;\"y\0z\"\r\nc;2;\"w\"\n", 28)));
  EXPECT_THAT(Table(), ElementsAre("a|1|x", "b|1|y"));
  EXPECT_EQ(ErrorOf("a;1;x\n\n"), "List index out of bounds (0)");
}

TEST(Fields, QuotesBlanksAndSeparators) {
  const std::string text =
      "MainForm.l_in;2;\"two words\"\n"
      "MainForm.l_in;3;two words\n"
      " MainForm.x ; 4 ; \"say \"\"hi\"\"\"\n"
      "p;5;\n"
      "p;6;;ignored\n"
      "p;7;\"never closed ; really\n"
      "\"a;b\";-3;\xE0\xC0\xA9\xBF\n"
      "q;$1F;x\n";
  Parse(uilocal::Content(text));
  EXPECT_THAT(Table(),
              ElementsAre("MainForm.l_in|2|two words", "MainForm.l_in|3|two",
                          "MainForm.x|4|say \"hi\"", "p|5|", "p|6|", "p|7|never closed ; really",
                          "a;b|-3|U+1072U+1040U+169U+191", "q|31|x"));
}

// Lines of the common shape are read on a quick path; the same lines with a fourth field, which
// is ignored, go the general way. Both must give the same records, whatever the lengths (around
// the sixteen-byte steps), the Cyrillic bytes, the line ends and the line that ends the text.
TEST(Fields, TheQuickPathReadsAsTheGeneralOne) {
  std::mt19937 random(7);
  const char* breaks[] = {"\r\n", "\n", "\r"};
  for (int round = 0; round < 50; ++round) {
    std::string quick, general;
    const int lines = 1 + static_cast<int>(random() % 40);
    for (int line = 0; line < lines; ++line) {
      std::string path = "Form" + std::string(random() % 40, 'p') + std::to_string(line);
      std::string text;
      for (std::size_t k = random() % 50; k > 0; --k) {
        const char pick[] = {'a', ' ', '\xC0', '\xFF', '\xBF', ';', '0'};
        text += pick[random() % sizeof pick];
      }
      const std::string language = std::to_string(random() % 1000000000 * (random() % 2));
      const std::string record = path + ";" + language + ";\"" + text + "\"";
      const bool last = line + 1 == lines && random() % 2 == 0;
      const std::string end = last ? "" : breaks[random() % 3];
      quick += record + end;
      general += record + ";x" + end;
    }
    Parse(uilocal::Content(quick));
    const auto viaQuick = Table();
    Parse(uilocal::Content(general));
    ASSERT_EQ(viaQuick, Table()) << quick;
    ASSERT_EQ(viaQuick.size(), static_cast<std::size_t>(lines));
  }
}

TEST(Fields, EveryControlByteIsABlank) {
  Parse(
      uilocal::Content("\tp\x01;\x1F"
                       "2\x0B;\x05z\x02w\x7F;"));
  EXPECT_THAT(Table(), ElementsAre("p|2|z"));
}

TEST(Errors, MessagesAndTheRecordsLeftBehind) {
  EXPECT_EQ(ErrorOf("a;1;x\nb;2\nc;3;z"), "List index out of bounds (2)");
  EXPECT_THAT(Table(), ElementsAre("a|1|x", "b|2|", "|0|"));
  // Loaded so, the half-filled record is found.
  EXPECT_THROW(Install("a;1;x\nb;2\nc;3;z"), platform::Error);
  EXPECT_EQ(FindTranslation("b", 2), 1);
  EXPECT_EQ(ErrorOf("a;1;x\nlonely\nc;3;z"), "List index out of bounds (1)");
  EXPECT_THAT(Table(), ElementsAre("a|1|x", "lonely|0|", "|0|"));
  EXPECT_EQ(ErrorOf("a;one;x"), "'one' is not a valid integer value");
  EXPECT_THAT(Table(), ElementsAre("a|0|"));
  EXPECT_EQ(ErrorOf("a;99999999999;x"), "'99999999999' is not a valid integer value");
  for (const char* beyond : {"2147483648", "-2147483649", "0x80000000", "$100000000"}) {
    EXPECT_EQ(ErrorOf(std::string("a;") + beyond + ";x"),
              "'" + std::string(beyond) + "' is not a valid integer value");
  }
  EXPECT_EQ(ErrorOf("a;-2147483648;x"), "(none)");
  EXPECT_EQ(ErrorOf(" \t "), "List index out of bounds (0)");
}

class LoadFileTest : public ::testing::Test {
 protected:
  void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  testsupport::TempDir temp_{"pstintf"};
  const std::string dir_ = temp_.Path();
};

TEST_F(LoadFileTest, LooksFurtherWhenTheNameIsNotThereAndPrefixesErrors) {
  Write(dir_ + "/stintf.dat", uilocal::InterfaceFile("x;1;from data dir"));
  ::chmod((dir_ + "/stintf.dat").c_str(), 0444);  // read-only is enough
  LoadTranslations("stintf.dat", {dir_ + "/missing", dir_});
  EXPECT_THAT(Rows(Translations()), ElementsAre("x|1|from"));
  LoadTranslations(dir_ + "/nothing-here.dat");
  EXPECT_TRUE(Translations().empty());
  Write(dir_ + "/bad.dat", uilocal::InterfaceFile("x;1;ok\nbroken"));
  try {
    LoadTranslations(dir_ + "/bad.dat");
    FAIL() << "no error";
  } catch (const platform::Error& e) {
    EXPECT_STREQ(e.what(), "LoadTranslations:List index out of bounds (1)");
  }
  EXPECT_THAT(Rows(Translations()), ElementsAre("x|1|ok", "broken|0|"));
}

TEST(Lookup, FirstRecordWinsAndPathsAreCaseSensitive) {
  Install("MainForm;2;first\nMainForm;2;second\nmainform;3;lower");
  EXPECT_EQ(FindTranslation("MainForm", 2), 0);
  EXPECT_EQ(FindTranslation("MainForm", 3), -1);
  EXPECT_EQ(FindTranslation("mainform", 3), 2);
  EXPECT_EQ(FindTranslation("", 0), -1);
}

// A component that records what the walker sets.
class Fake : public uilocal::TComponent {
 public:
  Fake(uilocal::ComponentKind kind, std::string name, uilocal::TComponent* owner,
       std::vector<std::string>& log)
      : TComponent(kind, std::move(name), owner), log_(log) {}
  void SetCaptionAnsi(std::string_view t) override {
    log_.push_back(Name() + " caption8 " + std::string(t));
  }
  void SetCaptionWide(std::u16string_view t) override {
    log_.push_back(Name() + " caption16 " + Narrow(t));
  }
  void SetHintAnsi(std::string_view t) override {
    log_.push_back(Name() + " hint8 " + std::string(t));
  }
  void SetHintWide(std::u16string_view t) override {
    log_.push_back(Name() + " hint16 " + Narrow(t));
  }

 private:
  static std::string Narrow(std::u16string_view t) {
    std::string s;
    for (char16_t c : t) s += c < 0x80 ? static_cast<char>(c) : '#';
    return s;
  }
  std::vector<std::string>& log_;
};

class WalkerTest : public ::testing::Test {
 protected:
  WalkerTest() {
    using K = uilocal::ComponentKind;
    auto* form = new Fake(K::kForm, "MainForm", &app, log);
    new Fake(K::kTntLabel, "l_in", form, log);
    new Fake(K::kTntCheckBox, "WarnCB", form, log);
    new Fake(K::kTntComboBox, "SendIn", form, log);
    new Fake(K::kSpeedButton, "speed", form, log);
    new Fake(K::kTntSpeedButton, "tntSpeed", form, log);
    new Fake(K::kBitBtn, "bit", form, log);
    new Fake(K::kTntBitBtn, "tntBit", form, log);
    new Fake(K::kTntButton, "btnSend", form, log);
    auto* pages = new Fake(K::kPageControl, "PageControl1", form, log);
    auto* sheet = new Fake(K::kTabSheet, "", pages, log);
    new Fake(K::kMemo, "Memo", sheet, log);
    new Fake(K::kTntForm, "Other", &app, log);
  }
  std::vector<std::string> log;
  uilocal::TComponent app{uilocal::ComponentKind::kApplication, "", nullptr};
};

TEST_F(WalkerTest, PathsKindsAndDepthFirstOrder) {
  Install(
      "MainForm;2;\"\xCF\xF0\xE8 "
      "Title\"\nMainForm.l_in;2;in\nMainForm.WarnCB;2;no\nMainForm.SendIn;2;no\n"
      "MainForm.speed;2;s\nMainForm.tntSpeed;2;ts\nMainForm.bit;2;b\nMainForm.tntBit;2;"
      "tb\nMainForm.btnSend;2;go\n"
      "MainForm.PageControl1;2;no\nMainForm.PageControl1.;2;tab\nMainForm.PageControl1..Memo;2;no\n"
      "Other;2;other\nmainform.l_in;2;wrong case\nMainForm.l_in;2;second");
  SetInterfaceLanguage(app, 2);
  EXPECT_THAT(log, ElementsAre("MainForm caption8 ??? Title", "l_in caption16 in", "speed hint8 s",
                               "tntSpeed hint16 ts", "bit caption8 b", "tntBit caption8 tb",
                               "tntBit caption16 tb", "btnSend caption8 go", "btnSend caption16 go",
                               " caption8 tab", "Other caption8 other", "Other caption16 other"));
}

TEST_F(WalkerTest, LanguagesWithoutRecordsChangeNothing) {
  Install("MainForm.l_in;5;en\nMainForm.btnSend;5;Enviar\nMainForm.l_in;6;dans");
  SetInterfaceLanguage(app, 5);
  SetInterfaceLanguage(app, 6);
  SetInterfaceLanguage(app, 4);
  EXPECT_THAT(log, ElementsAre("l_in caption16 en", "btnSend caption8 Enviar",
                               "btnSend caption16 Enviar", "l_in caption16 dans"));
}

}  // namespace
}  // namespace uilocal
