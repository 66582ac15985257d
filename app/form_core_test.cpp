// The window's behaviour on a window of no toolkit: a fake view that shows the form's model only
// from what the model tells it, the stand-in chat client on an in-process desktop, and a
// translator on 127.0.0.1 that answers "[code] text".
#include "app/form_core.h"
#include "app/memory_history_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <vector>

#include "platform/codepage.h"
#include "platform/error.h"
#include "tests/echo_translator.h"
#include "testsupport/http_test_server.h"
#include "testsupport/scoped_variable.h"
#include "testsupport/temp_dir.h"
#include "tools/chatclient/stand_in_client.h"

namespace app {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Keeps what a view would show, updated only by the model's news: where it differs from the
// model, a view would show something stale.
class FakeWindow : public FormView {
 public:
  FormBounds bounds;
  std::string caption;
  bool active = false;
  int attention = 0;
  bool warn = false, sendEnabled = false;
  std::u16string typed;
  std::vector<std::function<void()>> later;
  std::map<Control, std::u16string> captions;  // as the interface texts set them

  explicit FakeWindow(FormModel& model) : model_(model) {
    model_.AddListener(this);
    ContactsChanged();
    LanguagesChanged();
    CaptionChanged();
  }
  ~FakeWindow() override { model_.RemoveListener(this); }

  FormBounds Bounds() const override { return bounds; }
  void SetBounds(const FormBounds& b) override { bounds = b; }
  void PlaceBottomRow() override {}
  bool IsActive() const override { return active; }
  void RequestAttention() override { ++attention; }
  bool WarnChecked() const override { return warn; }
  void SetWarnChecked(bool w) override { warn = w; }
  std::u16string TypedText() const override { return typed; }
  void ClearTyped() override { typed.clear(); }
  void SetSendEnabled(bool e) override { sendEnabled = e; }
  void ShowCaption(Control control, std::u16string_view text) override {
    captions[control] = std::u16string(text);
  }
  void ShowPageCaption(int page, std::u16string_view text) override {
    pages.at(page).caption = platform::WideToAnsi(text);
  }
  void SetBusy(bool) override {}
  void Later(std::function<void()> work) override { later.push_back(std::move(work)); }

  // What it shows.
  std::vector<std::string> contacts;
  int recipient = -1, receiveIn = -1, sendIn = -1, shown = -1;
  bool pagesVisible = false;
  struct Page {
    std::string caption;
    std::vector<std::u16string> lines;
    bool unread = false;
  };
  std::vector<Page> pages;

  void ContactsChanged() override {
    contacts = model_.Contacts();
    recipient = model_.Recipient();
  }
  void RecipientChanged() override { recipient = model_.Recipient(); }
  void LanguagesChanged() override {
    receiveIn = model_.ReceiveIn();
    sendIn = model_.SendIn();
  }
  void ConversationAdded(int c) override {
    ASSERT_EQ(c, static_cast<int>(pages.size()));
    pages.push_back({model_.At(c).handle, {}, false});
  }
  void LineAdded(int c, int line) override {
    ASSERT_EQ(line, static_cast<int>(pages.at(c).lines.size()));
    pages.at(c).lines.push_back(model_.At(c).lines.at(line).text);
  }
  void LinesRestored(int c) override {
    pages.at(c).lines.clear();
    for (const ConversationLine& line : model_.At(c).lines) pages.at(c).lines.push_back(line.text);
  }
  void ShownChanged() override {
    shown = model_.Shown();
    pagesVisible = model_.PagesVisible();
  }
  void UnreadChanged(int c) override { pages.at(c).unread = model_.At(c).unread; }
  void CaptionChanged() override { caption = model_.Caption(); }

  // The model as this view shows it.
  void ExpectShowsTheModel() const {
    EXPECT_EQ(contacts, model_.Contacts());
    EXPECT_EQ(recipient, model_.Recipient());
    EXPECT_EQ(receiveIn, model_.ReceiveIn());
    EXPECT_EQ(sendIn, model_.SendIn());
    EXPECT_EQ(shown, model_.Shown());
    EXPECT_EQ(pagesVisible, model_.PagesVisible());
    EXPECT_EQ(caption, model_.Caption());
    ASSERT_EQ(static_cast<int>(pages.size()), model_.ConversationCount());
    for (int i = 0; i < model_.ConversationCount(); ++i) {
      EXPECT_EQ(pages[i].caption, model_.At(i).handle);
      EXPECT_EQ(pages[i].unread, model_.At(i).unread);
      ASSERT_EQ(pages[i].lines.size(), model_.At(i).lines.size());
      for (std::size_t k = 0; k < pages[i].lines.size(); ++k) {
        EXPECT_EQ(pages[i].lines[k], model_.At(i).lines[k].text);
      }
    }
  }

 private:
  FormModel& model_;
};

// The echo translator ("[code] text"), which also says the text came in language N where it
// holds "from:N"; a text holding "FAIL" gets a 500, one holding "EMPTY" an empty translation.
std::string Translator(const std::string& request) {
  const std::string reply = testsupport::EchoTranslation(request);
  const std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
  const auto answer = [](const std::string& b) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(b.size()) + "\r\n\r\n" + b;
  };
  if (body.find("FAIL") != std::string::npos) {
    return "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
  }
  if (body.find("EMPTY") != std::string::npos) return answer("l1=");
  const std::size_t from = body.find("from:");
  if (from == std::string::npos) return reply;
  return answer(body + "&SourceLang=" + body[from + 5] + "&");
}

// The form's behaviour with its fake window, the stand-in client and the translator.
class Form {
 public:
  Form(platform::Desktop& desktop, const std::string& ini, History* history = nullptr)
      : history_(history),
        window_(desktop, "parlavant"),
        root_(uilocal::ComponentKind::kApplication, "", nullptr),
        core_(std::make_unique<FormCore>(view_, Context(desktop), ini)),
        view_(core_->Model()) {
    // What leaves a handler of the link's events: the error box's text.
    window_.SetExceptionHandler([this](std::exception_ptr error) {
      errors.push_back(platform::ApplicationWindow::MessageOf(error));
    });
  }

  FormCore& Core() { return *core_; }
  FormModel& Model() { return core_->Model(); }
  FakeWindow& View() { return view_; }
  std::vector<std::string> errors;

 private:
  FormContext Context(platform::Desktop& desktop) {
    return {desktop, window_, root_, noData_, [this](const std::function<void()>& handler) {
              try {
                handler();
                return true;
              } catch (const std::exception& e) {
                errors.push_back(e.what());
                return false;
              }
            },
            [this]() -> std::unique_ptr<History> {
              // The test's history outlives the window, as a file does.
              struct Borrowed : History {
                History& h;
                explicit Borrowed(History& to) : h(to) {}
                void Open(const std::string& u) override { h.Open(u); }
                std::vector<KeptPage> Pages() override { return h.Pages(); }
                std::string Shown() override { return h.Shown(); }
                std::vector<KeptLine> Lines(const std::string& c, std::int64_t b, int n) override {
                  return h.Lines(c, b, n);
                }
                std::int64_t Newest() override { return h.Newest(); }
                void KeepPage(const std::string& c) override { h.KeepPage(c); }
                void Keep(const std::string& c, const ConversationLine& l, std::int64_t t,
                          std::int32_t id) override {
                  h.Keep(c, l, t, id);
                }
                bool Kept(const std::string& c, const ConversationLine& l, std::int32_t id,
                          std::int64_t since) override {
                  return h.Kept(c, l, id, since);
                }
                void SetUnread(const std::string& c, bool u) override { h.SetUnread(c, u); }
                void SetShown(const std::string& c) override { h.SetShown(c); }
                void Forget(const std::string& c) override { h.Forget(c); }
                std::string TakeProblem() override { return h.TakeProblem(); }
              };
              if (history_ == nullptr) return nullptr;
              return std::make_unique<Borrowed>(*history_);
            }};
  }

  History* history_;

  platform::ApplicationWindow window_;
  uilocal::TComponent root_;
  const std::vector<std::string> noData_;
  // The view is bound to the core's model: the core is made first and goes last.
  std::unique_ptr<FormCore> core_;
  FakeWindow view_;
};

class FormCoreTest : public ::testing::Test {
 protected:
  FormCoreTest() {
    StartClient({});
    std::ofstream(ini_) << "[General]\r\nWebService=127.0.0.1:" << translator_.Port()
                        << "\r\nReceive=1\r\nSend=2\r\nLeft=5\r\nTop=6\r\n";
  }
  std::unique_ptr<Form> Open(History* history = nullptr) {
    auto form = std::make_unique<Form>(*desktop_, ini_, history);
    form->Core().FormCreate();
    return form;
  }
  std::string Ini() const {
    std::ifstream in(ini_, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  testsupport::TempDir dir_{"pcore"};
  testsupport::HttpTestServer translator_{Translator};
  const std::string ini_ = dir_.Path() + "/parlavant.ini";
  std::unique_ptr<platform::Desktop> desktop_ = platform::MakeInProcessDesktop();
  std::unique_ptr<standin::StandInClient> client_;
  std::vector<std::string> commands_;  // what the chat client was told, in order

  // A chat client with other contacts (or another user), in place of the one that came with the
  // test; before Open, or to be told again with AnnounceApi.
  void StartClient(standin::ClientOptions options) {
    client_ = std::make_unique<standin::StandInClient>(
        *desktop_, std::move(options), [this](standin::Direction d, std::string_view line) {
          if (d == standin::Direction::kIn) commands_.emplace_back(line);
        });
  }
  std::vector<std::string> Gets() const {
    std::vector<std::string> gets;
    for (const std::string& c : commands_) {
      if (c.rfind("GET ", 0) == 0) gets.push_back(c);
    }
    return gets;
  }
  // The lines of the page with this handle, joined as a memo shows them.
  static std::u16string Page(Form& form, const std::string& handle) {
    const int c = form.Model().FindConversation(handle);
    if (c < 0) return u"(no page)";
    std::u16string text;
    for (const ConversationLine& line : form.Model().At(c).lines) {
      text += (text.empty() ? u"" : u"\n") + line.text;
    }
    return text;
  }
};

TEST_F(FormCoreTest, AConversationOnAWindowOfNoToolkit) {
  auto form = Open();
  FakeWindow& view = form->View();
  FormModel& model = form->Model();
  std::vector<std::u16string> told;
  form->Core().OnUnseenMessage = [&](const std::u16string& from, const std::u16string& line) {
    told.push_back(from + u" " + line);
  };
  EXPECT_EQ(model.Caption(), "Parlavant 1.0:04 - alice");
  EXPECT_EQ(model.Contacts(), (std::vector<std::string>{"bob", "carol"}));
  EXPECT_EQ(model.Recipient(), -1);  // nobody chosen before the user chooses
  EXPECT_EQ(model.ReceiveIn(), 1);
  EXPECT_EQ(form->Core().InterfaceLanguage(), kEnglish);

  // carol writes first, while the user is elsewhere: her page is on show and she is chosen;
  // the mark and the call for attention stay while the user is away.
  client_->Receive("carol", "hola");
  ASSERT_EQ(model.ConversationCount(), 1);
  EXPECT_EQ(model.At(0).handle, "carol");
  EXPECT_THAT(view.pages[0].lines, ElementsAre(u"carol: [1] hola(hola)"));
  EXPECT_TRUE(model.At(0).unread);
  EXPECT_TRUE(model.PagesVisible());
  EXPECT_EQ(view.attention, 1);
  EXPECT_THAT(told, ElementsAre(u"carol [1] hola"));
  EXPECT_EQ(model.RecipientHandle(), "carol");
  form->Core().FormActivate();
  EXPECT_FALSE(model.At(0).unread);

  // bob writes while the user reads carol: his page waits, marked; the answer goes to carol.
  view.active = true;
  client_->Receive("bob", "que tal");
  EXPECT_EQ(model.Shown(), 0);
  EXPECT_TRUE(model.At(1).unread);
  view.warn = true;
  view.typed = u"hi\r\nthere";
  form->Core().SendMessageChange();
  EXPECT_TRUE(view.sendEnabled);
  form->Core().btnSendClick();
  ASSERT_EQ(client_->Sent().size(), 1u);
  EXPECT_EQ(client_->Sent()[0].handle, "carol");
  EXPECT_EQ(client_->Sent()[0].text, "[5] hi\r\nthere - Translated with Parlavant");
  EXPECT_THAT(view.pages[0].lines,
              ElementsAre(u"carol: [1] hola(hola)", u"alice: hi\r\nthere ([5] hi\r\nthere)"));
  EXPECT_TRUE(view.typed.empty());
  EXPECT_FALSE(view.sendEnabled);

  // Choosing bob in the list brings his page, read; choosing dave, who never wrote, an empty one.
  form->Core().ToUsersChange(model.FindContact("bob"));
  EXPECT_EQ(model.Shown(), 1);
  EXPECT_FALSE(model.At(1).unread);
  client_->SetContacts({"bob", "carol", "dave"});
  client_->AnnounceApi();
  form->Core().ToUsersChange(model.FindContact("dave"));
  EXPECT_EQ(model.Shown(), 2);
  EXPECT_TRUE(model.At(2).lines.empty());
  // A list without dave keeps him (he has a page) and chosen.
  client_->SetContacts({"bob"});
  client_->AnnounceApi();
  EXPECT_EQ(model.Contacts(), (std::vector<std::string>{"bob", "carol", "dave"}));
  EXPECT_EQ(model.RecipientHandle(), "dave");
  view.ExpectShowsTheModel();

  // Closing keeps the window's place and choices.
  view.bounds = {7, 8, 500, 400};
  form->Core().FormClose();
  EXPECT_THAT(Ini(), HasSubstr("Receive=1\r\nSend=2\r\nLeft=7\r\nTop=8\r\n"));
  EXPECT_THAT(Ini(), HasSubstr("Width=500\r\nHeight=400\r\nShowWarn=1\r\n"));
  EXPECT_THAT(Ini(), HasSubstr("[ContactLanguages]\r\ncarol=2\r\n"));
  EXPECT_TRUE(form->errors.empty());
}

TEST_F(FormCoreTest, EachContactKeepsTheLanguageTheyAreAnsweredIn) {
  auto form = Open();
  FormModel& model = form->Model();
  FormCore& core = form->Core();
  form->View().typed = u"x";
  // bob is answered in Italian; carol, who has no language yet, takes "in" as it stands and is
  // moved to French; each comes back with their own.
  core.ToUsersChange(model.FindContact("bob"));
  core.SendInChange(4);
  core.ToUsersChange(model.FindContact("carol"));
  EXPECT_EQ(model.SendIn(), 4);
  core.SendInChange(3);
  core.PageControl1UserSelect(model.FindConversation("bob"));
  EXPECT_EQ(model.SendIn(), 4);
  core.btnSendClick();
  EXPECT_EQ(client_->Sent().back().text, "[7] x - Translated with Parlavant");
  core.PageControl1UserSelect(model.FindConversation("carol"));
  EXPECT_EQ(model.SendIn(), 3);
  // dave writes Spanish: that is his language, and "in" takes it when he is chosen.
  client_->Receive("dave", "hola from:5");
  EXPECT_EQ(model.SendIn(), 3);
  core.ToUsersChange(model.FindContact("dave"));
  EXPECT_EQ(model.SendIn(), 2);
  // bob's is kept across a restart: it went out with a message.
  form.reset();
  form = Open();
  form->Core().ToUsersChange(form->Model().FindContact("bob"));
  EXPECT_EQ(form->Model().SendIn(), 4);
  EXPECT_TRUE(form->errors.empty());
}

TEST_F(FormCoreTest, SettingsAtTheFirstStartAfterARestartAndWhenMalformed) {
  std::ofstream(ini_) << "[General]\r\nWebService=127.0.0.1:" << translator_.Port() << "\r\n";
  auto form = Open();
  // English, or Spanish to someone reading English (the locale decides the reading language).
  EXPECT_EQ(form->Model().SendIn(), form->Model().ReceiveIn() == 1 ? 2 : 1);
  EXPECT_EQ(form->View().bounds.left, 230);
  EXPECT_EQ(form->View().bounds.top, 160);
  EXPECT_EQ(form->View().bounds.width, 370);  // the view makes it the minimum
  EXPECT_EQ(form->View().bounds.height, 338);
  EXPECT_TRUE(form->View().warn);
  EXPECT_FALSE(form->Model().PagesVisible());
  form.reset();

  std::ofstream(ini_) << "[General]\r\nWebService=127.0.0.1:" << translator_.Port()
                      << "\r\nReceive=3\r\nSend=6\r\nLeft=40\r\nTop=0x32\r\nWidth=600\r\n"
                         "Height=420\r\nShowWarn=0\r\n";
  form = Open();
  EXPECT_EQ(form->Model().ReceiveIn(), 3);
  EXPECT_EQ(form->Model().SendIn(), 6);
  EXPECT_EQ(form->View().bounds.top, 50);
  EXPECT_FALSE(form->View().warn);
  form->Core().TranslateToChange(5);
  EXPECT_EQ(form->Core().InterfaceLanguage(), kTurkish);
  form->View().bounds = {77, 88, 640, 400};
  form->View().warn = true;
  form->Core().FormClose();
  form.reset();
  EXPECT_THAT(Ini(), HasSubstr("WebService=127.0.0.1:"));  // never written, kept
  form = Open();
  EXPECT_EQ(form->Model().ReceiveIn(), 5);
  EXPECT_EQ(form->Model().SendIn(), 6);
  EXPECT_EQ(form->View().bounds.left, 77);
  EXPECT_EQ(form->View().bounds.height, 400);
  EXPECT_TRUE(form->View().warn);
  form.reset();

  // Any value but 1 unticks; an index that is no item selects none, which reads English.
  std::ofstream(ini_) << "[General]\r\nShowWarn=2\r\nReceive=9\r\nSend=x\r\n";
  form = Open();
  EXPECT_FALSE(form->View().warn);
  EXPECT_EQ(form->Model().ReceiveIn(), -1);
  EXPECT_EQ(form->Model().SendIn(), 1);  // English
  EXPECT_EQ(form->Core().InterfaceLanguage(), kEnglish);
  form->Core().FormClose();
  EXPECT_THAT(Ini(), HasSubstr("Receive=-1\r\n"));
  EXPECT_THAT(Ini(), HasSubstr("ShowWarn=0\r\n"));
  EXPECT_THAT(form->errors, ::testing::IsEmpty());
}

TEST_F(FormCoreTest, AttachFillsTheContactsSortedAndTheCaptionOnce) {
  StartClient({.contacts = {"zoe", "Bob", "Carol", "bob", "alice"}});
  auto form = Open();
  // Sorted without regard to letter case, an item after its equals.
  EXPECT_EQ(form->Model().Contacts(),
            (std::vector<std::string>{"alice", "Bob", "bob", "Carol", "zoe"}));
  EXPECT_EQ(form->Model().Caption(), "Parlavant 1.0:04 - alice");
  EXPECT_EQ(form->Core().CurrentUserHandle, "alice");
  EXPECT_THAT(commands_,
              ::testing::IsSupersetOf({"NAME Parlavant", "PROTOCOL 4", "SEARCH FRIENDS "}));
  // Handles that differ only in letter case write to two pages of one contact.
  client_->Receive("BOB", "one");
  client_->Receive("bob", "two");
  EXPECT_EQ(Page(*form, "BOB"), u"BOB: [1] one(one)");
  EXPECT_EQ(Page(*form, "bob"), u"bob: [1] two(two)");
  EXPECT_EQ(form->Model().RecipientHandle(), "Bob");
  EXPECT_EQ(form->Model().Contacts().size(), 5u);

  client_->SetContacts({});
  client_->SetUser("alice2");
  client_->AnnounceApi();  // attached again: a second report of the handle
  EXPECT_EQ(form->Model().Caption(), "Parlavant 1.0:04 - alice2");
  EXPECT_EQ(form->Model().Contacts(), (std::vector<std::string>{"BOB"}));  // who has a page
  form->View().ExpectShowsTheModel();
}

TEST_F(FormCoreTest, ReceivedMessagesInEitherOrderInterleavedRepeatedOrMalformed) {
  auto form = Open();
  client_->Receive("bob", "Hola  amigo \xF0\x9F\x98\x80");
  EXPECT_EQ(Page(*form, "bob"), u"bob: [1] Hola  amigo \U0001F600(Hola  amigo \U0001F600)");
  EXPECT_THAT(Gets(), ElementsAre("GET CHATMESSAGE 1000 FROM_HANDLE", "GET CHATMESSAGE 1000 BODY"));
  // Body before handle, for an id nobody asked about; interleaved: handle of A, handle of B,
  // body of A, body of B.
  client_->SendRaw("CHATMESSAGE 7 BODY first");
  EXPECT_EQ(form->Core().PendingChatMessages.Count(), 1u);
  client_->SendRaw("CHATMESSAGE 7 FROM_HANDLE carol");
  client_->SendRaw("CHATMESSAGE 8 FROM_HANDLE bob");
  client_->SendRaw("CHATMESSAGE 9 FROM_HANDLE dave");
  client_->SendRaw("CHATMESSAGE 8 BODY a");
  client_->SendRaw("CHATMESSAGE 9 BODY b");
  EXPECT_EQ(Page(*form, "carol"), u"carol: [1] first(first)");
  EXPECT_EQ(Page(*form, "bob"),
            u"bob: [1] Hola  amigo \U0001F600(Hola  amigo \U0001F600)\nbob: [1] a(a)");
  EXPECT_EQ(Page(*form, "dave"), u"dave: [1] b(b)");
  EXPECT_EQ(form->Core().PendingChatMessages.Count(), 0u);
  // Other statuses ask nothing; an empty body never completes; a cut UTF-8 sequence is the
  // empty text; a status reported again shows the message again.
  const std::size_t gets = Gets().size();
  client_->SendRaw("CHATMESSAGE 5 STATUS SENT");
  client_->SendRaw("CHATMESSAGE 5 STATUS received");
  EXPECT_EQ(Gets().size(), gets);
  client_->Receive("erin", "");
  EXPECT_EQ(form->Core().PendingChatMessages.Count(), 1u);
  EXPECT_EQ(form->Model().FindConversation("erin"), -1);
  const std::int32_t id = client_->Receive("zed", "caf\xC3");
  EXPECT_EQ(Page(*form, "zed"), u"zed: [1] ()");
  client_->SendRaw("CHATMESSAGE " + std::to_string(id) + " STATUS RECEIVED");
  EXPECT_EQ(Page(*form, "zed"), u"zed: [1] ()\nzed: [1] ()");
  EXPECT_GE(form->Model().FindContact("zed"), 0);  // a stranger, in the list to be answered
  EXPECT_THAT(form->errors, ::testing::IsEmpty());
}

TEST_F(FormCoreTest, AMessageThatCannotBeTranslatedIsShownAsItCameWithOneBoxARun) {
  auto form = Open();
  client_->Receive("bob", "FAIL one");
  client_->Receive("bob", "FAIL two");  // the translator is still down: no second box
  EXPECT_THAT(form->errors, ElementsAre("HTTP/1.1 500 Internal Server Error"));
  EXPECT_EQ(Page(*form, "bob"),
            u"bob: FAIL one (untranslated: HTTP/1.1 500 Internal Server Error)\n"
            u"bob: FAIL two (untranslated: HTTP/1.1 500 Internal Server Error)");
  EXPECT_EQ(form->Model().At(0).lines[0].kind, LineKind::kUntranslated);
  EXPECT_EQ(form->Core().PendingChatMessages.Count(), 0u);
  // Back: translated again, and the next failure is a new run with its own box.
  client_->Receive("bob", "fine");
  client_->Receive("bob", "FAIL three");
  EXPECT_EQ(form->errors.size(), 2u);
  EXPECT_EQ(form->Model().At(0).lines[2].text, u"bob: [1] fine(fine)");

  // Where the launcher says the translator it started is down, the line says so in words; the
  // box keeps the service's own.
  const std::string state = ini_ + ".translator";
  const testsupport::ScopedVariable variable(kTranslatorStateVariable, state);
  std::ofstream(state) << "restarting\n";
  client_->Receive("bob", "fine");
  client_->Receive("bob", "FAIL four");
  std::ofstream(state) << "stopped\n";
  client_->Receive("bob", "FAIL five");
  std::ofstream(state) << "running\n";
  client_->Receive("bob", "FAIL six");
  EXPECT_EQ(form->errors.back(), "HTTP/1.1 500 Internal Server Error");
  const auto& lines = form->Model().At(0).lines;
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[5].text, u"bob: FAIL four (untranslated: " +
                               std::u16string(kTranslatorRestarting) + u")");
  EXPECT_EQ(lines[6].text,
            u"bob: FAIL five (untranslated: " + std::u16string(kTranslatorStopped) + u")");
  EXPECT_EQ(lines[7].text, u"bob: FAIL six (untranslated: HTTP/1.1 500 Internal Server Error)");
}

TEST_F(FormCoreTest, SendFollowsVisibleTextTranslatesSignsAndLogs) {
  auto form = Open();
  FakeWindow& view = form->View();
  FormCore& core = form->Core();
  for (const auto& [typed, enabled] : std::vector<std::pair<std::u16string, bool>>{
           {u" \t\r\n ", false}, {u" \n x", true}, {u"", false}, {u"\u00A0", true}}) {
    view.typed = typed;
    core.SendMessageChange();
    EXPECT_EQ(view.sendEnabled, enabled);
  }
  core.ToUsersChange(form->Model().FindContact("bob"));
  view.warn = true;
  view.typed = u"Hello\r\nworld";
  core.btnSendClick();
  ASSERT_EQ(client_->Sent().size(), 1u);
  EXPECT_EQ(client_->Sent()[0].handle, "bob");
  EXPECT_EQ(client_->Sent()[0].text, "[5] Hello\r\nworld - Translated with Parlavant");
  EXPECT_EQ(Page(*form, "bob"), u"alice: Hello\r\nworld ([5] Hello\r\nworld)");
  EXPECT_TRUE(view.typed.empty());
  EXPECT_FALSE(view.sendEnabled);

  core.ToUsersChange(form->Model().FindContact("carol"));
  core.SendInChange(6);  // Български
  view.typed = u"Zdravei";
  core.btnSendClick();
  EXPECT_EQ(
      client_->Sent()[1].text,
      "[2] Zdravei - \xD0\x9F\xD1\x80\xD0\xB5\xD0\xB2\xD0\xB5\xD0\xB4\xD0\xB5\xD0\xBD\xD0\xBE "
      "\xD1\x81\xD1\x8A\xD1\x81 Parlavant");
  view.warn = false;
  view.typed = u"EMPTY";
  core.btnSendClick();
  EXPECT_EQ(client_->Sent()[2].text, "");
  EXPECT_EQ(Page(*form, "carol"), u"alice: Zdravei ([2] Zdravei)\nalice: EMPTY");

  // A translation that fails sends and shows nothing, and the typed text stays.
  view.typed = u"FAIL";
  view.sendEnabled = true;
  EXPECT_THROW(
      {
        try {
          core.btnSendClick();
        } catch (const platform::Error& e) {
          EXPECT_STREQ(e.what(), "HTTP/1.1 500 Internal Server Error");
          throw;
        }
      },
      platform::Error);
  EXPECT_EQ(client_->Sent().size(), 3u);
  EXPECT_EQ(view.typed, u"FAIL");
  EXPECT_TRUE(view.sendEnabled);
  EXPECT_EQ(form->Model().At(form->Model().Shown()).lines.size(), 2u);
}

TEST_F(FormCoreTest, TheServiceKeyGoesWithEveryRequestToTheWebService) {
  std::ofstream(ini_) << "[General]\r\nWebService=127.0.0.1:" << translator_.Port()
                      << "\r\nWebApiKey= office-key-7 \r\nWebCaFile=/etc/office-ca.pem\r\n";
  auto form = Open();
  EXPECT_EQ(form->Core().HTTP.CaFile, "/etc/office-ca.pem");
  EXPECT_EQ(form->Core().Translate(u"x", 1), u"[1] x");  // the fake service's answer
  ASSERT_FALSE(translator_.Requests().empty());
  EXPECT_THAT(translator_.Requests().back(), HasSubstr("\r\nX-Api-Key: office-key-7\r\n"));
  EXPECT_TRUE(form->errors.empty());
}

TEST_F(FormCoreTest, ASendThatFailsOrCannotGoIsSaidInItsPageOrRefused) {
  auto form = Open();
  FakeWindow& view = form->View();
  FormCore& core = form->Core();
  // Nobody chosen: refused before anything is translated.
  const std::size_t requests = translator_.Requests().size();
  view.typed = u"hi";
  EXPECT_THROW(core.btnSendClick(), platform::Error);
  EXPECT_EQ(translator_.Requests().size(), requests);
  EXPECT_EQ(view.typed, u"hi");

  // Reported failed by the chat client: said once, in the page, with the text.
  core.ToUsersChange(form->Model().FindContact("bob"));
  view.typed = u"one";
  core.btnSendClick();
  view.typed = u"two";
  core.btnSendClick();
  client_->SendRaw("CHATMESSAGE 1001 STATUS SENT");
  client_->SendRaw("CHATMESSAGE 1000 STATUS FAILED");
  client_->SendRaw("CHATMESSAGE 1001 STATUS FAILED");  // already delivered: nothing to say
  client_->SendRaw("CHATMESSAGE 1000 STATUS FAILED");  // said once
  EXPECT_EQ(Page(*form, "bob"),
            u"alice: one ([5] one)\nalice: two ([5] two)\nalice: one ([5] one) (not delivered)");
  EXPECT_EQ(form->Model().At(0).lines.back().kind, LineKind::kNotDelivered);

  // The chat client gone without a word: the line says so, the text stays, the caption too; a
  // send meanwhile is refused; once it is back the text goes.
  client_.reset();
  view.typed = u"hola";
  core.btnSendClick();
  EXPECT_EQ(form->Model().At(0).lines.back().text,
            u"alice: hola ([5] hola) (not delivered: the chat connection has closed)");
  EXPECT_EQ(view.typed, u"hola");
  EXPECT_EQ(form->Model().Caption(), "Parlavant 1.0:04 - alice (the chat connection has closed)");
  EXPECT_THROW(core.btnSendClick(), platform::Error);
  StartClient({});
  client_->AnnounceApi();
  EXPECT_EQ(form->Model().Caption(), "Parlavant 1.0:04 - alice");
  core.btnSendClick();
  EXPECT_EQ(form->Model().At(0).lines.back().text, u"alice: hola ([5] hola)");
  EXPECT_EQ(form->Model().RecipientHandle(), "bob");
  EXPECT_THAT(form->errors, ::testing::IsEmpty());
}

TEST_F(FormCoreTest, LinesKeptFromBeforeGoBeforeThePagesOwn) {
  auto form = Open();
  FormModel& model = form->Model();
  client_->Receive("bob", "hola");
  client_->Receive("carol", "hi");
  model.Restore(1, {{LineKind::kSent, u"alice: earlier"}, {LineKind::kReceived, u"carol: older"}},
                true);
  EXPECT_EQ(Page(*form, "carol"), u"alice: earlier\ncarol: older\ncarol: [1] hi(hi)");
  EXPECT_TRUE(model.At(1).unread);
  form->Core().FormActivate();
  model.Restore(0, {{LineKind::kReceived, u"bob: before"}}, true);  // on show, and seen
  EXPECT_FALSE(model.At(0).unread);
  form->View().ExpectShowsTheModel();
}

// The window closed and opened again keeps its conversations; a history that cannot write is
// said once; KeepHistory=0 keeps and shows nothing; a forgotten conversation goes.
TEST_F(FormCoreTest, ConversationsOutliveTheWindow) {
  MemoryHistory history;
  {
    auto form = Open(&history);
    client_->Receive("carol", "hi");
    form->Core().ToUsersChange(form->Model().FindContact("bob"));
    form->View().typed = u"hola";
    form->Core().btnSendClick();
    history.problem = "The conversations are not being kept: the disk is full.";
    client_->Receive("carol", "again");
    client_->Receive("carol", "and again");
    for (auto& work : std::exchange(form->View().later, {})) work();
    EXPECT_THAT(form->errors, ElementsAre(HasSubstr("the disk is full")));
    form->Core().FormClose();
  }
  auto form = Open(&history);
  FormModel& model = form->Model();
  ASSERT_EQ(model.ConversationCount(), 2);
  EXPECT_EQ(Page(*form, "bob"), u"alice: hola ([5] hola)");
  EXPECT_TRUE(model.At(model.FindConversation("carol")).unread);
  EXPECT_EQ(model.RecipientHandle(), "bob");
  EXPECT_EQ(model.At(model.Shown()).handle, "bob");
  form->Core().PageControl1UserSelect(model.FindConversation("carol"));
  EXPECT_EQ(Page(*form, "carol"), u"carol: [1] hi(hi)\ncarol: [1] again(again)\n"
                                  u"carol: [1] and again(and again)");
  form->View().ExpectShowsTheModel();

  form->Core().ForgetConversation(model.FindConversation("carol"));
  EXPECT_EQ(Page(*form, "carol"), u"");
  EXPECT_TRUE(history.TextsOf("carol").empty());
  form.reset();

  ASSERT_TRUE(platform::ProfileFile(ini_).WriteString("General", "KeepHistory", "0"));
  form = Open(&history);
  EXPECT_EQ(form->Model().ConversationCount(), 0);
  client_->Receive("dave", "unkept");
  EXPECT_TRUE(history.TextsOf("dave").empty());
}

// Text the translator says was already in the language it goes out in is sent unsigned: it was
// not translated.
TEST_F(FormCoreTest, TextAlreadyInTheTargetLanguageGoesOutUnsigned) {
  auto form = Open();
  form->View().warn = true;
  form->Core().ToUsersChange(form->Model().FindContact("bob"));
  form->Core().SendInChange(2);  // Espanol: code 5
  form->View().typed = u"hola from:5";
  form->Core().btnSendClick();
  form->View().typed = u"hello";
  form->Core().btnSendClick();
  ASSERT_EQ(client_->Sent().size(), 2u);
  EXPECT_EQ(client_->Sent()[0].text, "[5] hola from:5");
  EXPECT_EQ(client_->Sent()[1].text, "[5] hello - Translated with Parlavant");
}

// A window killed after it showed a message but before the chat client knew: the chat client
// announces it again to the next window, which shows and keeps it once. A new message with the
// same text is a new line.
TEST_F(FormCoreTest, AMessageAnnouncedAgainAfterTheWindowDiedIsShownOnce) {
  MemoryHistory history;
  std::int32_t id = 0;
  {
    auto form = Open(&history);
    id = client_->Receive("carol", "hola");
  }
  auto form = Open(&history);
  client_->SendRaw("CHATMESSAGE " + std::to_string(id) + " STATUS RECEIVED");
  EXPECT_EQ(Page(*form, "carol"), u"carol: [1] hola(hola)");
  EXPECT_EQ(history.TextsOf("carol").size(), 1u);
  client_->Receive("carol", "hola");
  EXPECT_EQ(Page(*form, "carol"), u"carol: [1] hola(hola)\ncarol: [1] hola(hola)");
  EXPECT_EQ(history.TextsOf("carol").size(), 2u);
}

// The events that can change the page on show or the recipient, in random order; after each one
// the page on show is the person answered, and the fake view shows what the model holds.
TEST_F(FormCoreTest, ThePageOnShowIsAlwaysThePersonAnswered) {
  const std::vector<std::string> people = {"bob", "carol", "Bob", "dave", "erin", "zoe"};
  std::unique_ptr<Form> form;
  int sends = 0, choices = 0;
  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    client_->SetContacts({"bob", "carol"});
    form = Open();
    for (int step = 0; step < 20; ++step) {
      FormModel& model = form->Model();
      FormCore& core = form->Core();
      const int shownBefore = model.Shown();
      const std::string recipientBefore = model.RecipientHandle();
      const int event = pick(8);
      SCOPED_TRACE("step " + std::to_string(step) + ", event " + std::to_string(event));
      switch (event) {
        case 0:  // a contact or a stranger writes, the user at the window or not
          if (pick(2) == 0) {
            form->View().active = false;
          } else if (!form->View().active) {
            form->View().active = true;
            core.FormActivate();
          }
          client_->Receive(people[static_cast<std::size_t>(pick(6))],
                           pick(3) == 0 ? "hola from:5" : "hi");
          if (shownBefore >= 0) {
            EXPECT_EQ(model.Shown(), shownBefore);
            EXPECT_EQ(model.RecipientHandle(), recipientBefore);
          }
          break;
        case 1:  // a click on a tab, the one on show included
          if (model.ConversationCount() > 0) {
            core.PageControl1UserSelect(pick(model.ConversationCount()));
          }
          break;
        case 2:  // a choice in the list
          if (!model.Contacts().empty()) {
            core.ToUsersChange(pick(static_cast<int>(model.Contacts().size())));
            ++choices;
          }
          break;
        case 3:  // Ctrl+Tab
          if (model.ConversationCount() > 0) {
            core.PageControl1UserSelect((model.Shown() + 1) % model.ConversationCount());
          }
          break;
        case 4: {  // a new contact list
          std::vector<std::string> roster;
          for (const std::string& p : people) {
            if (pick(2) == 0) roster.push_back(p);
          }
          client_->SetContacts(roster);
          client_->AnnounceApi();
          EXPECT_EQ(model.Shown(), shownBefore);
          EXPECT_TRUE(SameContact(model.RecipientHandle(), recipientBefore));
          break;
        }
        case 5:  // "in" changed
          core.SendInChange(pick(7));
          break;
        case 6:  // a send
          form->View().typed = u"x";
          if (model.Recipient() < 0) {
            EXPECT_THROW(core.btnSendClick(), platform::Error);
            break;
          }
          core.btnSendClick();
          ++sends;
          EXPECT_TRUE(SameContact(client_->Sent().back().handle, model.At(shownBefore).handle));
          EXPECT_EQ(client_->Sent().back().text.substr(0, 3),
                    "[" + std::to_string(FormCore::LangCodeFromComboIndex(model.SendIn())) + "]");
          EXPECT_EQ(model.At(shownBefore).lines.back().kind, LineKind::kSent);
          break;
        default:  // closed and opened again
          form->Core().FormClose();
          form.reset();
          form = Open();
          break;
      }
      const FormModel& m = form->Model();
      ASSERT_EQ(m.Shown() >= 0, m.ConversationCount() > 0);
      ASSERT_EQ(m.Recipient() >= 0, m.Shown() >= 0);
      if (m.Shown() >= 0) {
        EXPECT_TRUE(SameContact(m.RecipientHandle(), m.At(m.Shown()).handle));
        EXPECT_FALSE(m.At(m.Shown()).unread && form->View().active);
        const int language = form->Model().ContactLanguage(m.RecipientHandle());
        if (language >= 0) {
          EXPECT_EQ(m.SendIn(), language);
        }
      }
      for (int i = 0; i < m.ConversationCount(); ++i) EXPECT_GE(m.FindContact(m.At(i).handle), 0);
      form->View().ExpectShowsTheModel();
      if (HasFatalFailure() || HasFailure()) return;
    }
  }
  EXPECT_GT(sends, 200);
  EXPECT_GT(choices, 200);
  EXPECT_THAT(form->errors, ::testing::IsEmpty());
}

}  // namespace
}  // namespace app
