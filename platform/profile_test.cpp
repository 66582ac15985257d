#include "platform/profile.h"
#include "platform/location.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "testsupport/temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

TEST(ProfileText, LooksUpKeysOfTheirOwnSectionWithoutRegardToCase) {
  const std::string text =
      "; settings\r\n[Other]\r\nLeft=1\r\n[general]\r\n  left =  230 \r\nTop=\"160\"\r\nName='a "
      "b'\r\n"
      "Empty=\r\nnot a pair\r\n[General2]\r\nWidth=9\r\n";
  EXPECT_EQ(ProfileLookup(text, "General", "Left"), "230");
  EXPECT_EQ(ProfileLookup(text, "GENERAL", "top"), "160");
  EXPECT_EQ(ProfileLookup(text, "General", "Name"), "a b");
  EXPECT_EQ(ProfileLookup(text, "General", "Empty"), "");
  EXPECT_EQ(ProfileLookup(text, "General", "Width"), std::nullopt);
  EXPECT_EQ(ProfileLookup(text, "Missing", "Left"), std::nullopt);
  // Tabs are blanks around names too; a ';' line is a comment even when it holds a pair.
  const std::string tabs = "[General]\r\n\t Receive \t=\t3\r\n;Send=7\r\n";
  EXPECT_EQ(ProfileLookup(tabs, "General", "Receive"), "3");
  EXPECT_EQ(ProfileLookup(tabs, "General", "Send"), std::nullopt);
  EXPECT_EQ(ProfileAssign(tabs, "General", "Send", "2"), tabs + "Send=2\r\n");
  EXPECT_EQ(ProfileLookup("[General]\nKey=" + std::string(3000, 'v'), "General", "Key")->size(),
            kMaxProfileValue);
}

TEST(ProfileLocation, ConfigHomeOrHomeThenTheProgramsFolder) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const std::string savedConfig = config ? config : "", savedHome = home ? home : "";
  ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(ProfilePath("parlavant.ini"), "/cfg/parlavant/parlavant.ini");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(ProfilePath("parlavant.ini"), "/home/u/.config/parlavant/parlavant.ini");
  config ? ::setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
  home ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

TEST(ProfileText, AssignChangesOneLineAndKeepsEveryOtherAsItWas) {
  const std::string text =
      "; mine\r\n[General]\r\nReceive=1\r\nOdd line\r\n\r\n[Other]\r\nSend=9\r\n";
  EXPECT_EQ(ProfileAssign(text, "general", "receive", "4"),
            "; mine\r\n[General]\r\nreceive=4\r\nOdd line\r\n\r\n[Other]\r\nSend=9\r\n");
  EXPECT_EQ(ProfileAssign(text, "General", "Send", "2"),
            "; mine\r\n[General]\r\nReceive=1\r\nOdd line\r\nSend=2\r\n\r\n[Other]\r\nSend=9\r\n");
  EXPECT_EQ(ProfileAssign(text, "New", "Top", "160"), text + "[New]\r\nTop=160\r\n");
  EXPECT_EQ(ProfileAssign("", "General", "Left", "230"), "[General]\r\nLeft=230\r\n");
  EXPECT_EQ(ProfileAssign("[General]\nA=1", "General", "B", "2"), "[General]\nA=1\nB=2\n");
}

TEST(ProfileText, IntegersDecimalOrHexadecimal) {
  EXPECT_EQ(ParseProfileInteger("230"), 230);
  EXPECT_EQ(ParseProfileInteger("-5"), -5);
  EXPECT_EQ(ParseProfileInteger("+7"), 7);
  EXPECT_EQ(ParseProfileInteger("0x1F"), 31);
  EXPECT_EQ(ParseProfileInteger("0XfF"), 255);
  EXPECT_EQ(ParseProfileInteger("0xFFFFFFFF"), -1);
  EXPECT_EQ(ParseProfileInteger("2147483647"), 2147483647);
  EXPECT_EQ(ParseProfileInteger("-2147483648"), -2147483647 - 1);
  for (const char* bad :
       {"", "0x", "0x1G", "12a", "abc", "2147483648", "0x100000000", "1 2", "-"}) {
    EXPECT_EQ(ParseProfileInteger(bad), std::nullopt) << bad;
  }
}

class ProfileFileTest : public ::testing::Test {
 protected:
  testsupport::TempDir temp_{"pini"};
  const std::string dir_ = temp_.Path();
};

TEST_F(ProfileFileTest, MissingFileGivesDefaultsAndTheFirstWriteMakesIt) {
  ProfileFile file(dir_ + "/parlavant/parlavant.ini");
  EXPECT_EQ(file.ReadInteger("General", "Left", 230), 230);
  EXPECT_EQ(file.ReadString("General", "WebService", "x"), "x");
  ASSERT_TRUE(file.WriteString("General", "Left", "12"));
  ASSERT_TRUE(file.WriteString("General", "ShowWarn", "0"));
  EXPECT_EQ(file.ReadInteger("General", "Left", 230), 12);
  EXPECT_EQ(file.ReadInteger("General", "ShowWarn", 1), 0);
  std::ifstream in(file.Path());
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "[General]\r\nLeft=12\r\nShowWarn=0\r\n");
}

TEST_F(ProfileFileTest, MalformedValueGivesTheDefault) {
  std::ofstream(dir_ + "/p.ini") << "[General]\nReceive=two\nSend= 0x2 \n";
  ProfileFile file(dir_ + "/p.ini");
  EXPECT_EQ(file.ReadInteger("General", "Receive", 0), 0);
  EXPECT_EQ(file.ReadInteger("General", "Send", 0), 2);
}

TEST_F(ProfileFileTest, WriteFailsWhereTheDirectoryCannotBeWritten) {
  if (::geteuid() == 0) {
    // Root writes anywhere; a path under a regular file cannot be made by anyone.
    std::ofstream(dir_ + "/plain") << "x";
    EXPECT_FALSE(ProfileFile(dir_ + "/plain/parlavant.ini").WriteString("General", "Left", "1"));
    return;
  }
  fs::create_directory(dir_ + "/locked");
  ::chmod((dir_ + "/locked").c_str(), 0500);
  EXPECT_FALSE(ProfileFile(dir_ + "/locked/parlavant.ini").WriteString("General", "Left", "1"));
}

TEST_F(ProfileFileTest, StartupTempDirectoryIsCreatedLevelByLevel) {
  const std::string wanted = dir_ + "/a/b/TEMP";
  const char* saved = std::getenv("TMPDIR");
  const std::string before = saved ? saved : "";
  ::setenv("TMPDIR", wanted.c_str(), 1);
  EnsureStartupTempDirectory();
  EnsureStartupTempDirectory();  // already there: nothing to do, nothing fails
  if (saved)
    ::setenv("TMPDIR", before.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
  EXPECT_TRUE(fs::is_directory(wanted));
}

}  // namespace
}  // namespace platform
