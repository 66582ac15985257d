#include "xmpp/account_settings.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/error.h"
#include "platform/secret.h"
#include "testsupport/scoped_variable.h"
#include "testsupport/temp_dir.h"

namespace xmpp {
namespace {

TEST(AccountSettings, TildeIsTheHomeDirectoryWhereverTheUserWritesAPath) {
  testsupport::TempDir home("phome");
  testsupport::ScopedVariable homeVariable("HOME", home.Path());
  EXPECT_EQ(ExpandHome("~/.config/pw"), home.Path() + "/.config/pw");
  EXPECT_EQ(ExpandHome("~"), home.Path());
  EXPECT_EQ(ExpandHome("~bob/pw"), "~bob/pw");  // another user's home is not guessed
  EXPECT_EQ(ExpandHome("/x/~/pw"), "/x/~/pw");

  // A password file named with "~" is read from the home directory; one that others may read is
  // refused.
  platform::WritePrivateFile(home.Path() + "/pw", "secret\n");
  AccountSettings s;
  s.jid = "alice@localhost";
  s.passwordFile = "~/pw";
  EXPECT_EQ(FindPassword(s, nullptr), "secret");
#ifndef _WIN32
  ::chmod((home.Path() + "/pw").c_str(), 0644);
  EXPECT_THROW(FindPassword(s, nullptr), platform::Error);
#endif
}

TEST(AccountSettings, TheAccountIsKeptWithoutItsPasswordAndReadBack) {
  testsupport::TempDir dir("pacct");
  AccountSettings written;
  written.settingsFile = dir.Path() + "/parlavant-xmpp.ini";
  written.jid = "alice@example.org";
  written.server = "[::1]:5223";
  written.caFile = "~/ca.pem";
  std::string error;
  ASSERT_TRUE(WriteAccountSettings(written, error)) << error;
  AccountSettings read;
  read.settingsFile = written.settingsFile;
  ReadAccountSettings(read);
  EXPECT_EQ(read.jid, "alice@example.org");
  EXPECT_EQ(read.server, "[::1]:5223");
  const Account account = MakeAccount(read, "pw");
  EXPECT_EQ(account.host, "::1");
  EXPECT_EQ(account.port, 5223);
  EXPECT_THROW(MakeAccount(AccountSettings{}, "pw"), platform::Error);
}

}  // namespace
}  // namespace xmpp
