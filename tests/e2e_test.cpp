// Parlavant's window (offscreen, in this process) on a socket desktop with the stand-in chat
// client and the stand-in translator running as processes of their own.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/main_form.h"
#include "tests/child_process.h"
#include "tests/net_util.h"
#include "tests/qt_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ChildProcess;

class EndToEndTest : public ::testing::Test {
 protected:
  EndToEndTest() {
    char pattern[] = "/tmp/pe2e.XXXXXX";
    dir_ = ::mkdtemp(pattern);
    desktop = platform::OpenDesktop(dir_ + "/d");
  }
  ~EndToEndTest() override {
    form.reset();
    application.reset();
    client.reset();
    translator.reset();
    desktop.reset();
    fs::remove_all(dir_);
  }
  std::string Transcript() const {
    std::ifstream in(dir_ + "/transcript");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  QString Memo(const QString& caption) const {
    for (int i = 0; i < form->PageControl1->count(); ++i) {
      if (form->PageControl1->tabText(i) == caption) {
        return app::TMainForm::FindMemo(form->PageControl1->widget(i))->toPlainText();
      }
    }
    return {};
  }

  std::string dir_;
  std::unique_ptr<platform::Desktop> desktop;
  std::unique_ptr<ChildProcess> translator, client;
  std::unique_ptr<app::TApplication> application;
  std::unique_ptr<app::TMainForm> form;
};

TEST_F(EndToEndTest, ChatThroughTheWindow) {
  translator = std::make_unique<ChildProcess>(
      std::vector<std::string>{TRANSLATOR_PATH, "--desktop", dir_ + "/d", "--engine", "echo"});
  ASSERT_TRUE(testsupport::WaitUntilListening(translate::kLocalTranslatorPort));
  client = std::make_unique<ChildProcess>(
      std::vector<std::string>{CHATCLIENT_PATH, "--desktop", dir_ + "/d", "--transcript",
                               dir_ + "/transcript", "--user", "alice", "--contacts", "bob,carol"});

  // Reads English, sends Spanish, signs.
  std::ofstream(dir_ + "/parlavant.ini") << "[General]\r\nReceive=1\r\nSend=2\r\nShowWarn=1\r\n";
  application = std::make_unique<app::TApplication>(*desktop, "parlavant");
  std::vector<std::string> boxes;
  application->ErrorBox = [&](const std::string&, const std::string& text) {
    boxes.push_back(text);
  };
  form = std::make_unique<app::TMainForm>(*application, dir_ + "/parlavant.ini");

  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return form->ToUsers->count() == 2 && !form->CurrentUserHandle.empty(); }));
  EXPECT_EQ(form->ToUsers->itemText(0), "bob");
  EXPECT_EQ(form->CaptionAnsi(), "Parlavant 1.0:04 - alice");

  ASSERT_TRUE(client->Write("receive carol Hola, \\xC2\\xBFqu\\xC3\\xA9 tal?\n"));
  ASSERT_TRUE(testsupport::PumpUntil([&] { return !Memo("carol").isEmpty(); }));
  EXPECT_EQ(Memo("carol"), QString::fromUtf8("carol: [en] Hola, ¿qué tal?(Hola, ¿qué tal?)"));
  EXPECT_EQ(form->ToUsers->currentText(), "carol");

  form->SendMessage->setPlainText(QString::fromUtf8("Très bien\nmerci"));
  form->btnSend->click();
  ASSERT_TRUE(testsupport::PumpUntil(
      [&] { return Transcript().find("in MESSAGE carol") != std::string::npos; }));
  EXPECT_THAT(Transcript(),
              ::testing::HasSubstr("in MESSAGE carol [es] Tr\\xC3\\xA8s bien\\x0D\\x0Amerci - "
                                   "Translated with Parlavant\n"));
  EXPECT_EQ(Memo("carol"), QString::fromUtf8("carol: [en] Hola, ¿qué tal?(Hola, ¿qué tal?)\n"
                                             "alice: Très bien\nmerci ([es] Très bien\nmerci)"));
  EXPECT_THAT(boxes, ::testing::IsEmpty());
}

}  // namespace
