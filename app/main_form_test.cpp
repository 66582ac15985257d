// The main window with the in-process desktop, the stand-in chat client on it, and a translator
// on 127.0.0.1 that answers "[code] text" (or fails, when told to).
#include "app/history_store.h"
#include "app/main_form.h"
#include "app/startup.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/codepage.h"
#include "platform/error.h"
#include "testsupport/http_test_server.h"
#include "testsupport/qt_support.h"
#include "testsupport/temp_dir.h"
#include "tools/chatclient/stand_in_client.h"
#include "translate/web_codec.h"
#include "uilocal/interface_file.h"
#include "uilocal/translate_interface.h"

namespace app {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The text of a request's "l1" field and its language code.
std::pair<std::u16string, std::string> ReadForm(const std::string& request) {
  const std::string body = request.substr(request.find("\r\n\r\n") + 4);
  const std::size_t l1 = body.find("l1=") + 3;
  const std::string encoded = translate::PercentDecode(body.substr(l1, body.find('&', l1) - l1));
  const std::size_t code = body.find("TargetLang=") + 11;
  return {translate::WebDecode(std::u16string(encoded.begin(), encoded.end())),
          body.substr(code, body.find('&', code) - code)};
}

std::string PercentEncode(const std::string& bytes) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += '%';
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

// Answers "[code] text"; a text that holds "FAIL" gets a 500, and "EMPTY" an empty translation.
std::string EchoTranslator(const std::string& request) {
  const auto [text, code] = ReadForm(request);
  const std::string utf8 = platform::Utf8Encode(text);
  std::string body;
  if (utf8.find("FAIL") != std::string::npos) {
    return "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
  }
  body = utf8.find("EMPTY") != std::string::npos ? "l1="
                                                 : "l1=" + PercentEncode("[" + code + "] " + utf8);
  // "from:N" in the text: the translator says it came in language N.
  if (const std::size_t from = utf8.find("from:"); from != std::string::npos) {
    body += "&SourceLang=" + utf8.substr(from + 5, 1) + "&";
  }
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::u16string W(const QString& s) {
  return s.toStdU16String();
}

// The locale as a test sets it; the one the tests run in is put back afterwards.
class LocaleVariables {
 public:
  static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
  LocaleVariables() {
    for (const char* name : kNames) {
      if (const char* value = std::getenv(name)) saved_[name] = value;
      ::unsetenv(name);
    }
  }
  ~LocaleVariables() {
    for (const char* name : kNames) {
      auto it = saved_.find(name);
      if (it == saved_.end()) {
        ::unsetenv(name);
      } else {
        ::setenv(name, it->second.c_str(), 1);
      }
    }
  }

 private:
  std::map<std::string, std::string> saved_;
};

// The shipped interface texts, written into the test's directory as "stintf.dat".
std::string ShippedSource() {
  return testsupport::FileText(std::string(PARLAVANT_SOURCE_DIR) + "/data/stintf.txt");
}
void WriteInterfaceFile(const std::string& utf8Source) {
  std::ofstream("stintf.dat", std::ios::binary)
      << uilocal::InterfaceFile(uilocal::TextFromSource(utf8Source));
}

class MainFormTest : public ::testing::Test {
 protected:
  ~MainFormTest() override {
    form.reset();
    client.reset();
    application.reset();
  }
  LocaleVariables locale_;

  std::string Ini() const { return dir_ + "/parlavant.ini"; }
  void WriteIni(const std::string& general) {
    std::ofstream(Ini()) << "[General]\r\nWebService=127.0.0.1:" << translator.Port() << "\r\n"
                         << general;
  }
  std::string ReadIni() const { return testsupport::FileText(Ini()); }

  // The stand-in client first (unless told not to), then the window: it attaches while created.
  void Start(bool withClient = true, standin::ClientOptions options = {}) {
    if (!fs::exists(Ini())) WriteIni("");
    if (withClient) {
      client = std::make_unique<standin::StandInClient>(
          *desktop, options, [this](standin::Direction d, std::string_view line) {
            if (d == standin::Direction::kIn) commands.emplace_back(line);
          });
    }
    application = std::make_unique<TApplication>(*desktop, "parlavant");
    application->OpenHistory = openHistory;
    application->ErrorBox = [this](const std::string& title, const std::string& text) {
      EXPECT_EQ(title, "parlavant");
      boxes.push_back(text);
    };
    form = std::make_unique<TMainForm>(*application, Ini());
  }

  QString Memo(const std::string& handle) {
    for (int i = 0; i < form->PageControl1->count(); ++i) {
      if (form->PageControl1->tabText(i) == FromAnsi(handle)) {
        return TMainForm::FindMemo(form->PageControl1->widget(i))->toPlainText();
      }
    }
    return "(no tab)";
  }
  std::vector<std::string> Gets() const {
    std::vector<std::string> gets;
    for (const auto& c : commands) {
      if (c.rfind("GET ", 0) == 0) gets.push_back(c);
    }
    return gets;
  }
  // Closes the window as the user would; true when it closed.
  bool Close() {
    QCloseEvent event;
    QCoreApplication::sendEvent(form.get(), &event);
    return event.isAccepted();
  }
  void Type(const QString& text) { form->SendMessage->setPlainText(text); }
  // The user picks a contact in the list, or a language to send in.
  void Choose(const QString& handle) {
    form->ToUsers->setCurrentIndex(form->ToUsers->findText(handle));
    emit form->ToUsers->activated(form->ToUsers->currentIndex());
  }
  void ChooseSendIn(int item) {
    form->SendIn->setCurrentIndex(item);
    emit form->SendIn->activated(item);
  }
  QString PageOnShow() const {
    return form->PageControl1->tabText(form->PageControl1->currentIndex());
  }

  // In a directory of the test's own: "stintf.dat" is looked for in the current directory.
  testsupport::TempDir temp_{"pform"};
  testsupport::CurrentDirectory inTemp_{temp_.Path()};
  const std::string dir_ = temp_.Path();
  testsupport::HttpTestServer translator{EchoTranslator};
  std::unique_ptr<platform::Desktop> desktop = platform::MakeInProcessDesktop();
  std::unique_ptr<standin::StandInClient> client;
  std::unique_ptr<TApplication> application;
  std::unique_ptr<TMainForm> form;
  std::vector<std::string> boxes;
  std::vector<std::string> commands;
  std::function<std::unique_ptr<History>()> openHistory;
};

// The window with a history it cannot use: a damaged file (set aside, a new one begun), a newer
// program's file (left alone), another desktop's lock (the lines wait and go in when it lets
// go). Each is said once in the error box, however many lines come, and the window goes on.
TEST_F(MainFormTest, AHistoryThatCannotBeUsedIsSaidOnceAndTheWindowGoesOn) {
  const std::string file = dir_ + "/history.sqlite3";
  openHistory = [file] { return std::make_unique<SqliteHistory>(file); };
  const auto receiveThree = [&](const std::string& from) {
    for (int i = 0; i < 3; ++i) client->Receive(from, "hola " + std::to_string(i));
    QCoreApplication::processEvents();  // the boxes, said when the handlers are over
  };
  const auto restart = [&] {
    form.reset();
    client.reset();
    application.reset();
    boxes.clear();
    Start();
  };

  std::ofstream(file, std::ios::binary) << std::string(4096, 'x');
  Start();
  receiveThree("bob");
  ASSERT_EQ(boxes.size(), 1u) << ::testing::PrintToString(boxes);
  EXPECT_THAT(boxes[0], ::testing::HasSubstr("was damaged: it was kept as " + file + ".damaged-"));
  EXPECT_THAT(Memo("bob").toStdString(), ::testing::HasSubstr("hola 2(hola 2)"));

  form.reset();
  {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  restart();
  receiveThree("carol");
  ASSERT_EQ(boxes.size(), 1u) << ::testing::PrintToString(boxes);
  EXPECT_THAT(boxes[0], ::testing::HasSubstr("written by a newer Parlavant (schema 7)"));
  EXPECT_EQ(form->PageControl1->count(), 1);  // nothing came back from it
  EXPECT_THAT(Memo("carol").toStdString(), ::testing::HasSubstr("hola 2(hola 2)"));

  form.reset();
  fs::remove(file);
  restart();
  sqlite3* other = nullptr;
  sqlite3_open(file.c_str(), &other);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  receiveThree("dave");
  ASSERT_EQ(boxes.size(), 1u) << ::testing::PrintToString(boxes);
  EXPECT_THAT(boxes[0], ::testing::HasSubstr("in use by another program"));
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  client->Receive("dave", "after");
  form.reset();
  SqliteHistory after(file);
  after.Open("alice");
  EXPECT_EQ(after.Lines("dave", 0, 10).size(), 4u) << "the lines that waited went in";
}

// Kept lines come back with the newest in view; at a page's top the ones before come, and the
// line that was at the top stays in view; "Forget this conversation" on the tab's menu empties
// the page and the file.
TEST_F(MainFormTest, HistoryScrollsBackAndForgets) {
  const std::string file = dir_ + "/history.sqlite3";
  {
    SqliteHistory kept(file);
    kept.Open("alice");
    for (int i = 0; i < 250; ++i) {
      kept.Keep("bob", {LineKind::kReceived, u"bob: line " + W(QString::number(i))}, i);
    }
  }
  openHistory = [file] { return std::make_unique<SqliteHistory>(file); };
  Start();
  form->resize(400, 300);
  QPlainTextEdit* memo = TMainForm::FindMemo(form->PageControl1->widget(0));
  ASSERT_NE(memo, nullptr);
  QScrollBar* bar = memo->verticalScrollBar();
  EXPECT_EQ(memo->document()->blockCount(), 200);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(memo->document()->lastBlock().text(), "bob: line 249");
  bar->setValue(0);
  EXPECT_EQ(memo->document()->blockCount(), 250);
  EXPECT_EQ(memo->document()->firstBlock().text(), "bob: line 0");
  EXPECT_EQ(bar->value(), 50) << "the line that was at the top stays in view";
  bar->setValue(0);  // nothing before the first line: nothing changes
  EXPECT_EQ(memo->document()->blockCount(), 250);

  std::unique_ptr<QMenu> menu(form->TabMenu(0));
  ASSERT_EQ(menu->actions().size(), 1);
  EXPECT_EQ(menu->actions().front()->text(), "Forget this conversation");
  menu->actions().front()->trigger();
  menu.reset();  // the window's child
  EXPECT_EQ(Memo("bob"), "");
  form.reset();
  SqliteHistory after(file);
  after.Open("alice");
  EXPECT_THAT(after.Lines("bob", 0, 300), IsEmpty());
  EXPECT_THAT(boxes, IsEmpty());
}

TEST_F(MainFormTest, FirstStartWithoutSettingsFile) {
  Start(false);
  EXPECT_EQ(form->TranslateTo->currentText(), "Deutch");
  EXPECT_EQ(form->SendIn->currentText(), "English");
  EXPECT_EQ(form->pos(), QPoint(230, 160));
  EXPECT_EQ(form->height(), 338);
  EXPECT_EQ(form->width(), 480);  // 370 is below the minimum
  EXPECT_TRUE(form->WarnCB->isChecked());
  EXPECT_FALSE(form->PageControl1->isVisibleTo(form.get()));
  EXPECT_FALSE(form->btnSend->isEnabled());
  EXPECT_EQ(form->CaptionAnsi(), "Parlavant 1.0:04");
  EXPECT_EQ(form->windowTitle(), "Parlavant 1.0:04");
  EXPECT_THAT(boxes, IsEmpty());
}

TEST_F(MainFormTest, WithoutSettingsTheLocaleChoosesTheReadingLanguageAndSendingDiffers) {
  struct Case {
    std::map<std::string, std::string> env;
    const char* receive;
    const char* send;
  };
  const Case cases[] = {
      // English, which the bundled translator reaches from every language it reads; Spanish to
      // someone reading English: never the reading language.
      {{{"LANG", "fr_FR.UTF-8"}}, "Francais", "English"},
      {{{"LANG", "en_US.UTF-8"}}, "English", "Espanol"},
      {{{"LANG", "es_ES.UTF-8"}}, "Espanol", "English"},
      {{{"LANG", "de_DE.UTF-8"}}, "Deutch", "English"},
      {{{"LANG", "fr_FR.UTF-8"}, {"LC_MESSAGES", "it_IT"}}, "Italiano", "English"},
      {{{"LC_MESSAGES", "it_IT"}, {"LC_ALL", "tr_TR.UTF-8"}}, "Turkce", "English"},
      {{{"LANG", "en_GB.UTF-8"}, {"LANGUAGE", "bg:en"}}, "Български", "English"},
      {{{"LANG", "ja_JP.UTF-8"}}, "Deutch", "English"},  // none of the seven
      {{{"LANG", "C.UTF-8"}}, "Deutch", "English"},
  };
  for (const Case& c : cases) {
    const LocaleVariables scope;
    for (const auto& [name, value] : c.env) ::setenv(name.c_str(), value.c_str(), 1);
    fs::remove(Ini());
    Start(false);
    EXPECT_EQ(form->TranslateTo->currentText(), QString::fromUtf8(c.receive)) << c.receive;
    EXPECT_EQ(form->SendIn->currentText(), QString::fromUtf8(c.send)) << c.receive;
    form.reset();
  }
  // A settings file decides, even the same language on both sides.
  ::setenv("LANG", "fr_FR.UTF-8", 1);
  WriteIni("Receive=1\r\nSend=1\r\n");
  Start(false);
  EXPECT_EQ(form->TranslateTo->currentText(), "English");
  EXPECT_EQ(form->SendIn->currentText(), "English");
}

TEST_F(MainFormTest, TheListTheTabsAndInFollowEachOtherOnScreen) {
  Start();
  EXPECT_EQ(form->ToUsers->currentIndex(), -1);  // nobody until the user or a message chooses
  // carol writes first: her page is on show and she is chosen, with the language she writes.
  client->Receive("carol", "hola from:5");
  EXPECT_EQ(form->ToUsers->currentText(), "carol");
  EXPECT_EQ(PageOnShow(), "carol");
  EXPECT_EQ(form->SendIn->currentText(), "Espanol");
  // bob, chosen in the list, never wrote: an empty page of his; "in" chosen now is his.
  Choose("bob");
  EXPECT_EQ(PageOnShow(), "bob");
  EXPECT_EQ(Memo("bob"), "");
  ChooseSendIn(4);
  // carol's tab brings her back, in Spanish; Ctrl+Tab from the text box, bob in Italian.
  form->PageControl1->Choose(0);
  EXPECT_EQ(form->ToUsers->currentText(), "carol");
  EXPECT_EQ(form->SendIn->currentText(), "Espanol");
  form->show();
  form->activateWindow();
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form->isActiveWindow(); }, 5000));
  form->SendMessage->setFocus();
  QTest::keyClick(form->SendMessage, Qt::Key_Tab, Qt::ControlModifier);
  EXPECT_EQ(PageOnShow(), "bob");
  EXPECT_EQ(form->ToUsers->currentText(), "bob");
  EXPECT_EQ(form->SendIn->currentText(), "Italiano");
  // Tab leaves the text box for the button, as the keyboard order says.
  Type("ciao");
  QTest::keyClick(form->SendMessage, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), form->btnSend);
  // Ctrl+Shift+Tab from the button goes back to carol.
  QTest::keyClick(form->btnSend, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(PageOnShow(), "carol");

  // A stranger who writes, and a new list, change neither.
  client->Receive("ann", "hello, we have not met");
  client->SetContacts({"bob", "dave"});
  client->AnnounceApi();
  QStringList items;
  for (int i = 0; i < form->ToUsers->count(); ++i) items << form->ToUsers->itemText(i);
  EXPECT_EQ(items, QStringList({"ann", "bob", "carol", "dave"}));
  EXPECT_EQ(form->ToUsers->currentText(), "carol");
  EXPECT_EQ(PageOnShow(), "carol");
  EXPECT_TRUE(form->PageControl1->tabUnread(2));  // ann's

  // The language a message went out in is kept across a restart, by handles escaped into keys.
  Choose("bob");
  form->btnSend->click();
  EXPECT_EQ(client->Sent().back().handle, "bob");
  EXPECT_EQ(QApplication::focusWidget(), form->SendMessage);  // where the next one is typed
  EXPECT_EQ(client->Sent().back().text.substr(0, 4), "[7] ");
  client->Receive("we=ird]\r[x", "merhaba from:3");
  ASSERT_TRUE(Close());
  form.reset();
  Start(false);  // attaches to the same chat client
  Choose("bob");
  EXPECT_EQ(form->SendIn->currentText(), "Italiano");
  EXPECT_THAT(ReadIni(), ::testing::HasSubstr("[ContactLanguages]\r\ncarol=2\r\nbob=4\r\n"
                                              "we%3Dird%5D%0D%5Bx=5\r\n"));
  EXPECT_THAT(boxes, IsEmpty());
}

TEST_F(MainFormTest, AMessageWhileTheWindowIsNotActiveIsToldWithItsLine) {
  Start();
  std::vector<std::pair<std::u16string, std::u16string>> told;
  form->OnUnseenMessage = [&](const std::u16string& sender, const std::u16string& line) {
    told.emplace_back(sender, line);
  };
  ASSERT_FALSE(form->isActiveWindow());
  client->Receive("bob", "hola");
  client->Receive("carol", "FAIL now");  // untranslated: told as it came
  EXPECT_THAT(told, ElementsAre(std::pair<std::u16string, std::u16string>(u"bob", u"[4] hola"),
                                std::pair<std::u16string, std::u16string>(u"carol", u"FAIL now")));
  // Also the page on show is marked while the user is away, and read when they come back.
  const int bob = form->PageControl1->indexOf(form->FindOrCreateConversationTab("bob"));
  ASSERT_EQ(form->PageControl1->currentIndex(), bob);
  EXPECT_TRUE(form->PageControl1->tabUnread(bob));
  form->show();
  form->activateWindow();
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form->isActiveWindow(); }, 5000));
  EXPECT_FALSE(form->PageControl1->tabUnread(bob));
  EXPECT_TRUE(form->PageControl1->tabUnread(bob + 1));  // carol's, not on show
  client->Receive("bob", "again");
  EXPECT_FALSE(form->PageControl1->tabUnread(bob));
  EXPECT_EQ(told.size(), 2u);  // seen: nothing to tell
}

TEST_F(MainFormTest, DesignedControlsAndLanguageLists) {
  Start(false);
  const QStringList expected = {"Deutch",   "English", "Espanol",  "Francais",
                                "Italiano", "Turkce",  "Български"};
  for (QComboBox* list : {form->TranslateTo, form->SendIn}) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
    EXPECT_EQ(items, expected);
  }
  EXPECT_EQ(form->l_Translate_To->text(), "Receive in:");
  EXPECT_EQ(form->WarnCB->text(), "Warning");
  EXPECT_EQ(form->btnSend->text(), "Send");
  EXPECT_EQ(form->l_Send_To->text(), "To");
  EXPECT_EQ(form->l_in->text(), "in");
  EXPECT_EQ(form->font().family(), "MS Sans Serif");
  EXPECT_EQ(form->font().pointSize(), 8);
  for (QWidget* control : std::initializer_list<QWidget*>{
           form->l_Translate_To, form->TranslateTo, form->WarnCB, form->SendMessage, form->btnSend,
           form->l_Send_To, form->l_in, form->SendIn}) {
    EXPECT_EQ(control->font().family(), "Microsoft Sans Serif")
        << control->metaObject()->className();
    EXPECT_EQ(control->font().pointSize(), 8);
  }
  // These two take the window's font.
  EXPECT_EQ(form->ToUsers->font().family(), "MS Sans Serif");
  EXPECT_EQ(form->PageControl1->font().family(), "MS Sans Serif");
  // Design order of the component tree, the non-visual components included.
  std::vector<std::string> names;
  for (int i = 0; i < form->Component().ComponentCount(); ++i)
    names.push_back(form->Component().Components(i)->Name());
  EXPECT_THAT(names, ElementsAre("l_Translate_To", "TranslateTo", "WarnCB", "PageControl1",
                                 "SendMessage", "btnSend", "l_Send_To", "ToUsers", "l_in", "SendIn",
                                 "SkypeControl", "HTTP"));
  EXPECT_EQ(&application->Root(), form->Component().Owner());
  // Keyboard order: what Tab reaches, a control's inner parts counted as the control.
  std::vector<QWidget*> order;
  for (QWidget* w = form->TranslateTo; order.size() < 7; w = w->nextInFocusChain()) {
    // A widget with a focus proxy is passed over: its proxy takes the focus in its place.
    if (!(w->focusPolicy() & Qt::TabFocus) || w->focusProxy() != nullptr) continue;
    QWidget* control = w;
    while (control->parentWidget() != form.get()) control = control->parentWidget();
    if (order.empty() || order.back() != control) order.push_back(control);
  }
  EXPECT_THAT(order, ElementsAre(form->TranslateTo, form->SendMessage, form->btnSend, form->ToUsers,
                                 form->PageControl1, form->SendIn, form->WarnCB));
  for (int index : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 100}) {
    static const std::map<int, int> codes = {{0, 4}, {1, 1}, {2, 5}, {3, 6},
                                             {4, 7}, {5, 3}, {6, 2}};
    EXPECT_EQ(TMainForm::LangCodeFromComboIndex(index), codes.count(index) ? codes.at(index) : 1)
        << index;
  }
}

TEST_F(MainFormTest, EverySettingSurvivesARestart) {
  WriteIni(
      "Receive=3\r\nSend=6\r\nLeft=40\r\nTop=0x32\r\nWidth=600\r\nHeight=420\r\nShowWarn=0\r\n");
  Start(false);
  EXPECT_EQ(form->TranslateTo->currentIndex(), 3);
  EXPECT_EQ(form->SendIn->currentIndex(), 6);
  EXPECT_EQ(form->pos(), QPoint(40, 50));
  EXPECT_EQ(form->size(), QSize(600, 420));
  EXPECT_FALSE(form->WarnCB->isChecked());
  form->TranslateTo->setCurrentIndex(5);
  emit form->TranslateTo->activated(5);
  form->move(77, 88);
  form->resize(640, 400);
  form->WarnCB->setChecked(true);
  ASSERT_TRUE(Close());
  EXPECT_THAT(ReadIni(), ::testing::HasSubstr("WebService=127.0.0.1:"));  // never written, kept

  // The application lists the window's component while the window lives, and only then.
  ASSERT_EQ(application->Root().ComponentCount(), 1);
  form.reset();
  EXPECT_EQ(application->Root().ComponentCount(), 0);
  form = std::make_unique<TMainForm>(*application, Ini());
  ASSERT_EQ(application->Root().ComponentCount(), 1);
  EXPECT_EQ(application->Root().Components(0), &form->Component());
  EXPECT_EQ(form->TranslateTo->currentIndex(), 5);
  EXPECT_EQ(form->SendIn->currentIndex(), 6);
  EXPECT_EQ(form->pos(), QPoint(77, 88));
  EXPECT_EQ(form->size(), QSize(640, 400));
  EXPECT_TRUE(form->WarnCB->isChecked());
}

TEST_F(MainFormTest, UnwritableSettingsAreShownWithPathAndReasonAndTheWindowClosesAllTheSame) {
  Start(false);
  fs::remove(Ini());
  fs::create_directory(Ini());  // a directory where the file should be: nothing can write it
  EXPECT_TRUE(Close());
  EXPECT_THAT(boxes, ElementsAre("Unable to write to " + Ini() + ": Is a directory."));
}

TEST_F(MainFormTest, EveryControlFollowsTheDesignAtEverySizeAfterARestartAndANewLanguage) {
  WriteInterfaceFile(ShippedSource());
  WriteIni("Receive=1\r\nHeight=400\r\nWidth=500\r\n");
  Start(false);
  // The bottom row sits against the restored height; the box followed the bottom edge when the
  // height was restored, then reaches down to the row.
  EXPECT_EQ(form->btnSend->geometry(), QRect(1, 377, 75, 21));
  EXPECT_EQ(form->ToUsers->geometry(), QRect(99, 377, 275, 21));
  EXPECT_EQ(form->SendIn->geometry(), QRect(397, 377, 103, 21));
  EXPECT_EQ(form->SendMessage->geometry(), QRect(1, 263, 498, 111));
  EXPECT_EQ(form->PageControl1->geometry(), QRect(1, 24, 498, 237));
  // Labels as wide as their texts, at their anchored edges.
  const auto expectLabels = [&](int dx, int dy) {
    for (QLabel* label : {form->l_Translate_To, form->l_Send_To, form->l_in}) {
      EXPECT_EQ(label->width(), label->fontMetrics().horizontalAdvance(label->text()))
          << label->text().toStdString();
    }
    EXPECT_EQ(form->l_Translate_To->geometry().right(), 377 + dx);
    EXPECT_EQ(form->l_Translate_To->y(), 6);
    EXPECT_LT(form->l_Translate_To->geometry().right(), form->TranslateTo->x());
    EXPECT_EQ(form->l_Send_To->pos(), QPoint(82, 323 + dy));
    EXPECT_LT(form->l_Send_To->geometry().right(), form->ToUsers->x());
    EXPECT_EQ(form->l_in->geometry().right(), 371 + dx);
    EXPECT_EQ(form->l_in->y(), 323 + dy);
    EXPECT_GT(form->l_in->x(), form->ToUsers->geometry().right());
  };
  expectLabels(20, 57);
  form->show();
  form->resize(560, 450);
  EXPECT_EQ(form->btnSend->geometry(), QRect(1, 427, 75, 21));
  EXPECT_EQ(form->SendMessage->geometry(), QRect(1, 313, 558, 111));
  EXPECT_EQ(form->TranslateTo->geometry(), QRect(463, 3, 97, 21));
  EXPECT_EQ(form->WarnCB->geometry(), QRect(224, 5, 97, 17));
  expectLabels(80, 107);
  // A new language at this size: each label measured anew where the design puts it.
  form->TranslateTo->setCurrentIndex(6);
  emit form->TranslateTo->activated(6);
  ASSERT_EQ(form->l_in->text(), QString::fromUtf8("на"));
  expectLabels(80, 107);
  // Restarted at the size it was closed at: the same places.
  const QRect box = form->SendMessage->geometry(), in = form->l_in->geometry();
  ASSERT_TRUE(Close());
  form.reset();
  Start(false);
  EXPECT_EQ(form->size(), QSize(560, 450));
  EXPECT_EQ(form->SendMessage->geometry(), box);
  EXPECT_EQ(form->l_in->geometry(), in);
  // Never smaller than the designed minimum.
  form->show();
  form->resize(100, 100);
  EXPECT_EQ(form->size(), QSize(480, 338));
  EXPECT_EQ(form->SendMessage->geometry(), QRect(1, 201, 478, 111));
}

TEST_F(MainFormTest, TheTypedTextIsSentAsTyped) {
  Start();
  Choose("bob");
  // Enter makes a new block, Shift+Enter a line separator: both go out as CR LF.
  Type(QString::fromUtf16(u"a\u00A0b\nc\u2028d"));
  form->btnSend->click();
  ASSERT_EQ(client->Sent().size(), 1u);
  EXPECT_EQ(client->Sent()[0].text,
            "[1] a\xC2\xA0"
            "b\r\nc\r\nd - Translated with Parlavant");
}

TEST_F(MainFormTest, AReceivedMessageShowsInItsPageReadOnly) {
  WriteIni("Receive=1\r\n");
  Start();
  ASSERT_FALSE(form->PageControl1->isVisibleTo(form.get()));
  client->Receive("bob", "Hola  amigo \xF0\x9F\x98\x80");
  EXPECT_EQ(W(Memo("bob")), u"bob: [1] Hola  amigo \U0001F600(Hola  amigo \U0001F600)");
  EXPECT_TRUE(form->PageControl1->isVisibleTo(form.get()));
  EXPECT_TRUE(TMainForm::FindMemo(form->PageControl1->widget(0))->isReadOnly());
  EXPECT_EQ(form->ToUsers->currentText(), "bob");
  client->Receive("carol", "second");
  EXPECT_EQ(form->PageControl1->count(), 2);
  EXPECT_EQ(form->PageControl1->currentIndex(), 0);
  // A multi-line send shows on several lines of the page.
  Type("Hello\nworld");
  form->btnSend->click();
  EXPECT_TRUE(Memo("bob").endsWith(")\nalice: Hello\nworld ([5] Hello\nworld)"))
      << Memo("bob").toStdString();
}

TEST_F(MainFormTest, AMessageFromAnotherContactLeavesTheRecipientThePageAndTheTypedText) {
  Start();
  form->show();  // the user is at the window, reading the page on show
  form->activateWindow();
  ASSERT_TRUE(testsupport::PumpUntil([&] { return form->isActiveWindow(); }, 5000));
  client->Receive("carol", "hi");
  Type("I was saying");
  client->Receive("bob", "interrupting");
  EXPECT_EQ(form->ToUsers->currentText(), "carol");
  EXPECT_EQ(form->PageControl1->tabText(form->PageControl1->currentIndex()), "carol");
  EXPECT_EQ(form->SendMessage->toPlainText(), "I was saying");
  const int bob = 1;
  ASSERT_EQ(form->PageControl1->tabText(bob), "bob");
  EXPECT_TRUE(form->PageControl1->tabUnread(bob));
  EXPECT_FALSE(form->PageControl1->tabUnread(0));

  // The user turns to bob's tab: bob is the recipient, and the tab is read.
  form->PageControl1->Choose(bob);
  EXPECT_EQ(form->ToUsers->currentText(), "bob");
  EXPECT_FALSE(form->PageControl1->tabUnread(bob));
  // And choosing carol in the list brings her tab.
  Choose("carol");
  EXPECT_EQ(form->PageControl1->currentIndex(), 0);
}

TEST(StartProgram, AFailureBeforeTheWindowExistsIsAnErrorBox) {
  const testsupport::TempDir temp("pstart");
  const std::string dir = temp.Path();
  // A desktop that opens but cannot number a new window.
  fs::create_directories(dir + "/d/next-window");
  ::chmod((dir + "/d").c_str(), 0700);
  std::vector<std::string> boxes;
  auto box = [&](const std::string& title, const std::string& text) {
    boxes.push_back(title + ": " + text);
  };
  EXPECT_EQ(StartProgram("parlavant", dir + "/d", dir + "/parlavant.ini", box), nullptr);
  std::ofstream(dir + "/file") << "not a directory";
  EXPECT_EQ(StartProgram("parlavant", dir + "/file", dir + "/parlavant.ini", box), nullptr);
  EXPECT_THAT(boxes, ElementsAre("parlavant: Cannot create the application window.",
                                 "parlavant: Desktop " + dir + "/file is not a directory."));

  fs::remove(dir + "/d/next-window");
  auto program = StartProgram("parlavant", dir + "/d", dir + "/parlavant.ini", box);
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(program->form->CaptionAnsi(), "Parlavant 1.0:04");
  EXPECT_EQ(boxes.size(), 2u);
  program.reset();
}

TEST_F(MainFormTest, MalformedServiceSettingsAreSaidOnceAndTheDefaultsServe) {
  std::ofstream(Ini()) << "[General]\r\nWebService=host:99999\r\nWebTimeout=0\r\n"
                          "WebApiKey=two words\r\n";
  Start(false);
  EXPECT_THAT(boxes, IsEmpty()) << "said before start-up was over";
  EXPECT_TRUE(form->SkypeControl.Hooked());
  QCoreApplication::processEvents();
  EXPECT_THAT(boxes, ElementsAre("WebService in parlavant.ini: Invalid port in \"host:99999\"; "
                                 "127.0.0.1:4358 is used.",
                                 "WebTimeout in parlavant.ini: not a number of seconds from 1 to "
                                 "3600; 20 is used.",
                                 "WebApiKey in parlavant.ini: not printable ASCII without blanks; "
                                 "no key is used."));
  EXPECT_EQ(form->Core().HTTP.Timeout, std::chrono::seconds(20));
  boxes.clear();
  // Nothing listens on the default here; the setting is not complained of again.
  EXPECT_THROW(form->Translate(u"x", 1), platform::Error);
  QCoreApplication::processEvents();
  EXPECT_THAT(boxes, IsEmpty());
}

TEST_F(MainFormTest, TheCursorIsBusyWhileATranslationRunsAndRestoredAfterIt) {
  Start(false);
  std::atomic<bool> busy{false};
  testsupport::HttpTestServer watcher([&](const std::string&) {
    busy = QGuiApplication::overrideCursor() != nullptr &&
           QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor;
    return std::string("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
  });
  form.reset();
  std::ofstream(Ini()) << "[General]\r\nWebService=127.0.0.1:" << watcher.Port() << "\r\n";
  form = std::make_unique<TMainForm>(*application, Ini());
  EXPECT_THROW(form->Translate(u"x", 1), platform::Error);
  EXPECT_TRUE(busy);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(MainFormTest, ErrorInAHandlerGoesToTheBoxAndTheLoopGoesOn) {
  Start();
  EXPECT_EQ(TApplication::ErrorBoxText("Connection Closed Gracefully."),
            "Connection Closed Gracefully.");
  EXPECT_EQ(TApplication::ErrorBoxText("HTTP/1.1 500 Internal Server Error"),
            "HTTP/1.1 500 Internal Server Error.");
  EXPECT_EQ(TApplication::ErrorBoxText("Socket Error # 111\r\nConnection refused."),
            "Socket Error # 111\r\nConnection refused.");
  EXPECT_EQ(TApplication::ErrorBoxText("ends in a blank "), "ends in a blank ");
  EXPECT_EQ(TApplication::ErrorBoxText("count: 5"), "count: 5.");
  EXPECT_EQ(TApplication::ErrorBoxText(""), "");
  client->Receive("bob", "FAIL");
  client->Receive("bob", "fine");  // the link goes on after the box
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(Memo("bob").endsWith("bob: [4] fine(fine)"));
}

TEST_F(MainFormTest, EveryLanguagesTextsFitTheirRoom) {
  WriteInterfaceFile(ShippedSource());
  struct Texts {
    const char16_t* receiveIn;
    const char16_t* send;
    const char16_t* to;
    const char16_t* in;
  };
  // By the lists' item index: Deutch, English, Espanol, Francais, Italiano, Turkce, Български.
  const Texts shipped[] = {
      {u"Lesen in:", u"Senden", u"An", u"auf"}, {u"Receive in:", u"Send", u"To", u"in"},
      {u"Leer en:", u"Enviar", u"A", u"en"},    {u"Lire en:", u"Envoyer", u"A", u"en"},
      {u"Leggi in:", u"Invia", u"A", u"in"},    {u"Okuma dili:", u"Gonder", u"->", u"Dil:"},
      {u"Чети на:", u"Изпрати", u"До", u"на"},
  };
  for (int index = 0; index < 7; ++index) {
    SCOPED_TRACE(index);
    WriteIni("Receive=" + std::to_string(index) + "\r\n");
    form.reset();
    Start(false);
    // The room was measured in this face; any other would make the checks below meaningless.
    ASSERT_EQ(QFontInfo(form->l_in->font()).family(), "Liberation Sans");
    ASSERT_EQ(QFontInfo(form->l_in->font()).pixelSize(), 11);
    const Texts& t = shipped[index];
    EXPECT_EQ(form->l_Translate_To->text(), QString::fromUtf16(t.receiveIn));
    EXPECT_EQ(form->btnSend->text(), QString::fromUtf16(t.send));
    EXPECT_EQ(form->l_Send_To->text(), QString::fromUtf16(t.to));
    EXPECT_EQ(form->l_in->text(), QString::fromUtf16(t.in));
    EXPECT_EQ(form->windowTitle(), "Parlavant 1.0:04");
    EXPECT_EQ(form->WarnCB->text(), "Warning");

    // No label runs into its neighbours, and the button's text fits the button.
    const QRect receiveIn = form->l_Translate_To->geometry();
    EXPECT_GT(receiveIn.left(), form->WarnCB->geometry().right());
    EXPECT_LT(receiveIn.right(), form->TranslateTo->x());
    const QRect to = form->l_Send_To->geometry();
    EXPECT_GT(to.left(), form->btnSend->geometry().right());
    EXPECT_LT(to.right(), form->ToUsers->x()) << "l_Send_To " << to.width() << " px";
    const QRect in = form->l_in->geometry();
    EXPECT_GT(in.left(), form->ToUsers->geometry().right()) << "l_in " << in.width() << " px";
    EXPECT_LT(in.right(), form->SendIn->x());
    EXPECT_LE(form->btnSend->fontMetrics().horizontalAdvance(form->btnSend->text()) + 6,
              form->btnSend->width());
  }
  // A label is as wide as its new text and keeps its right edge when right-aligned.
  EXPECT_EQ(form->l_Translate_To->geometry().right(), 377);
  EXPECT_EQ(form->l_Translate_To->width(),
            form->l_Translate_To->fontMetrics().horizontalAdvance(form->l_Translate_To->text()));
}

TEST_F(MainFormTest, ChangingReceiveInRelabelsAtOnceAndChangingInDoesNot) {
  WriteInterfaceFile(ShippedSource());
  WriteIni("Receive=1\r\n");
  Start(false);
  EXPECT_EQ(form->btnSend->text(), "Send");
  form->SendIn->setCurrentIndex(4);
  emit form->SendIn->activated(4);
  EXPECT_EQ(form->btnSend->text(), "Send");
  form->TranslateTo->setCurrentIndex(4);
  emit form->TranslateTo->activated(4);
  EXPECT_EQ(form->btnSend->text(), "Invia");
  EXPECT_EQ(form->l_in->text(), "in");
  form->TranslateTo->setCurrentIndex(6);
  emit form->TranslateTo->activated(6);
  EXPECT_EQ(W(form->btnSend->text()), u"Изпрати");
  EXPECT_EQ(form->InterfaceLanguage(), 2);
}

TEST_F(MainFormTest, TitleTakesTheAnsiFormAndNewTabsWaitForTheNextSwitch) {
  WriteInterfaceFile(
      "MainForm;2;\"Парлавант 1\"\nMainForm.btnSend;2;Изпрати\nMainForm.PageControl1.;2;Chat\n");
  WriteIni("Receive=6\r\n");
  Start();
  // The handle came while the window was created; the switch after it set the whole title.
  EXPECT_EQ(form->windowTitle(), "????????? 1");
  client->AnnounceApi();
  EXPECT_EQ(form->windowTitle(), "????????? 1 - alice");
  EXPECT_EQ(W(form->btnSend->text()), u"Изпрати");
  client->Receive("bob", "hi");
  EXPECT_EQ(form->PageControl1->tabText(0), "bob");
  emit form->TranslateTo->activated(6);
  EXPECT_EQ(form->PageControl1->tabText(0), "Chat");
  EXPECT_EQ(Memo("Chat"), "bob: [2] hi(hi)");
  // A page is its contact's whatever its tab says: bob's next line goes to the same page.
  client->Receive("bob", "again");
  EXPECT_EQ(form->PageControl1->count(), 1);
  EXPECT_EQ(Memo("Chat"), "bob: [2] hi(hi)\nbob: [2] again(again)");
}

TEST_F(MainFormTest, BrokenInterfaceFileEndsFormCreate) {
  WriteInterfaceFile("MainForm.btnSend;1;Go\nbroken\nMainForm.l_in;1;x\n");
  WriteIni("Receive=1\r\n");
  Start();
  EXPECT_THAT(boxes, ElementsAre("LoadTranslations:List index out of bounds (1)"));
  // Neither attach nor language switch nor the bottom row's layout happened.
  EXPECT_THAT(commands, IsEmpty());
  EXPECT_EQ(form->InterfaceLanguage(), 0);
  EXPECT_EQ(form->btnSend->text(), "Send");
  EXPECT_EQ(form->btnSend->y(), 302);
  // What was loaded before the broken line is there for the next switch.
  uilocal::SetInterfaceLanguage(application->Root(), 1);
  EXPECT_EQ(form->btnSend->text(), "Go");
  // The link can still attach when the client announces its API.
  client->AnnounceApi();
  EXPECT_THAT(commands, ::testing::Contains("NAME Parlavant"));
}

}  // namespace
}  // namespace app
