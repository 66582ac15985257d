// Parlavant's window (offscreen, in this process) on a socket desktop with the stand-in chat
// client and the stand-in translator running as processes of their own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/parlavant_fixture.h"
#include "testsupport/net_util.h"
#include "testsupport/qt_support.h"

namespace {

using testsupport::ChildProcess;

class EndToEndTest : public testsupport::ParlavantFixture {
 protected:
  std::unique_ptr<ChildProcess> translator;
};

TEST_F(EndToEndTest, ChatThroughTheWindow) {
  // The desktop translator (its window is on the desktop), not the web service.
  translator = std::make_unique<ChildProcess>(
      std::vector<std::string>{TRANSLATOR_PATH, "--desktop", DesktopDir(), "--engine", "echo"});
  ASSERT_TRUE(testsupport::WaitUntilListening(translate::kLocalTranslatorPort));
  StartClient({"--user", "alice", "--contacts", "bob,carol"});
  // Reads English, sends Spanish, signs.
  app::TMainForm& form = StartParlavant(*desktop, testsupport::FreeLoopbackPort());

  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return form.ToUsers->count() == 2 && !form.CurrentUserHandle.empty(); }));
  EXPECT_EQ(form.ToUsers->itemText(0), "bob");
  EXPECT_EQ(form.CaptionAnsi(), "Parlavant 1.0:04 - alice");

  ASSERT_TRUE(client->Write("receive carol Hola, \\xC2\\xBFqu\\xC3\\xA9 tal?\n"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !Memo(form, "carol").isEmpty(); }));
  EXPECT_EQ(Memo(form, "carol"), QString::fromUtf8("carol: [en] Hola, ¿qué tal?(Hola, ¿qué tal?)"));
  // The first message brings its page, and the sender is whom the user answers.
  EXPECT_EQ(form.ToUsers->currentText(), "carol");

  form.SendMessage->setPlainText(QString::fromUtf8("Très bien\nmerci"));
  form.btnSend->click();
  ASSERT_TRUE(
      testsupport::PumpUntil([&] { return !TranscriptLines("in MESSAGE carol ").empty(); }));
  EXPECT_THAT(TranscriptLines("in MESSAGE carol "),
              ::testing::ElementsAre("[es] Tr\\xC3\\xA8s bien\\x0D\\x0Amerci - "
                                     "Translated with Parlavant"));
  EXPECT_EQ(Memo(form, "carol"),
            QString::fromUtf8("carol: [en] Hola, ¿qué tal?(Hola, ¿qué tal?)\n"
                              "alice: Très bien\nmerci ([es] Très bien\nmerci)"));
  EXPECT_THAT(boxes, ::testing::IsEmpty());
}

}  // namespace

namespace {

TEST_F(EndToEndTest, ATargetNoPairLeadsToIsRefusedAndNothingGoesOut) {
  // Apertium is installed with the project's dependencies; no pair of it leads to German.
  ASSERT_EQ(std::system("command -v apertium >/dev/null 2>&1"), 0);
  ASSERT_TRUE(testsupport::WaitUntilNotListening(translate::kLocalTranslatorPort));
  translator = std::make_unique<ChildProcess>(
      std::vector<std::string>{TRANSLATOR_PATH, "--desktop", DesktopDir()});
  ASSERT_TRUE(testsupport::WaitUntilListening(translate::kLocalTranslatorPort));
  StartClient({"--user", "alice", "--contacts", "bob"});
  app::TMainForm& form = StartParlavant(*desktop, testsupport::FreeLoopbackPort());
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form.ToUsers->count() == 1; }));

  Choose(form, "bob");
  ChooseSendIn(form, 0);  // Deutch
  form.SendMessage->setPlainText("El perro come la manzana.");
  form.btnSend->click();
  EXPECT_THAT(boxes,
              ::testing::ElementsAre("HTTP/1.1 422 No translation from Spanish into German."));
  EXPECT_EQ(form.SendMessage->toPlainText(), "El perro come la manzana.");
  testsupport::PumpUntil([] { return false; }, 300);
  EXPECT_THAT(TranscriptLines("in MESSAGE "), ::testing::IsEmpty());
}

}  // namespace

namespace {

// Two contacts writing while the user answers one of them, a stranger, a message the chat
// client reports failed, and a chat client that vanishes: all through the real processes.
TEST_F(EndToEndTest, AConversationWithInterruptionsAStrangerAFailureAndAVanishedClient) {
  ASSERT_TRUE(testsupport::WaitUntilNotListening(translate::kLocalTranslatorPort));
  translator = std::make_unique<ChildProcess>(
      std::vector<std::string>{TRANSLATOR_PATH, "--desktop", DesktopDir(), "--engine", "echo"});
  ASSERT_TRUE(testsupport::WaitUntilListening(translate::kLocalTranslatorPort));
  StartClient({"--user", "alice", "--contacts", "bob,carol"});
  app::TMainForm& form = StartParlavant(*desktop, testsupport::FreeLoopbackPort());
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form.ToUsers->count() == 2; }));

  ASSERT_TRUE(client->Write("receive carol hola\n"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !Memo(form, "carol").isEmpty(); }));
  EXPECT_EQ(form.ToUsers->currentText(), "carol");
  form.SendMessage->setPlainText("for carol");
  ASSERT_TRUE(client->Write("receive bob interrupting\nreceive zed hello, stranger here\n"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !Memo(form, "zed").isEmpty(); }));
  EXPECT_EQ(form.ToUsers->currentText(), "carol");
  EXPECT_EQ(form.SendMessage->toPlainText(), "for carol");
  EXPECT_EQ(form.PageControl1->tabText(form.PageControl1->currentIndex()), "carol");
  EXPECT_TRUE(form.PageControl1->tabUnread(1));  // bob
  form.btnSend->click();
  ASSERT_TRUE(
      testsupport::PumpUntil([&] { return !TranscriptLines("in MESSAGE carol ").empty(); }));

  // The stranger is in the list and is answered; the chat client then reports it failed.
  Choose(form, "zed");
  form.SendMessage->setPlainText("hi zed");
  form.btnSend->click();
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !TranscriptLines("in MESSAGE zed ").empty(); }));
  const std::string sending = TranscriptLines("out CHATMESSAGE ").back();  // "id STATUS SENDING"
  const std::string id = sending.substr(0, sending.find(' '));
  ASSERT_TRUE(client->Write("send CHATMESSAGE " + id + " STATUS FAILED\n"));
  ASSERT_TRUE(
      testsupport::PumpUntil([&] { return Memo(form, "zed").endsWith("(not delivered)"); }));

  // The chat client goes: the next message says so instead of passing for sent.
  client.reset();
  form.SendMessage->setPlainText("anyone?");
  form.btnSend->click();
  EXPECT_TRUE(Memo(form, "zed").endsWith("(not delivered: the chat connection has closed)"));
  EXPECT_TRUE(form.CaptionAnsi().ends_with("(the chat connection has closed)"));
  EXPECT_EQ(form.SendMessage->toPlainText(), "anyone?");
  EXPECT_THAT(boxes, ::testing::IsEmpty());
}

}  // namespace
