// Parlavant's window (offscreen, in this process) under load and through failures of its peers:
// the stand-in chat client and the stand-in translator (echo engine, web service on a port of
// the test's own) run as processes; every loop is bounded in count and time.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "app/main_form.h"
#include "platform/codepage.h"
#include "tests/parlavant_fixture.h"
#include "testsupport/desktop_bus.h"
#include "testsupport/net_util.h"
#include "testsupport/qt_support.h"
#include "tools/chatclient/stand_in_client.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;

class LoadTest : public testsupport::ParlavantFixture {
 protected:
  LoadTest() { StartTranslator(); }

  void StartTranslator(std::vector<std::string> extra = {}) {
    translator.reset();
    std::vector<std::string> argv = {
        TRANSLATOR_PATH, "--desktop", DesktopDir(),          "--no-window", "--engine",
        "echo",          "--port",    std::to_string(port_), "--web-port",  std::to_string(port_)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    translator = std::make_unique<ChildProcess>(argv);
    ASSERT_TRUE(testsupport::WaitUntilListening(port_));
  }
  app::TMainForm& StartParlavant(platform::Desktop& on) {
    return ParlavantFixture::StartParlavant(on, port_);
  }

  std::uint16_t port_ = testsupport::FreeLoopbackPort();
  std::unique_ptr<ChildProcess> translator;
};

TEST_F(LoadTest, BurstOfTenThousandMessagesFromTwentyContacts) {
  constexpr int kMessages = 10000, kContacts = 20;
  std::ofstream script(dir_ + "/script");
  script << "wait-attached 20000\n";
  for (int i = 0; i < kMessages; ++i) {
    script << "receive c" << i % kContacts << " m" << i << " \\xD0\\x9F\\xF0\\x9F\\x98\\x80\n";
  }
  script.close();
  app::TMainForm& form = StartParlavant(*desktop);
  const long before = testsupport::ResidentKiB();
  StartClient({"--script", dir_ + "/script"});
  auto lines = [&] {
    int n = 0;
    for (int i = 0; i < form.PageControl1->count(); ++i) {
      n += app::TMainForm::FindMemo(form.PageControl1->widget(i))->document()->blockCount();
    }
    return n;
  };
  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return form.PageControl1->count() == kContacts && lines() == kMessages; }, 240000))
      << lines() << " lines";
  long textKiB = 0;
  for (int c = 0; c < kContacts; ++c) {
    const QStringList got = Memo(form, QString("c%1").arg(c)).split('\n');
    ASSERT_EQ(got.size(), kMessages / kContacts) << "contact " << c;
    for (int k = 0; k < got.size(); ++k) {
      const int i = c + k * kContacts;
      ASSERT_EQ(got[k], QString::fromUtf8("c%1: [en] m%2 П😀(m%2 П😀)").arg(c).arg(i));
    }
    textKiB += Memo(form, QString("c%1").arg(c)).size() * 2 / 1024;
  }
  EXPECT_EQ(form.PendingChatMessages.Count(), 0u);
  EXPECT_TRUE(boxes.empty());
  // Nothing but the text shown grows: a generous bound, far below what keeping a record, a
  // connection or a page per message would cost.
  if (testsupport::kResidentSizeTellsGrowth) {
    EXPECT_LT(testsupport::ResidentKiB() - before, 12 * textKiB + 16 * 1024)
        << "text " << textKiB << " KiB";
  }
}

TEST_F(LoadTest, TwoThousandSendsArriveWholeAsUtf8) {
  StartClient({"--contacts", "bob"});
  app::TMainForm& form = StartParlavant(*desktop);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form.ToUsers->count() == 1; }));
  Choose(form, "bob");
  const std::u16string pieces[] = {u"a", u"Ж", u"\U0001F600", u"\r\n", u" ", u"ç", u"z"};
  std::vector<std::string> expected;
  for (int i = 0; i < 2000; ++i) {
    // From one byte up to 64 KiB of UTF-8, most of them short.
    const std::size_t bytes =
        i == 0 ? 1 : (i % 100 == 0 ? 65536 : 1 + (static_cast<std::size_t>(i) * 37) % 2048);
    // Pieces added while they fit: exactly `bytes` of UTF-8 or a few bytes less.
    std::u16string text;
    std::size_t size = 0;
    for (std::size_t k = static_cast<std::size_t>(i);; ++k) {
      const std::u16string& piece = pieces[k % 7];
      const std::size_t pieceBytes = platform::Utf8Encode(piece).size();
      if (size + pieceBytes > bytes) break;
      text += piece;
      size += pieceBytes;
    }
    // A line break at either end would not survive the box's own line handling.
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' '))
      text.pop_back();
    while (!text.empty() && (text.front() == u'\r' || text.front() == u'\n')) text.erase(0, 1);
    if (text.empty()) text = u"x";
    form.SendMessage->setPlainText(QString::fromStdU16String(text));
    // The box keeps lines apart with LF; what goes out has CR LF.
    std::u16string typed = form.SendMessage->toPlainText().toStdU16String();
    std::u16string withCrLf;
    for (char16_t c : typed)
      withCrLf += c == u'\n' ? std::u16string(u"\r\n") : std::u16string(1, c);
    expected.push_back("bob [es] " + platform::Utf8Encode(withCrLf) +
                       " - Translated with Parlavant");
    form.btnSend->click();
    ASSERT_TRUE(boxes.empty()) << boxes.front();
  }
  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return TranscriptLines("in MESSAGE ").size() == expected.size(); }));
  const auto sent = TranscriptLines("in MESSAGE ");
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::string got = standin::UnescapeArgument(sent[i]);
    ASSERT_EQ(got, expected[i]) << "send " << i;
    ASSERT_FALSE(platform::Utf8Decode(got.substr(4)).empty()) << "send " << i << " is not UTF-8";
  }
}

TEST_F(LoadTest, TranslatorFailuresShowAndTheNextTranslationWorks) {
  StartClient({"--contacts", "bob"});
  app::TMainForm& form = StartParlavant(*desktop);
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form.ToUsers->count() == 1; }));

  // Each message that cannot be translated is shown as it came, with the reason; the run of
  // failures brings one box.
  const auto lines = [&] {
    return Memo(form, "bob").isEmpty() ? 0 : Memo(form, "bob").count('\n') + 1;
  };
  StartTranslator({"--die-early"});  // killed in the middle of its first reply
  ASSERT_TRUE(client->Write("receive bob first\n"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return lines() == 1; }));
  EXPECT_THAT(boxes, ::testing::ElementsAre("Connection Closed Gracefully."));
  // Its connection closes while it dies: until it is gone, its port may still take a connection
  // and reset it.
  bool killed = false;
  EXPECT_TRUE(
      testsupport::PumpUntil([&] { return killed = killed || translator->EndedBy(SIGKILL); }));

  ASSERT_TRUE(client->Write("receive bob second\n"));  // nothing listens now
  ASSERT_TRUE(testsupport::PumpUntil([&] { return lines() == 2; }));
  StartTranslator({"--close-early"});  // up, but closing every connection in mid-reply
  ASSERT_TRUE(client->Write("receive bob third\n"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return lines() == 3; }));
  translator.reset();  // stopped
  ASSERT_TRUE(client->Write("receive bob fourth\n"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return lines() == 4; }));
  EXPECT_EQ(Memo(form, "bob"),
            "bob: first (untranslated: Connection Closed Gracefully.)\n"
            "bob: second (untranslated: Socket Error # 111 Connection refused.)\n"
            "bob: third (untranslated: Connection Closed Gracefully.)\n"
            "bob: fourth (untranslated: Socket Error # 111 Connection refused.)");
  EXPECT_EQ(boxes.size(), 1u);

  StartTranslator();  // back, without restarting Parlavant
  ASSERT_TRUE(client->Write("receive bob fifth\n"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return lines() == 5; }));
  EXPECT_TRUE(Memo(form, "bob").endsWith("\nbob: [en] fifth(fifth)"));
  EXPECT_EQ(form.PendingChatMessages.Count(), 0u);
  EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(LoadTest, ChatClientKilledAndRestarted) {
  StartClient({"--user", "alice", "--contacts", "bob"});
  app::TMainForm& form = StartParlavant(*desktop);
  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return form.ToUsers->count() == 1 && !form.CurrentUserHandle.empty(); }));
  Choose(form, "bob");
  client->Kill();
  form.SendMessage->setPlainText("nobody hears this");
  form.btnSend->click();  // the command goes nowhere and nothing waits for it

  StartClient({"--user", "alice", "--contacts", "bob,carol"});
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form.ToUsers->count() == 2; }));
  EXPECT_EQ(form.CaptionAnsi(), "Parlavant 1.0:04 - alice");
  ASSERT_TRUE(client->Write("receive carol hello again\n"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !Memo(form, "carol").isEmpty(); }));
  EXPECT_EQ(Memo(form, "carol"), "carol: [en] hello again(hello again)");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(LoadTest, SecondParlavantForeignFilesAndAVanishingDesktop) {
  for (const char* name : {"wxyz", "w10", "e1-1.lock", "README", "messages.bak"}) {
    std::ofstream(DesktopDir() + "/" + name) << "not ours\n";
  }
  StartClient({"--contacts", "bob"});
  app::TMainForm& first = StartParlavant(*desktop);
  // The second Parlavant is a program of its own, as a user would start it again.
  fs::create_directories(dir_ + "/config/parlavant");
  std::ofstream(dir_ + "/config/parlavant/parlavant.ini")
      << "[General]\r\nReceive=1\r\nSend=2\r\nWebService=127.0.0.1:" << port_ << "\r\n";
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::setenv("PARLAVANT_DESKTOP", DesktopDir().c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
  ChildProcess second({PARLAVANT_PATH});
  ::unsetenv("PARLAVANT_DESKTOP");
  ::unsetenv("XDG_CONFIG_HOME");
  // Each Parlavant asks for the body of every received message.
  auto bodyRequests = [&] {
    std::size_t n = 0;
    for (const std::string& line : TranscriptLines("in GET CHATMESSAGE "))
      n += line.ends_with(" BODY");
    return n;
  };
  // Both have attached when the client has answered two programs and each has asked for the
  // contacts.
  auto bothAttached = [&] {
    const auto discovered = TranscriptLines("discover ");
    const std::set<std::string> programs(discovered.begin(), discovered.end());
    return programs.size() == 2 &&
           TranscriptLines("in SEARCH FRIENDS").size() == TranscriptLines("attach 0").size();
  };
  ASSERT_TRUE(
      testsupport::PumpUntil([&] { return first.ToUsers->count() == 1 && bothAttached(); }));
  ASSERT_TRUE(client->Write("receive bob to both\n"));
  ASSERT_TRUE(
      testsupport::PumpUntil([&] { return !Memo(first, "bob").isEmpty() && bodyRequests() == 2; }));

  // The directory goes away under everyone's feet: open connections go on working. The others
  // may remove a file of it in the same moment, which makes one pass fail: it is tried again.
  std::error_code removing;
  for (int i = 0; i < 50 && (i == 0 || removing); ++i) fs::remove_all(DesktopDir(), removing);
  ASSERT_FALSE(removing) << removing.message();
  ASSERT_TRUE(client->Write("receive bob still here\n"));
  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return Memo(first, "bob").count('\n') == 1 && bodyRequests() == 4; }));
  first.SendMessage->setPlainText("and back");
  first.btnSend->click();
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !TranscriptLines("in MESSAGE bob").empty(); }));
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(second.Alive());
}

// Asked to end (at logout, say) while a box waits for its OK, the program closes as the user
// would close it: the box goes, the settings are kept, it ends at once and waits for nothing.
TEST_F(LoadTest, AskedToEndWithAnErrorBoxOpen) {
  StartClient({"--contacts", "bob"});
  fs::create_directories(dir_ + "/config/parlavant");
  // Its translator is not there: the message's translation fails with a box.
  std::ofstream(dir_ + "/config/parlavant/parlavant.ini")
      << "[General]\r\nReceive=1\r\nWebService=127.0.0.1:" << testsupport::FreeLoopbackPort()
      << "\r\n";
  testsupport::ScopedVariable platform("QT_QPA_PLATFORM", "offscreen");
  testsupport::ScopedVariable desktopDir("PARLAVANT_DESKTOP", DesktopDir());
  testsupport::ScopedVariable config("XDG_CONFIG_HOME", dir_ + "/config");
  ChildProcess parlavant({PARLAVANT_PATH}, dir_ + "/parlavant.out", dir_ + "/parlavant.err");
  ASSERT_TRUE(
      testsupport::PumpUntil([&] { return !TranscriptLines("in SEARCH FRIENDS").empty(); }));
  ASSERT_TRUE(client->Write("receive bob hola\n"));
  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return !TranscriptLines("in GET CHATMESSAGE 1000 BODY").empty(); }));
  testsupport::PumpUntil([] { return false; }, 500);  // the refused connection's box is up
  ASSERT_TRUE(parlavant.Alive());
  QElapsedTimer ending;
  ending.start();
  EXPECT_EQ(parlavant.Stop(), 0);  // ended by itself, not killed after the grace time
  EXPECT_LT(ending.elapsed(), 3000);
  EXPECT_THAT(testsupport::FileText(dir_ + "/config/parlavant/parlavant.ini"),
              ::testing::HasSubstr("Width="));
}

}  // namespace
