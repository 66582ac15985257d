// The settings file on disk: what a write keeps of the file it replaces, and what it refuses to
// do. The cases about modes run in a forked child as an unprivileged user when the test runs as
// root, since root reads and writes whatever it likes.
#include "platform/profile.h"
#include "platform/location.h"

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "testsupport/temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

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

class ProfileFileTest : public ::testing::Test {
 protected:
  ProfileFileTest() {
    // The unprivileged child must be able to work in the scratch directory.
    if (::geteuid() == 0 && ::chown(dir_.c_str(), kNobody, kNobody) != 0) std::abort();
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static void Put(const std::string& path, const std::string& bytes, mode_t mode) {
    std::ofstream(path, std::ios::binary) << bytes;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  }
  static struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  // Runs `body` in a forked child, as uid and gid 65534 when the test runs as root; the child's
  // failures fail the test. Never skipped: under root it is the only way modes count.
  static void AsUnprivileged(const std::function<void()>& body) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (::geteuid() == 0 &&
          (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
        ::_exit(3);
      }
      body();
      ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child failed (3: it could not drop privileges)";
  }

  testsupport::TempDir temp_{"pini"};
  const std::string dir_ = temp_.Path();
  const std::string mine_ =
      "; my "
      "settings\r\n[General]\r\nReceive=3\r\nWebService=example.org:80\r\n\r\n[Mine]\r\nA=1\r\n";
};

TEST_F(ProfileFileTest, AFileThatCannotBeReadOrWrittenIsLeftAloneAndTheWriteFails) {
  AsUnprivileged([&] {
    for (const mode_t mode : {0200, 0444, 0000}) {
      SCOPED_TRACE(mode);
      const std::string path = Path("parlavant.ini");
      Put(path, mine_, mode);
      ProfileFile file(path);
      EXPECT_FALSE(file.WriteString("General", "Left", "230"));
      EXPECT_EQ(file.LastError(), "Permission denied");
      // Reading what cannot be read gives the defaults, silently.
      if (mode != 0444) {
        EXPECT_EQ(file.ReadInteger("General", "Receive", 7), 7);
      }
      EXPECT_EQ(Stat(path).st_mode & 07777, mode);
      ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
      EXPECT_EQ(testsupport::FileText(path), mine_);
      ::unlink(path.c_str());
    }
  });
}

TEST_F(ProfileFileTest, AWriteKeepsTheFilesModeOwnerAndHardLinks) {
  const std::string path = Path("parlavant.ini"), link = Path("linked.ini");
  Put(path, mine_, 0640);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
  }
  const struct stat before = Stat(path);
  ASSERT_TRUE(ProfileFile(path).WriteString("General", "Left", "12"));
  struct stat after = Stat(path);
  EXPECT_EQ(after.st_mode & 07777, 0640);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(ProfileFile(path).ReadInteger("General", "Left", 0), 12);

  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
  ASSERT_TRUE(ProfileFile(path).WriteString("General", "Top", "34"));
  after = Stat(path);
  EXPECT_EQ(after.st_mode & 07777, 0600);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(testsupport::FileText(link), testsupport::FileText(path));
  EXPECT_EQ(ProfileFile(link).ReadInteger("General", "Top", 0), 34);
}

TEST_F(ProfileFileTest, ASymbolicLinkIsWrittenThroughAndAMissingDirectoryIsMade) {
  fs::create_directory(Path("dotfiles"));
  Put(Path("dotfiles/parlavant.ini"), mine_, 0644);
  ASSERT_EQ(::symlink("dotfiles/parlavant.ini", Path("parlavant.ini").c_str()), 0);
  ASSERT_TRUE(ProfileFile(Path("parlavant.ini")).WriteString("General", "Receive", "5"));
  EXPECT_TRUE(fs::is_symlink(Path("parlavant.ini")));
  EXPECT_EQ(ProfileFile(Path("dotfiles/parlavant.ini")).ReadInteger("General", "Receive", 0), 5);

  // A link to a file not made yet makes the file where the link points.
  ASSERT_EQ(::symlink("dotfiles/later.ini", Path("later.ini").c_str()), 0);
  ASSERT_TRUE(ProfileFile(Path("later.ini")).WriteString("General", "Send", "1"));
  EXPECT_TRUE(fs::is_symlink(Path("later.ini")));
  EXPECT_EQ(testsupport::FileText(Path("dotfiles/later.ini")), "[General]\r\nSend=1\r\n");

  const std::string deep = Path("a/b/parlavant.ini");
  ASSERT_TRUE(ProfileFile(deep).WriteString("General", "Left", "1"));
  EXPECT_EQ(testsupport::FileText(deep), "[General]\r\nLeft=1\r\n");
}

TEST_F(ProfileFileTest, AFileInADirectoryThatCannotBeWrittenIsWrittenInPlace) {
  AsUnprivileged([&] {
    const std::string locked = Path("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0700), 0);
    const std::string path = locked + "/parlavant.ini";
    Put(path, mine_, 0600);
    ASSERT_EQ(::chmod(locked.c_str(), 0500), 0);
    const ino_t inode = Stat(path).st_ino;
    ProfileFile file(path);
    ASSERT_TRUE(file.WriteString("General", "Receive", "4")) << file.LastError();
    ASSERT_TRUE(file.WriteString("General", "Left", "1234567"));
    EXPECT_EQ(file.ReadInteger("General", "Receive", 0), 4);
    EXPECT_EQ(Stat(path).st_ino, inode);
    EXPECT_EQ(testsupport::FileText(path),
              "; my settings\r\n[General]\r\nReceive=4\r\nWebService=example.org:80\r\n"
              "Left=1234567\r\n\r\n[Mine]\r\nA=1\r\n");
    // A shorter text leaves no tail of the longer one behind.
    ASSERT_TRUE(file.WriteString("General", "Left", "1"));
    EXPECT_EQ(file.ReadInteger("Mine", "A", 0), 1);
    EXPECT_EQ(testsupport::FileText(path).size(), mine_.size() + 8);
    // A new file cannot be made there.
    ProfileFile missing(locked + "/other.ini");
    EXPECT_FALSE(missing.WriteString("General", "Left", "1"));
    EXPECT_EQ(missing.LastError(), "Permission denied");
  });
}

TEST_F(ProfileFileTest, AWriteThatCannotBeStoredWholeLeavesTheOldFileWhole) {
  // A size limit stands in for a full disk: the write stops short, as it would there.
  AsUnprivileged([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const std::string locked = Path("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0700), 0);
    for (const std::string& where : {dir_, locked}) {
      SCOPED_TRACE(where);
      const std::string path = where + "/parlavant.ini";
      Put(path, mine_, 0600);
      if (where == locked) {
        ASSERT_EQ(::chmod(locked.c_str(), 0500), 0);
      }
      const rlimit limit{mine_.size() + 100, RLIM_INFINITY};
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
      ProfileFile file(path);
      EXPECT_FALSE(file.WriteString("General", "Long", std::string(500, 'x')));
      EXPECT_EQ(file.LastError(), "File too large");
      EXPECT_EQ(testsupport::FileText(path), mine_);
      EXPECT_EQ(std::distance(fs::directory_iterator(where), fs::directory_iterator()),
                where == dir_ ? 2 : 1);  // no sibling left behind (dir_ also holds locked/)
      const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
    }
  });
}

TEST_F(ProfileFileTest, ProcessesWritingAtOnceTakeTurnsAndLoseNothing) {
  const std::string path = Path("parlavant.ini");
  Put(path, mine_, 0644);
  constexpr int kWriters = 6, kWrites = 25;
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ProfileFile file(path);
      for (int n = 1; n <= kWrites; ++n) {
        if (!file.WriteString("General", "K" + std::to_string(w), std::to_string(n))) ::_exit(1);
      }
      ::_exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ProfileFile file(path);
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(file.ReadInteger("General", "K" + std::to_string(w), 0), kWrites) << w;
  }
  EXPECT_EQ(file.ReadString("General", "WebService", ""), "example.org:80");
}

TEST_F(ProfileFileTest, IntegersForgiveBlanksInsideQuotesAndAMalformedValueGivesTheDefault) {
  Put(Path("p.ini"), "[General]\nReceive=two\nSend= 0x2 \nTop=\" 160 \"\n", 0644);
  ProfileFile file(Path("p.ini"));
  EXPECT_EQ(file.ReadInteger("General", "Receive", 9), 9);
  EXPECT_EQ(file.ReadInteger("General", "Send", 0), 2);
  EXPECT_EQ(file.ReadInteger("General", "Top", 0), 160);
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
