// The settings file on disk: what a write keeps of the file it replaces, and what it refuses to
// do. The cases about modes run in a forked child as an unprivileged user when the test runs as
// root, since root reads and writes whatever it likes.
#include "platform/profile.h"
#include "platform/location.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "testsupport/temp_dir.h"

// The calls that make a write durable, watched and failed at will: the writer calls them by
// their plain names, and these definitions come before the C library's.
namespace {
struct FileCalls {
  bool watching = false;
  std::vector<std::string> log;  // "fsync PATH", "rename FROM TO"
  int fsyncError = 0, renameError = 0, fallocateError = 0;
  std::string fsyncFailsFor;  // with fsyncError: only this file's fsync fails (else every one)
  std::string readFailsFor;   // reading this file fails with EIO
};
FileCalls calls;

std::string PathOfFd(int fd) {
  char buffer[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "?";
}

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int fsync(int fd) {
  if (calls.watching) calls.log.push_back("fsync " + PathOfFd(fd));
  if (calls.fsyncError != 0 &&
      (calls.fsyncFailsFor.empty() || calls.fsyncFailsFor == PathOfFd(fd))) {
    errno = calls.fsyncError;
    return -1;
  }
  static const auto real = Real<int (*)(int)>("fsync");
  return real(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
  if (calls.watching) calls.log.push_back(std::string("rename ") + from + " " + to);
  if (calls.renameError != 0) {
    errno = calls.renameError;
    return -1;
  }
  static const auto real = Real<int (*)(const char*, const char*)>("rename");
  return real(from, to);
}

extern "C" ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  if (!calls.readFailsFor.empty() && calls.readFailsFor == PathOfFd(fd)) {
    errno = EIO;
    return -1;
  }
  static const auto real = Real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  return real(fd, buffer, size, offset);
}

extern "C" int posix_fallocate(int fd, off_t offset, off_t length) {
  if (calls.fallocateError != 0) return calls.fallocateError;
  static const auto real = Real<int (*)(int, off_t, off_t)>("posix_fallocate");
  return real(fd, offset, length);
}

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
  ::setenv("XDG_CONFIG_HOME", "", 1);  // set but empty is not set, as the XDG rules say
  EXPECT_EQ(ProfilePath("parlavant.ini"), "/home/u/.config/parlavant/parlavant.ini");
  ::setenv("HOME", "", 1);
  EXPECT_EQ(ProfilePath("parlavant.ini"), "./parlavant/parlavant.ini");
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
  static std::size_t Entries(const std::string& dir) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  }
  // Whether some process waits in flock() for a lock on the file, within two seconds.
  static bool SomeoneWaitsToLock(const std::string& path) {
    const std::string inode = ":" + std::to_string(Stat(path).st_ino) + " ";
    for (int i = 0; i < 200; ++i) {
      std::ifstream locks("/proc/locks");
      for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) {
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  static struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  // Runs `body` in a forked child whose failures fail the test: as uid and gid 65534 when the
  // test runs as root (under root it is the only way modes count), or with mounts of its own (in
  // a user namespace when not root; skipped where the system allows neither).
  enum class Child { kUnprivileged, kOwnMounts };
  static void In(Child how, const std::function<void()>& body) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const bool root = ::geteuid() == 0;
      if (how == Child::kUnprivileged && root &&
          (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
        ::_exit(3);
      }
      if (how == Child::kOwnMounts &&
          (::unshare(root ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
        ::_exit(77);
      }
      body();
      ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child failed (3: it could not drop privileges)";
  }

  testsupport::TempDir temp_{"pini"};
  const std::string dir_ = temp_.Path();
  const std::string mine_ =
      "; my "
      "settings\r\n[General]\r\nReceive=3\r\nWebService=example.org:80\r\n\r\n[Mine]\r\nA=1\r\n";
};

TEST_F(ProfileFileTest, AFileThatCannotBeReadOrWrittenIsLeftAloneAndTheWriteFails) {
  In(Child::kUnprivileged, [&] {
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

// A file that fails as it is read (a bad sector) cannot be merged into: the write fails and
// leaves it, rather than writing one key over all the others.
TEST_F(ProfileFileTest, AReadErrorOnTheOldFileFailsTheWriteAndLeavesIt) {
  const std::string path = Path("parlavant.ini");
  Put(path, mine_, 0644);
  calls = {};
  calls.readFailsFor = fs::canonical(path).string();
  ProfileFile file(path);
  const bool written = file.WriteString("General", "Left", "230");
  calls = {};
  EXPECT_FALSE(written);
  EXPECT_EQ(file.LastError(), "Input/output error");
  EXPECT_EQ(testsupport::FileText(path), mine_);
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

  // A loop of links is refused with the system's reason, and nothing is made anywhere.
  ASSERT_EQ(::symlink("l2", Path("l1").c_str()), 0);
  ASSERT_EQ(::symlink("l3", Path("l2").c_str()), 0);
  ASSERT_EQ(::symlink("l1", Path("l3").c_str()), 0);
  const std::size_t before = Entries(dir_);
  ProfileFile looped(Path("l1"));
  EXPECT_FALSE(looped.WriteString("General", "Left", "1"));
  EXPECT_EQ(looped.LastError(), "Too many levels of symbolic links");
  EXPECT_EQ(Entries(dir_), before);

  const std::string deep = Path("a/b/parlavant.ini");
  ASSERT_TRUE(ProfileFile(deep).WriteString("General", "Left", "1"));
  EXPECT_EQ(testsupport::FileText(deep), "[General]\r\nLeft=1\r\n");
}

TEST_F(ProfileFileTest, AFileInADirectoryThatCannotBeWrittenIsWrittenInPlace) {
  In(Child::kUnprivileged, [&] {
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

// A size limit stands in for a full disk: the write stops short, as it would there. Replaced,
// in place in a directory that cannot be written, and in place (a hard-linked file) where the
// file system cannot take room first: the old text is put back and the file cut to its length.
TEST_F(ProfileFileTest, AWriteThatCannotBeStoredWholeLeavesTheOldFileWhole) {
  In(Child::kUnprivileged, [&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const std::string locked = Path("locked"), linked = Path("linked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(linked.c_str(), 0700), 0);
    for (const std::string& where : {dir_, locked, linked}) {
      SCOPED_TRACE(where);
      const std::string path = where + "/parlavant.ini";
      Put(path, mine_, 0600);
      if (where == locked) {
        ASSERT_EQ(::chmod(locked.c_str(), 0500), 0);
      }
      if (where == linked) {
        ASSERT_EQ(::link(path.c_str(), (linked + "/other.ini").c_str()), 0);
        calls.fallocateError = EOPNOTSUPP;
      }
      const rlimit limit{mine_.size() + 100, RLIM_INFINITY};
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
      ProfileFile file(path);
      EXPECT_FALSE(file.WriteString("General", "Long", std::string(500, 'x')));
      EXPECT_EQ(file.LastError(), "File too large");
      EXPECT_EQ(testsupport::FileText(path), mine_);
      // No sibling left behind (dir_ also holds the other two directories).
      EXPECT_EQ(Entries(where), where == dir_ ? 3u : where == linked ? 2u : 1u);
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

// What lets a replaced file survive a crash: the new text is on disk before it takes the file's
// name, and the new name before the write is said done. A sync or rename that fails fails the
// write and leaves the old file; a file on another file system (EXDEV) is written in place.
TEST_F(ProfileFileTest, AReplacementIsSyncedBeforeItTakesTheNameAndFailuresLeaveTheOldFile) {
  const std::string path = Path("parlavant.ini"), dir = fs::canonical(dir_).string();
  Put(path, mine_, 0644);
  struct Outcome {
    bool written;
    std::string error;
    std::vector<std::string> log;
  };
  const auto writeUnder = [&](int fsyncError, int renameError, const std::string& value,
                              const std::string& fsyncFailsFor = {}) {
    calls = {};
    calls.fsyncError = fsyncError;
    calls.fsyncFailsFor = fsyncFailsFor;
    calls.renameError = renameError;
    calls.watching = true;
    ProfileFile file(path);
    Outcome outcome{file.WriteString("General", "Left", value), file.LastError(), calls.log};
    calls = {};
    return outcome;
  };
  const Outcome done = writeUnder(0, 0, "1");
  ASSERT_TRUE(done.written);
  ASSERT_EQ(done.log.size(), 3u);
  const std::string sibling = fs::path(done.log[0].substr(6)).filename();
  EXPECT_EQ(done.log[0], "fsync " + dir + "/" + sibling);
  EXPECT_TRUE(sibling.starts_with(".parlavant.ini.")) << sibling;
  EXPECT_EQ(done.log[1], "rename " + Path(sibling) + " " + path);
  EXPECT_EQ(done.log[2], "fsync " + dir);

  const ino_t inode = Stat(path).st_ino;
  for (const auto& [fsyncError, renameError] : {std::pair{EIO, 0}, std::pair{0, EIO}}) {
    const Outcome failed = writeUnder(fsyncError, renameError, "2");
    EXPECT_FALSE(failed.written);
    EXPECT_EQ(failed.error, "Input/output error");
    EXPECT_EQ(ProfileFile(path).ReadInteger("General", "Left", 0), 1);
    EXPECT_EQ(Entries(dir_), 1u);
  }

  const Outcome inPlace = writeUnder(0, EXDEV, "12");
  ASSERT_TRUE(inPlace.written);
  EXPECT_EQ(inPlace.log.back(), "fsync " + dir + "/parlavant.ini");
  EXPECT_EQ(Stat(path).st_ino, inode);
  EXPECT_EQ(ProfileFile(path).ReadInteger("General", "Left", 0), 12);
  EXPECT_EQ(Entries(dir_), 1u);
  // Written in place but not made durable: not saved.
  const Outcome unsynced = writeUnder(EIO, EXDEV, "13", dir + "/parlavant.ini");
  EXPECT_FALSE(unsynced.written);
  EXPECT_EQ(unsynced.error, "Input/output error");
}

// A settings file bind-mounted onto its place (a container's, say) cannot be renamed over
// (EBUSY): it is written in place, through the mount.
TEST_F(ProfileFileTest, ABindMountedFileIsWrittenThroughTheMount) {
  In(Child::kOwnMounts, [&] {
    Put(Path("real.ini"), mine_, 0644);
    Put(Path("parlavant.ini"), "", 0644);
    ASSERT_EQ(
        ::mount(Path("real.ini").c_str(), Path("parlavant.ini").c_str(), nullptr, MS_BIND, nullptr),
        0);
    ProfileFile file(Path("parlavant.ini"));
    EXPECT_TRUE(file.WriteString("General", "Left", "9")) << file.LastError();
    EXPECT_EQ(ProfileFile(Path("real.ini")).ReadInteger("General", "Left", 0), 9);
    EXPECT_EQ(ProfileFile(Path("real.ini")).ReadString("Mine", "A", ""), "1");
  });
}

// On a full disk, a longer text written in place (a hard-linked file cannot be replaced) asks
// for its room before a byte is written: the file is never touched.
TEST_F(ProfileFileTest, OnAFullDiskAWriteInPlaceNeverTouchesTheFile) {
  In(Child::kOwnMounts, [&] {
    const std::string disk = Path("disk"), path = disk + "/parlavant.ini";
    ASSERT_EQ(::mkdir(disk.c_str(), 0700), 0);
    ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k"), 0);
    Put(path, mine_, 0600);
    ASSERT_EQ(::link(path.c_str(), (disk + "/linked.ini").c_str()), 0);
    const int filler = ::open((disk + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string page(4096, 'f');
    while (::write(filler, page.data(), page.size()) > 0) {
    }
    ::close(filler);
    const struct stat before = Stat(path);
    ProfileFile file(path);
    EXPECT_FALSE(file.WriteString("General", "Long", std::string(8000, 'x')));
    EXPECT_EQ(file.LastError(), "No space left on device");
    EXPECT_EQ(testsupport::FileText(path), mine_);
    EXPECT_EQ(Stat(path).st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  });
}

// Whoever holds the file's lock (another copy writing in place) is waited for by readers and
// writers, so that neither takes half a file for the whole; writers also take turns on the
// directory, whose lock a replacement never loses.
TEST_F(ProfileFileTest, ReadersAndWritersWaitForWhoeverHoldsTheLocks) {
  const std::string path = Path("parlavant.ini");
  Put(path, "[General]\r\nReceive=3\r\n", 0644);
  const int held = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  ASSERT_EQ(::ftruncate(held, 11), 0);  // half written: "[General]\r\n"
  auto reading = std::async(std::launch::async,
                            [&] { return ProfileFile(path).ReadInteger("General", "Receive", 0); });
  EXPECT_TRUE(SomeoneWaitsToLock(path));
  auto writing = std::async(std::launch::async,
                            [&] { return ProfileFile(path).WriteString("General", "Left", "5"); });
  const std::string rest = "Receive=4\r\n";
  ASSERT_EQ(::pwrite(held, rest.data(), rest.size(), 11), static_cast<ssize_t>(rest.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(writing.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  ::close(held);
  EXPECT_EQ(reading.get(), 4);
  EXPECT_TRUE(writing.get());

  const int directory = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  ASSERT_EQ(::flock(directory, LOCK_EX), 0);
  writing = std::async(std::launch::async,
                       [&] { return ProfileFile(path).WriteString("General", "Top", "7"); });
  EXPECT_TRUE(SomeoneWaitsToLock(dir_));
  ::close(directory);
  EXPECT_TRUE(writing.get());
  EXPECT_EQ(ProfileFile(path).ReadInteger("General", "Left", 0), 5);
  EXPECT_EQ(ProfileFile(path).ReadInteger("General", "Top", 0), 7);
}

// Another program replaces the file while a write waits for its lock: the write starts again on
// the new file and keeps what the other program wrote.
TEST_F(ProfileFileTest, AFileReplacedWhileAWriteWaitsIsWrittenAnew) {
  const std::string path = Path("parlavant.ini");
  Put(path, mine_, 0644);
  const int held = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  auto writing = std::async(std::launch::async,
                            [&] { return ProfileFile(path).WriteString("General", "Left", "5"); });
  EXPECT_TRUE(SomeoneWaitsToLock(path));
  Put(Path("theirs.tmp"), "[Theirs]\r\nB=2\r\n", 0644);
  ASSERT_EQ(::rename(Path("theirs.tmp").c_str(), path.c_str()), 0);
  ::close(held);
  EXPECT_TRUE(writing.get());
  EXPECT_EQ(testsupport::FileText(path), "[Theirs]\r\nB=2\r\n[General]\r\nLeft=5\r\n");
}

// A FIFO or a device in the settings' place (a settings file linked to /dev/null, to keep
// nothing) is not replaced by a file, nor written.
TEST_F(ProfileFileTest, ASpecialFileInTheSettingsPlaceIsLeftAsItIs) {
  ASSERT_EQ(::mkfifo(Path("fifo.ini").c_str(), 0644), 0);
  ProfileFile fifo(Path("fifo.ini"));
  EXPECT_FALSE(fifo.WriteString("General", "Left", "1"));
  EXPECT_EQ(fifo.ReadInteger("General", "Left", 7), 7);
  EXPECT_TRUE(S_ISFIFO(Stat(Path("fifo.ini")).st_mode));
  if (::mknod(Path("null.ini").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) {
    GTEST_SKIP() << "no device node can be made here (not root)";
  }
  ProfileFile device(Path("null.ini"));
  EXPECT_FALSE(device.WriteString("General", "Left", "1"));
  EXPECT_EQ(device.LastError(), "Invalid argument");
  EXPECT_TRUE(S_ISCHR(Stat(Path("null.ini")).st_mode));
  // A device that never ends (as /dev/zero) gives the defaults, not a read without end.
  ASSERT_EQ(::mknod(Path("zero.ini").c_str(), S_IFCHR | 0666, ::makedev(1, 5)), 0);
  EXPECT_EQ(ProfileFile(Path("zero.ini")).ReadInteger("General", "Left", 7), 7);
  EXPECT_EQ(Entries(dir_), 3u);
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
