// The window's behaviour on a window of no toolkit: a fake that records what is done to its
// controls, the stand-in chat client on an in-process desktop, and a translator on 127.0.0.1
// that answers "[code] text".
#include "app/form_core.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <vector>

#include "platform/codepage.h"
#include "tests/echo_translator.h"
#include "testsupport/http_test_server.h"
#include "testsupport/temp_dir.h"
#include "tools/chatclient/stand_in_client.h"

namespace app {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FakeWindow : public FormView {
 public:
  FormBounds bounds;
  std::string caption = "Parlavant 1.0:04";
  bool active = false;
  int attention = 0;
  std::map<ListControl, std::vector<std::string>> items{
      {ListControl::kTranslateTo,
       {"Deutch", "English", "Espanol", "Francais", "Italiano", "Turkce",
        "\xC1\xFA\xEB\xE3\xE0\xF0\xF1\xEA\xE8"}},
      {ListControl::kSendIn, {}},
      {ListControl::kToUsers, {}}};
  std::map<ListControl, int> index{
      {ListControl::kTranslateTo, 6}, {ListControl::kSendIn, 1}, {ListControl::kToUsers, -1}};
  bool warn = false, sendEnabled = false, pagesShown = false;
  std::u16string typed;
  struct Page {
    std::string caption;
    std::vector<std::u16string> lines;
    bool unread = false;
  };
  std::vector<Page> pages;
  int current = -1;

  FakeWindow() { items[ListControl::kSendIn] = items[ListControl::kTranslateTo]; }

  FormBounds Bounds() const override { return bounds; }
  void SetBounds(const FormBounds& b) override { bounds = b; }
  void PlaceBottomRow() override {}
  std::string CaptionAnsi() const override { return caption; }
  void SetCaptionAnsi(const std::string& c) override { caption = c; }
  bool IsActive() const override { return active; }
  void RequestAttention() override { ++attention; }
  int ItemIndex(ListControl l) const override { return index.at(l); }
  void SetItemIndex(ListControl l, int i) override { index[l] = i; }
  int ItemCount(ListControl l) const override { return static_cast<int>(items.at(l).size()); }
  std::string ItemAnsi(ListControl l, int i) const override { return items.at(l).at(i); }
  int FindItem(ListControl l, const std::string& item, bool ignoreCase) const override {
    const auto& list = items.at(l);
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (ignoreCase ? Lower(list[i]) == Lower(item) : list[i] == item) return static_cast<int>(i);
    }
    return -1;
  }
  int AddSorted(ListControl l, const std::string& item) override {
    auto& list = items[l];
    auto at = list.begin();
    while (at != list.end() && Lower(*at) <= Lower(item)) ++at;
    const int i = static_cast<int>(at - list.begin());
    list.insert(at, item);
    if (index[l] < 0) index[l] = 0;  // as a toolkit's list chooses its first item
    return i;
  }
  void ClearItems(ListControl l) override {
    items[l].clear();
    index[l] = -1;
  }
  bool WarnChecked() const override { return warn; }
  void SetWarnChecked(bool w) override { warn = w; }
  std::u16string TypedText() const override { return typed; }
  void ClearTyped() override { typed.clear(); }
  void SetSendEnabled(bool e) override { sendEnabled = e; }
  int PageCount() const override { return static_cast<int>(pages.size()); }
  std::string PageCaptionAnsi(int p) const override { return pages.at(p).caption; }
  int AddPage(const std::string& c) override {
    pages.push_back({c, {}, false});
    if (current < 0) current = 0;
    return static_cast<int>(pages.size()) - 1;
  }
  void AppendLine(int p, const std::u16string& line) override { pages.at(p).lines.push_back(line); }
  int CurrentPage() const override { return current; }
  void SelectPage(int p) override { current = p; }
  void SetPageUnread(int p, bool u) override {
    if (!(u && p == current && active)) pages.at(p).unread = u;
  }
  void ShowPages() override { pagesShown = true; }
  void SetBusy(bool) override {}
  void Later(std::function<void()> work) override { later.push_back(std::move(work)); }
  std::vector<std::function<void()>> later;

 private:
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
};

TEST(FormCore, AConversationOnAWindowOfNoToolkit) {
  testsupport::TempDir dir("pcore");
  testsupport::HttpTestServer translator{testsupport::EchoTranslation};
  const std::string ini = dir.Path() + "/parlavant.ini";
  std::ofstream(ini) << "[General]\r\nWebService=127.0.0.1:" << translator.Port()
                     << "\r\nReceive=1\r\nSend=2\r\nLeft=5\r\nTop=6\r\n";
  auto desktop = platform::MakeInProcessDesktop();
  standin::StandInClient client(*desktop, {});
  platform::ApplicationWindow window(*desktop, "parlavant");
  uilocal::TComponent root(uilocal::ComponentKind::kApplication, "", nullptr);
  const std::vector<std::string> noData;
  std::vector<std::string> errors;
  FakeWindow view;
  FormCore core(view,
                {*desktop, window, root, noData,
                 [&](const std::function<void()>& handler) {
                   try {
                     handler();
                     return true;
                   } catch (const std::exception& e) {
                     errors.push_back(e.what());
                     return false;
                   }
                 }},
                ini);
  std::vector<std::u16string> told;
  core.OnUnseenMessage = [&](const std::u16string& from, const std::u16string& line) {
    told.push_back(from + u" " + line);
  };
  core.FormCreate();
  EXPECT_EQ(view.caption, "Parlavant 1.0:04 - alice");
  EXPECT_EQ(view.items[ListControl::kToUsers], (std::vector<std::string>{"bob", "carol"}));
  EXPECT_EQ(view.index[ListControl::kToUsers], 0);
  EXPECT_EQ(view.index[ListControl::kTranslateTo], 1);
  EXPECT_EQ(core.InterfaceLanguage(), kEnglish);

  // carol writes while the user is elsewhere: her page, her line, the mark, the call for
  // attention; the chosen recipient stays.
  client.Receive("carol", "hola");
  ASSERT_EQ(view.pages.size(), 1u);
  EXPECT_EQ(view.pages[0].caption, "carol");
  EXPECT_THAT(view.pages[0].lines, ElementsAre(u"carol: [1] hola(hola)"));
  EXPECT_TRUE(view.pages[0].unread);
  EXPECT_TRUE(view.pagesShown);
  EXPECT_EQ(view.attention, 1);
  EXPECT_THAT(told, ElementsAre(u"carol [1] hola"));
  EXPECT_EQ(view.index[ListControl::kToUsers], 0);

  // The user answers bob, in Spanish, signed.
  view.active = true;
  view.warn = true;
  view.typed = u"hi\r\nthere";
  core.SendMessageChange();
  EXPECT_TRUE(view.sendEnabled);
  core.btnSendClick();
  ASSERT_EQ(client.Sent().size(), 1u);
  EXPECT_EQ(client.Sent()[0].handle, "bob");
  EXPECT_EQ(client.Sent()[0].text, "[5] hi\r\nthere - Translated with Parlavant");
  EXPECT_THAT(view.pages[1].lines, ElementsAre(u"alice: hi\r\nthere ([5] hi\r\nthere)"));
  EXPECT_TRUE(view.typed.empty());
  EXPECT_FALSE(view.sendEnabled);

  // Closing keeps the window's place and choices.
  view.bounds = {7, 8, 500, 400};
  core.FormClose();
  std::ifstream written(ini, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(written)), {});
  EXPECT_THAT(text, HasSubstr("Receive=1\r\nSend=2\r\nLeft=7\r\nTop=8\r\n"));
  EXPECT_THAT(text, HasSubstr("Width=500\r\nHeight=400\r\nShowWarn=1\r\n"));
  EXPECT_THAT(text, HasSubstr("[ContactLanguages]\r\nbob=2\r\n"));
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace app
