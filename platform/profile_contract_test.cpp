// What a profile file's reader and writer promise, as one table of files, look-ups and writes.
// Each row runs on a real file. What a read gives back is the contract every implementation
// keeps; the bytes a file holds afterwards are this implementation's own (Windows' functions
// rewrite the whole file), and a row that an implementation answers otherwise on purpose says so.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "testsupport/temp_dir.h"

namespace platform {
namespace {

using namespace std::string_literals;

// The reader and writer under test: ProfileFile, which is this layer's own reader and writer
// elsewhere and Windows' own functions on Windows.
class ProfileImplementation {
 public:
  virtual ~ProfileImplementation() = default;
  virtual std::string Read(const std::string& path, const std::string& section,
                           const std::string& key, const std::string& fallback) = 0;
  virtual bool Write(const std::string& path, const std::string& section, const std::string& key,
                     const std::string& value) = 0;
  // Whether the bytes of the file afterwards are this layer's to check.
  virtual bool OwnWriter() const = 0;
  // Whether the functions are Windows' own on Windows itself (Wine's answer as this layer does
  // where Windows differs on purpose).
  virtual bool RealWindows() const = 0;
};

class ProfileFileImplementation : public ProfileImplementation {
 public:
  std::string Read(const std::string& path, const std::string& section, const std::string& key,
                   const std::string& fallback) override {
    return ProfileFile(path).ReadString(section, key, fallback);
  }
  bool Write(const std::string& path, const std::string& section, const std::string& key,
             const std::string& value) override {
    return ProfileFile(path).WriteString(section, key, value);
  }
#ifdef _WIN32
  bool OwnWriter() const override {
    return false;
  }
  bool RealWindows() const override {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
  }
#else
  bool OwnWriter() const override {
    return true;
  }
  bool RealWindows() const override {
    return false;
  }
#endif
};

struct Step {
  bool write;
  std::string section, key;
  std::string value;     // a read's default, a write's value
  std::string expected;  // what a read gives
};
Step Read(std::string section, std::string key, std::string fallback, std::string expected) {
  return {false, std::move(section), std::move(key), std::move(fallback), std::move(expected)};
}
Step Write(std::string section, std::string key, std::string value) {
  return {true, std::move(section), std::move(key), std::move(value), {}};
}

// A row that Windows' own functions answer otherwise, because this layer does better on purpose
// (Wine's functions answer as this layer does). Skipped on Windows itself.
enum class Differs { kNone, kWindows };

struct Row {
  const char* name;
  std::optional<std::string> file;  // nothing: no file at all
  std::vector<Step> steps;
  std::optional<std::string> bytes;  // the file afterwards, for this implementation
  Differs differs = Differs::kNone;
};

std::string Utf16(std::u16string_view text, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : text) {
    const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

const std::string kMixed =
    "; settings\r\n[Other]\r\nLeft=1\r\n[general]\r\n  left =  230 \r\nTop=\"160\"\r\n"
    "Name='a b'\r\nEmpty=\r\nnot a pair\r\nPadded=\" 7 \"\r\n[General2]\r\nWidth=9\r\n";
const std::string kMine =
    "; mine\r\n[General]\r\nreceive=1\r\nOdd line\r\n\r\n[Other]\r\nSend=9\r\n";
const std::string kTwice =
    "[General]\r\nReceive=1\r\n\r\n[Other]\r\nX=1\r\n[General]\r\nSend=5\r\nReceive=9\r\n";
const std::u16string kUnicode =
    u"[General]\r\nReceive=3\r\n; \u041F\u0440\u0438\u0432\u0435\u0442\r\n";

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"no file: defaults, and the first write makes it",
       std::nullopt,
       {Read("General", "Left", "230", "230"), Write("General", "Left", "12"),
        Write("General", "ShowWarn", "0"), Read("General", "Left", "230", "12"),
        Read("General", "ShowWarn", "1", "0")},
       "[General]\r\nLeft=12\r\nShowWarn=0\r\n"},
      {"sections and keys without regard to case, blanks and quotes dropped",
       kMixed,
       {Read("General", "Left", "x", "230"), Read("GENERAL", "top", "x", "160"),
        Read("General", "Name", "x", "a b"), Read("General", "Empty", "x", ""),
        Read("General", "Padded", "x", " 7 "), Read("General", "not a pair", "x", "x"),
        Read("General", "Width", "x", "x"), Read("Missing", "Left", "x", "x")},
       kMixed},
      {"a ';' line is a comment even when it holds a pair; tabs are blanks",
       "[General]\r\n\t Receive \t=\t3\r\n;Send=7\r\n",
       {Read("General", "Receive", "d", "3"), Read("General", "Send", "d", "d"),
        Write("General", "Send", "2"), Read("General", "Send", "d", "2")},
       "[General]\r\n\t Receive \t=\t3\r\n;Send=7\r\nSend=2\r\n"},
      {"the first of two lines of a key is read and written",
       "[General]\r\nA=1\r\nA=2\r\n",
       {Read("General", "A", "", "1"), Write("General", "A", "3"), Read("General", "A", "", "3")},
       "[General]\r\nA=3\r\nA=2\r\n"},
      {"at most 2047 characters of a value",
       "[General]\nKey=" + std::string(3000, 'v') + "\n",
       {Read("General", "Key", "", std::string(kMaxProfileValue, 'v'))},
       std::nullopt},
      {"high bytes pass as they are",
       "[General]\r\nName=\xE9t\xE9\r\n",
       {Read("General", "Name", "", "\xE9t\xE9"), Write("General", "Name", "\xE0")},
       "[General]\r\nName=\xE0\r\n"},
      {"a write keeps the key's spelling and every other line",
       kMine,
       {Write("General", "Receive", "4"), Write("General", "Send", "2"),
        Read("general", "RECEIVE", "", "4"), Read("Other", "Send", "", "9")},
       "; mine\r\n[General]\r\nreceive=4\r\nOdd line\r\nSend=2\r\n\r\n[Other]\r\nSend=9\r\n"},
      {"a new section goes at the end",
       kMine,
       {Write("New", "Top", "160"), Read("New", "Top", "", "160")},
       kMine + "[New]\r\nTop=160\r\n"},
      {"LF line ends, and a last line without one",
       "[General]\nA=1",
       {Write("General", "B", "2"), Read("General", "A", "", "1"), Read("General", "B", "", "2")},
       "[General]\nA=1\nB=2\n"},
      {"a CR alone ends a line",
       "[General]\rReceive=3\r",
       {Read("General", "Receive", "0", "3"), Write("General", "Receive", "4"),
        Write("General", "Send", "2"), Read("General", "Receive", "0", "4"),
        Read("General", "Send", "0", "2")},
       "[General]\rReceive=4\rSend=2\r"},
      {"a CR inside a line, and LF CR",
       "[General]\r\nReceive=1\rSend=4\r\n\n\rTop=5\n\r",
       {Read("General", "Receive", "0", "1"), Read("General", "Send", "0", "4"),
        Read("General", "Top", "0", "5"), Write("General", "Send", "6"),
        Read("General", "Send", "0", "6")},
       "[General]\r\nReceive=1\rSend=6\r\n\n\rTop=5\n\r"},
      {"only a section's first occurrence is read and written",
       kTwice,
       {Read("General", "Receive", "0", "1"), Read("General", "Send", "0", "0"),
        Write("General", "Send", "2"), Read("General", "Send", "0", "2")},
       "[General]\r\nReceive=1\r\nSend=2\r\n\r\n[Other]\r\nX=1\r\n[General]\r\nSend=5\r\n"
       "Receive=9\r\n"},
      {"blanks are 0x09-0x0D, space and Ctrl-Z; a NUL ends a value",
       "[General]\r\nReceive=\x0b"
       "3\x0c\r\n\x1aSend\x1a=\x1a 4 \x1a\r\nTop=5\0 9\r\n"s,
       {Read("General", "Receive", "", "3"), Read("General", "Send", "", "4"),
        Read("General", "Top", "", "5")},
       std::nullopt},
      {"a new key goes before a closing Ctrl-Z line",
       "[General]\r\nReceive=1\r\n\x1a",
       {Write("General", "Send", "2"), Read("General", "Send", "", "2")},
       "[General]\r\nReceive=1\r\nSend=2\r\n\x1a"},
      {"UTF-16 LE with its mark: read, and written back as UTF-16",
       Utf16(kUnicode, false),
       {Read("General", "Receive", "0", "3"), Write("General", "Send", "2"),
        Write("General", "Name", "Caf\xE9"), Read("General", "Send", "0", "2"),
        Read("General", "Name", "", "Caf\xE9")},
       Utf16(kUnicode + u"Send=2\r\nName=Caf\u00E9\r\n", false)},
      {"UTF-16 BE with its mark",
       Utf16(u"[General]\r\nReceive=3\r\n", true),
       {Read("General", "Receive", "0", "3"), Write("General", "Receive", "5")},
       Utf16(u"[General]\r\nReceive=5\r\n", true)},
      // Windows would take the mark as part of the first line and so miss the first section;
      // Wine passes over it too.
      {"a UTF-8 mark is passed over, and values cross in the ANSI code page",
       "\xEF\xBB\xBF[General]\r\nReceive=3\r\nName=Caf\xC3\xA9\r\n",
       {Read("General", "Receive", "0", "3"), Read("General", "Name", "", "Caf\xE9"),
        Write("General", "Name", "\xE9t\xE9")},
       "\xEF\xBB\xBF[General]\r\nReceive=3\r\nName=\xC3\xA9t\xC3\xA9\r\n",
       Differs::kWindows},
  };
  return rows;
}

class ProfileContract : public ::testing::TestWithParam<std::shared_ptr<ProfileImplementation>> {};

TEST_P(ProfileContract, EveryRow) {
  ProfileImplementation& profile = *GetParam();
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    if (row.differs == Differs::kWindows && profile.RealWindows()) continue;
    testsupport::TempDir dir("pcontract");
    const std::string path = dir / "parlavant.ini";
    if (row.file) std::ofstream(path, std::ios::binary) << *row.file;
    for (const Step& step : row.steps) {
      SCOPED_TRACE(step.key + (step.write ? " written" : " read"));
      if (step.write) {
        EXPECT_TRUE(profile.Write(path, step.section, step.key, step.value));
      } else {
        EXPECT_EQ(profile.Read(path, step.section, step.key, step.value), step.expected);
      }
    }
    if (row.bytes && profile.OwnWriter()) {
      EXPECT_EQ(testsupport::FileText(path), *row.bytes);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ProfileFile, ProfileContract,
                         ::testing::Values(std::make_shared<ProfileFileImplementation>()));

}  // namespace
}  // namespace platform
