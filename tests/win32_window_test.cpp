// Parlavant's Windows window, driven from another process only through window messages, as a
// user's tools would drive it: the stand-in chat client here on the same desktop, a translator
// on 127.0.0.1 that answers "[code] text", and parlavant.exe as a program of its own.
// windows.h first: the others build on it.
#include <windows.h>

#include <commctrl.h>
#include <shlobj.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "app/form_design.h"
#include "platform/codepage.h"
#include "tests/echo_translator.h"
#include "testsupport/child_process.h"
#include "testsupport/http_test_server.h"
#include "tools/chatclient/stand_in_client.h"

#undef OpenDesktop

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::wstring Text(HWND window) {
  wchar_t text[4096] = {};
  SendMessageW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text));
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// Memory in the window's process, for messages that carry a pointer.
class Remote {
 public:
  Remote(HWND window, std::size_t size) : size_(size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    at_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
  }
  ~Remote() {
    VirtualFreeEx(process_, at_, 0, MEM_RELEASE);
    CloseHandle(process_);
  }
  char* At() const { return static_cast<char*>(at_); }
  void Write(std::size_t offset, const void* data, std::size_t n) {
    WriteProcessMemory(process_, At() + offset, data, n, nullptr);
  }
  void Read(std::size_t offset, void* data, std::size_t n) {
    ReadProcessMemory(process_, At() + offset, data, n, nullptr);
  }

 private:
  std::size_t size_;
  HANDLE process_ = nullptr;
  void* at_ = nullptr;
};

// A designed control of the window, by its id among the window's children.
HWND Designed(HWND window, app::Control control) {
  return GetDlgItem(window, 100 + static_cast<int>(control));
}

// Whether a tab is marked (highlighted), read through memory in the window's process.
bool TabMarked(HWND tabs, int index);

// A tab's caption, read through memory in the window's process.
std::wstring TabText(HWND tabs, int index) {
  Remote remote(tabs, sizeof(TCITEMW) + 512);
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = reinterpret_cast<wchar_t*>(remote.At() + sizeof(TCITEMW));
  item.cchTextMax = 255;
  remote.Write(0, &item, sizeof item);
  SendMessageW(tabs, TCM_GETITEMW, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(remote.At()));
  wchar_t text[256] = {};
  remote.Read(sizeof(TCITEMW), text, sizeof text - sizeof(wchar_t));
  return text;
}

bool TabMarked(HWND tabs, int index) {
  Remote remote(tabs, sizeof(TCITEMW));
  TCITEMW item{};
  item.mask = TCIF_STATE | TCIF_IMAGE;
  item.dwStateMask = TCIS_HIGHLIGHTED;
  remote.Write(0, &item, sizeof item);
  SendMessageW(tabs, TCM_GETITEMW, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(remote.At()));
  remote.Read(0, &item, sizeof item);
  const bool highlighted = (item.dwState & TCIS_HIGHLIGHTED) != 0;
  // Both marks or neither: the dot is what is seen, the highlight what is reported.
  EXPECT_EQ(item.iImage == 1, highlighted) << "tab " << index;
  return highlighted;
}

// Where the control is in its parent's client area, as left, top, width, height.
app::Rect Place(HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

void PrintTo(const app::Rect& r, std::ostream* os) {
  *os << r.left << "," << r.top << " " << r.width << " x " << r.height;
}

// Keys pressed and let go as the keyboard does, into the window that has the focus.
void Keys(std::initializer_list<WORD> held, WORD key) {
  std::vector<INPUT> inputs;
  auto add = [&](WORD vk, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    inputs.push_back(input);
  };
  for (WORD k : held) add(k, false);
  add(key, false);
  add(key, true);
  for (auto k = std::rbegin(held); k != std::rend(held); ++k) add(*k, true);
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

class Win32WindowTest : public ::testing::Test {
 protected:
  Win32WindowTest() {
    char folder[MAX_PATH];
    SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    settingsDir_ = fs::path(folder) / "Parlavant";
    fs::create_directories(settingsDir_);
    if (fs::exists(Ini())) fs::rename(Ini(), settingsDir_ / "parlavant.ini.kept");
    ForgetHistory();
  }
  // Every test starts with no history: the window would bring back an earlier test's pages.
  void ForgetHistory() {
    for (const char* name : {"history.sqlite3", "history.sqlite3-wal", "history.sqlite3-shm"}) {
      std::error_code ignored;
      fs::remove(settingsDir_ / name, ignored);
    }
  }
  ~Win32WindowTest() override {
    program_.reset();
    fs::remove(Ini());
    ForgetHistory();
    if (fs::exists(settingsDir_ / "parlavant.ini.kept")) {
      fs::rename(settingsDir_ / "parlavant.ini.kept", Ini());
    }
  }
  fs::path Ini() const { return settingsDir_ / "parlavant.ini"; }
  std::string IniText() const {
    std::ifstream in(Ini(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  // Runs the desktop (the chat client answers there) until `done`, at most `ms`.
  bool Pump(const std::function<bool()>& done, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      desktop_->WaitAndProcess(10);
    }
    return true;
  }
  HWND Child(const wchar_t* windowClass, int nth) const {
    HWND found = nullptr;
    int seen = 0;
    for (HWND c = GetWindow(window_, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
      if (ClassOf(c) == windowClass && seen++ == nth) found = c;
    }
    return found;
  }
  RECT ClientRect(HWND control) const {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
    return r;
  }
  void Start(std::vector<std::string> contacts, bool keepSettings = false) {
    if (!keepSettings) {
      std::ofstream(Ini(), std::ios::binary)
          << "[General]\r\nWebService=127.0.0.1:" << translator_.Port()
          << "\r\nReceive=1\r\nSend=2\r\nLeft=20\r\nTop=20\r\n";
    }
    standin::ClientOptions options;
    options.contacts = std::move(contacts);
    client_ = std::make_unique<standin::StandInClient>(*desktop_, options);
    program_ = std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{PARLAVANT_EXE});
    ASSERT_TRUE(Pump([&] {
      window_ = FindWindowW(L"ParlavantMainForm", nullptr);
      return window_ != nullptr && Text(window_).find(L" - alice") != std::wstring::npos;
    })) << "the window did not come up attached";
  }

  HWND Of(app::Control control) const { return Designed(window_, control); }
  // The control that has the keyboard focus in the window's thread.
  HWND Focus() const {
    GUITHREADINFO info{sizeof info};
    GetGUIThreadInfo(GetWindowThreadProcessId(window_, nullptr), &info);
    return info.hwndFocus;
  }
  // Sets the window's client size as a user's drag does.
  void Resize(int width, int height) {
    RECT outer{0, 0, width, height};
    AdjustWindowRect(&outer, WS_OVERLAPPEDWINDOW, FALSE);
    SetWindowPos(window_, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER);
  }
  // A choice in a list, as the user makes it.
  void Choose(app::Control list, int item) {
    HWND control = Of(list);
    SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(item), 0);
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(control));
  }
  void Close() {
    PostMessageW(window_, WM_CLOSE, 0, 0);
    ASSERT_TRUE(Pump([&] { return program_->Wait(0).has_value(); }));
  }
  // Every designed control where the design puts it for this client size: the ones that do
  // not depend on a label's text.
  void ExpectDesignedPlaces(int width, int height) {
    const int dx = width - 480, dy = height - 343;
    RECT client{};
    GetClientRect(window_, &client);
    EXPECT_EQ(client.right, width);
    EXPECT_EQ(client.bottom, height);
    using app::Control;
    using app::Rect;
    EXPECT_EQ(Place(Of(Control::TranslateTo)).left, 383 + dx);
    EXPECT_EQ(Place(Of(Control::TranslateTo)).top, 3);
    EXPECT_EQ(Place(Of(Control::WarnCB)), (Rect{224, 5, 97, 17}));
    EXPECT_EQ(Place(Of(Control::PageControl1)), (Rect{1, 24, 478 + dx, 180 + dy}));
    EXPECT_EQ(Place(Of(Control::SendMessage)), (Rect{1, 206 + dy, 478 + dx, 111}));
    EXPECT_EQ(Place(Of(Control::btnSend)), (Rect{1, 320 + dy, 75, 21}));
    const Rect toUsers = Place(Of(Control::ToUsers)), sendIn = Place(Of(Control::SendIn));
    EXPECT_EQ(toUsers.left, 99);
    EXPECT_EQ(toUsers.top, 320 + dy);
    EXPECT_EQ(toUsers.width, 255 + dx);
    EXPECT_EQ(sendIn.left, 377 + dx);
    EXPECT_EQ(sendIn.top, 320 + dy);
    // The labels keep their anchored edges and stand clear of their neighbours.
    const Rect receiveIn = Place(Of(Control::l_Translate_To)), in = Place(Of(Control::l_in));
    const Rect to = Place(Of(Control::l_Send_To));
    EXPECT_EQ(receiveIn.Right(), 378 + dx);
    EXPECT_EQ(receiveIn.top, 6);
    EXPECT_LT(receiveIn.Right(), Place(Of(Control::TranslateTo)).left);
    EXPECT_EQ(in.Right(), 372 + dx);
    EXPECT_EQ(in.top, 323 + dy);
    EXPECT_GT(in.left, toUsers.Right());
    EXPECT_EQ(to.left, 82);
    EXPECT_EQ(to.top, 323 + dy);
    EXPECT_LT(to.Right(), toUsers.left);
  }

  testsupport::HttpTestServer translator_{testsupport::EchoTranslation};
  std::unique_ptr<platform::Desktop> desktop_ = platform::OpenDesktop("");
  std::unique_ptr<standin::StandInClient> client_;
  std::unique_ptr<testsupport::ChildProcess> program_;
  HWND window_ = nullptr;
  fs::path settingsDir_;
};

TEST_F(Win32WindowTest, AConversationThroughTheWindowsControls) {
  Start({"bob", "carol"});
  EXPECT_EQ(Text(window_), L"Parlavant 1.0:04 - alice");
  // The designed places.
  using app::Control;
  HWND translateTo = Of(Control::TranslateTo), toUsers = Of(Control::ToUsers);
  HWND sendIn = Of(Control::SendIn), tabs = Of(Control::PageControl1);
  HWND typing = Of(Control::SendMessage), send = Of(Control::btnSend);
  HWND label = Of(Control::l_Translate_To);
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(ClientRect(translateTo).left, 383);
  EXPECT_EQ(ClientRect(translateTo).top, 3);
  // Right-aligned, and as wide as its text in the label's face.
  EXPECT_EQ(ClientRect(label).right, 378);
  HDC screen = GetDC(nullptr);
  HFONT face =
      CreateFontW(-MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE,
                  FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                  DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Microsoft Sans Serif");
  const HGDIOBJ before = SelectObject(screen, face);
  RECT text{};
  DrawTextW(screen, L"Receive in:", -1, &text, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(screen, before);
  DeleteObject(face);
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(ClientRect(label).right - ClientRect(label).left, text.right);
  EXPECT_EQ(ClientRect(send).left, 1);
  EXPECT_EQ(Text(send), L"Send");
  EXPECT_FALSE(IsWindowEnabled(send));
  EXPECT_EQ(SendMessageW(translateTo, CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(SendMessageW(sendIn, CB_GETCURSEL, 0, 0), 2);
  EXPECT_EQ(SendMessageW(toUsers, CB_GETCOUNT, 0, 0), 2);
  EXPECT_FALSE(IsWindowVisible(tabs));

  // A received message, translated in its tab.
  client_->Receive("carol", "hola");
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) == 1; }));
  EXPECT_TRUE(IsWindowVisible(tabs));
  EXPECT_EQ(TabText(tabs, 0), L"carol");
  // The page's memo: the edit control that is not the typing box.
  HWND memo = Child(L"Edit", 0) == typing ? Child(L"Edit", 1) : Child(L"Edit", 0);
  // The first to write is on show, and is the one answered.
  EXPECT_EQ(SendMessageW(toUsers, CB_GETCURSEL, 0, 0), 1);
  ASSERT_TRUE(Pump([&] { return Text(memo) == L"carol: [1] hola(hola)"; })) << Text(memo).size();

  // Typed and sent to carol, translated and signed; the line in her tab, the box emptied.
  SendMessageW(typing, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"hi there"));
  ASSERT_TRUE(Pump([&] { return IsWindowEnabled(send) != FALSE; }));
  PostMessageW(send, BM_CLICK, 0, 0);
  ASSERT_TRUE(Pump([&] { return client_->Sent().size() == 1; }));
  EXPECT_EQ(client_->Sent()[0].handle, "carol");
  EXPECT_EQ(client_->Sent()[0].text, "[5] hi there - Translated with Parlavant");
  ASSERT_TRUE(Pump([&] { return Text(typing).empty(); }));
  EXPECT_EQ(Text(memo), L"carol: [1] hola(hola)\r\nalice: hi there ([5] hi there)");

  // "Receive in:" chosen as a user would: the interface follows.
  SendMessageW(translateTo, CB_SETCURSEL, 0, 0);
  SendMessageW(window_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(translateTo), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(translateTo));
  EXPECT_NE(Text(label), L"Receive in:");

  // Closing keeps the choices through the profile functions.
  PostMessageW(window_, WM_CLOSE, 0, 0);
  ASSERT_TRUE(Pump([&] { return program_->Wait(0).has_value(); }));
  EXPECT_THAT(IniText(), HasSubstr("Receive=0\r\nSend=2\r\n"));
}

// The conversation outlives the window: closed and started again, the page comes back with its
// lines from %APPDATA%\\Parlavant\\history.sqlite3, on show and answered.
TEST_F(Win32WindowTest, TheConversationComesBackAfterARestart) {
  ASSERT_NO_FATAL_FAILURE(Start({"bob", "carol"}));
  client_->Receive("carol", "hola");
  HWND typing = Of(app::Control::SendMessage);
  const auto memo = [&] { return Child(L"Edit", 0) == typing ? Child(L"Edit", 1) : Child(L"Edit", 0); };
  ASSERT_TRUE(Pump([&] { return memo() != nullptr && Text(memo()) == L"carol: [1] hola(hola)"; }));
  ASSERT_NO_FATAL_FAILURE(Close());
  EXPECT_TRUE(fs::exists(settingsDir_ / "history.sqlite3"));

  ASSERT_NO_FATAL_FAILURE(Start({"bob", "carol"}, true));
  HWND tabs = Of(app::Control::PageControl1);
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) == 1; }));
  EXPECT_TRUE(IsWindowVisible(tabs));
  EXPECT_EQ(TabText(tabs, 0), L"carol");
  typing = Of(app::Control::SendMessage);
  ASSERT_TRUE(Pump([&] { return memo() != nullptr && Text(memo()) == L"carol: [1] hola(hola)"; }))
      << (memo() != nullptr ? Text(memo()).size() : 0);
  EXPECT_EQ(Text(Of(app::Control::ToUsers)), L"carol");
  client_->Receive("carol", "otra vez");
  ASSERT_TRUE(Pump([&] {
    return Text(memo()) == L"carol: [1] hola(hola)\r\ncarol: [1] otra vez(otra vez)";
  }));
}

// A long conversation comes back with its newest 200 lines; scrolled to the top, the page brings
// the ones before.
TEST_F(Win32WindowTest, ALongConversationScrollsBackToItsStart) {
  ASSERT_NO_FATAL_FAILURE(Start({"bob"}));
  for (int i = 0; i < 230; ++i) client_->Receive("bob", "l" + std::to_string(i));
  HWND typing = Of(app::Control::SendMessage);
  const auto memo = [&] { return Child(L"Edit", 0) == typing ? Child(L"Edit", 1) : Child(L"Edit", 0); };
  const auto lines = [&] { return SendMessageW(memo(), EM_GETLINECOUNT, 0, 0); };
  ASSERT_TRUE(Pump([&] { return memo() != nullptr && lines() == 230; }, 60000)) << lines();
  ASSERT_NO_FATAL_FAILURE(Close());
  ASSERT_NO_FATAL_FAILURE(Start({"bob"}, true));
  typing = Of(app::Control::SendMessage);
  ASSERT_TRUE(Pump([&] { return memo() != nullptr && lines() == 200; })) << lines();
  EXPECT_GT(SendMessageW(memo(), EM_GETFIRSTVISIBLELINE, 0, 0), 0) << "the newest in view";
  // The scroll bar's top, as a click there scrolls it.
  SendMessageW(memo(), WM_VSCROLL, SB_TOP, 0);
  ASSERT_TRUE(Pump([&] { return lines() == 230; })) << lines();
  EXPECT_EQ(Text(memo()).substr(0, 12), L"bob: [1] l0(");
}

TEST_F(Win32WindowTest, TwelveContactsWrapTheTabsOntoRows) {
  std::vector<std::string> contacts;
  for (int i = 0; i < 12; ++i) contacts.push_back("contact" + std::to_string(i));
  Start(contacts);
  HWND tabs = Of(app::Control::PageControl1);
  for (const std::string& who : contacts) client_->Receive(who, "hola");
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) == 12; }));
  EXPECT_GT(SendMessageW(tabs, TCM_GETROWCOUNT, 0, 0), 1);
  // The page under the rows keeps room.
  RECT page{};
  GetClientRect(tabs, &page);
  SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page));
  EXPECT_GE(page.bottom - page.top, 60);
  // Twelve messages at once are handled nested, one inside another's wait: the window is alive
  // after them (with mingw's default stack it died at about this depth).
  DWORD_PTR ignored = 0;
  EXPECT_NE(SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored), 0)
      << "the window no longer answers";
}

TEST_F(Win32WindowTest, TheLayoutFollowsTheDesignAtEverySizeAfterARestartAndANewLanguage) {
  Start({"bob"});
  ExpectDesignedPlaces(480, 338);  // the default size is the minimum height
  Resize(552, 393);
  ExpectDesignedPlaces(552, 393);
  Resize(700, 520);
  ExpectDesignedPlaces(700, 520);
  Resize(552, 393);
  Close();
  EXPECT_THAT(IniText(), HasSubstr("Width=552\r\nHeight=393\r\n"));
  Start({"bob"}, true);
  ExpectDesignedPlaces(552, 393);
  // Bulgarian and Turkish labels, each measured anew at the size in force.
  Choose(app::Control::TranslateTo, 6);
  ASSERT_NE(Text(Of(app::Control::l_in)), L"in");
  ExpectDesignedPlaces(552, 393);
  Choose(app::Control::TranslateTo, 5);
  EXPECT_EQ(Text(Of(app::Control::l_in)), L"Dil:");
  Resize(480, 338);
  ExpectDesignedPlaces(480, 338);
}

TEST_F(Win32WindowTest, TheKeyboardReachesEveryControlInTheDesignedOrder) {
  Start({"bob", "carol"});
  using app::Control;
  HWND tabs = Of(Control::PageControl1);
  client_->Receive("bob", "hola");
  client_->Receive("carol", "hola");
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) == 2; }));
  SetForegroundWindow(window_);
  ASSERT_TRUE(Pump([&] { return GetForegroundWindow() == window_; }));
  // The window comes up with the first control of the order focused; Tab goes on from there,
  // out of the text box too, round the end, and types nothing.
  ASSERT_TRUE(Pump([&] { return Focus() == Of(Control::TranslateTo); }));
  Keys({}, VK_TAB);
  ASSERT_TRUE(Pump([&] { return Focus() == Of(Control::SendMessage); }));
  Keys({}, 'H');
  Keys({}, 'I');
  ASSERT_TRUE(Pump([&] { return Text(Of(Control::SendMessage)) == L"hi"; }));
  const Control order[] = {Control::btnSend, Control::ToUsers, Control::PageControl1,
                           Control::SendIn,  Control::WarnCB,  Control::TranslateTo};
  for (const Control next : order) {
    Keys({}, VK_TAB);
    ASSERT_TRUE(Pump([&] { return Focus() == Of(next); })) << static_cast<int>(next);
  }
  EXPECT_EQ(Text(Of(Control::SendMessage)), L"hi");
  // Shift+Tab goes back the same way, into the text box.
  for (int i = 0; i < 6; ++i) Keys({VK_SHIFT}, VK_TAB);
  ASSERT_TRUE(Pump([&] { return Focus() == Of(Control::SendMessage); }));
  // Ctrl+Tab from the text box: carol's page, and she is the one answered.
  ASSERT_EQ(SendMessageW(tabs, TCM_GETCURSEL, 0, 0), 0);
  Keys({VK_CONTROL}, VK_TAB);
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == 1; }));
  EXPECT_EQ(SendMessageW(Of(Control::ToUsers), CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(Focus(), Of(Control::SendMessage));
  // Enter on the button sends, to her.
  Keys({}, VK_TAB);
  ASSERT_TRUE(Pump([&] { return Focus() == Of(Control::btnSend); }));
  Keys({}, VK_RETURN);
  ASSERT_TRUE(Pump([&] { return client_->Sent().size() == 1; }));
  EXPECT_EQ(client_->Sent()[0].handle, "carol");
  // The next message is typed where the last one was.
  ASSERT_TRUE(Pump([&] { return Focus() == Of(Control::SendMessage); }));
}

TEST_F(Win32WindowTest, ThePageOnShowIsThePersonAnsweredAndUnreadPagesAreMarked) {
  Start({"bob", "carol", "dave"});
  using app::Control;
  HWND tabs = Of(Control::PageControl1), toUsers = Of(Control::ToUsers);
  EXPECT_EQ(SendMessageW(toUsers, CB_GETCURSEL, 0, 0), CB_ERR);  // nobody chosen yet
  client_->Receive("carol", "hola");
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) == 1; }));
  EXPECT_EQ(SendMessageW(toUsers, CB_GETCURSEL, 0, 0), 1);
  client_->Receive("bob", "hola");
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) == 2; }));
  EXPECT_TRUE(TabMarked(tabs, 1));
  EXPECT_EQ(SendMessageW(tabs, TCM_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(SendMessageW(toUsers, CB_GETCURSEL, 0, 0), 1);  // still carol
  // bob chosen in the list: his page, read.
  Choose(Control::ToUsers, 0);
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == 1; }));
  EXPECT_FALSE(TabMarked(tabs, 1));
  // dave, who never wrote: an empty page of his own comes on show.
  Choose(Control::ToUsers, 2);
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) == 3; }));
  EXPECT_EQ(TabText(tabs, 2), L"dave");
  EXPECT_EQ(SendMessageW(tabs, TCM_GETCURSEL, 0, 0), 2);
  // carol's tab clicked: she is chosen.
  RECT tab{};
  {
    Remote remote(tabs, sizeof(RECT));
    SendMessageW(tabs, TCM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(remote.At()));
    remote.Read(0, &tab, sizeof tab);
  }
  const LPARAM at = MAKELPARAM((tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2);
  PostMessageW(tabs, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(tabs, WM_LBUTTONUP, 0, at);
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETCURSEL, 0, 0) == 0; }));
  ASSERT_TRUE(Pump([&] { return SendMessageW(toUsers, CB_GETCURSEL, 0, 0) == 1; }));
}

// Two starts in one session: the second hands over to the first, which comes forward.
TEST_F(Win32WindowTest, ASecondStartBringsTheFirstForwardAndEnds) {
  Start({"bob"});
  HWND other = CreateWindowW(L"STATIC", L"elsewhere", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 100,
                             100, nullptr, nullptr, nullptr, nullptr);
  SetForegroundWindow(other);
  ASSERT_TRUE(Pump([&] { return GetForegroundWindow() == other; }));
  testsupport::ChildProcess second({PARLAVANT_EXE});
  std::optional<int> status;
  ASSERT_TRUE(Pump([&] { return (status = second.Wait(0)).has_value(); }));
  EXPECT_EQ(*status, 0);
  int windows = 0;
  EnumWindows(
      [](HWND window, LPARAM count) {
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        if (std::wstring(name) == L"ParlavantMainForm") ++*reinterpret_cast<int*>(count);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  EXPECT_EQ(windows, 1);
  EXPECT_EQ(client_->Programs().size(), 1u);  // one copy attached: no message twice
  EXPECT_TRUE(Pump([&] { return GetForegroundWindow() == window_; }));
  DestroyWindow(other);
}

TEST_F(Win32WindowTest, TheDesktopTranslatorsWindowSendsTheTextToItsFixedPort) {
  // Port 4357 is everybody's: only in a network of the test's own.
  if (std::getenv("PARLAVANT_PRIVATE_NETWORK") == nullptr) {
    GTEST_SKIP() << "needs a network namespace of its own (scripts/test-windows.sh makes one)";
  }
  testsupport::HttpTestServer desktopTranslator(testsupport::EchoTranslation, 4357);
  // The desktop translator is known by its window's title on the desktop.
  HWND translatorWindow = CreateWindowW(L"STATIC", L"Tessavo Verbalinx 3.0", WS_OVERLAPPED, 0, 0,
                                        10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(translatorWindow, nullptr);
  Start({"bob"});
  client_->Receive("bob", "hola");
  HWND tabs = Of(app::Control::PageControl1);
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) == 1; }));
  ASSERT_TRUE(Pump([&] { return !desktopTranslator.Requests().empty(); }));
  EXPECT_THAT(desktopTranslator.Requests()[0], ::testing::StartsWith("POST / HTTP/1.0\r\n"));
  EXPECT_THAT(desktopTranslator.Requests()[0], HasSubstr("\r\nHost: 127.0.0.1:4357\r\n"));
  EXPECT_TRUE(translator_.Requests().empty());  // not the web service
  DestroyWindow(translatorWindow);
}

// The real programs: the stand-in chat client's .exe beside the window on the Windows desktop,
// and the stand-in translator (Linux's) as the web service on loopback, which the test command
// starts and names in PARLAVANT_WEB_TRANSLATOR.
TEST(Win32EndToEnd, TheChatClientTheWindowAndTheTranslatorAsProgramsOfTheirOwn) {
  const char* web = std::getenv("PARLAVANT_WEB_TRANSLATOR");
  if (web == nullptr) GTEST_SKIP() << "no translator named in PARLAVANT_WEB_TRANSLATOR";
  char folder[MAX_PATH];
  SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
  const fs::path ini = fs::path(folder) / "Parlavant" / "parlavant.ini";
  fs::create_directories(ini.parent_path());
  std::ofstream(ini, std::ios::binary)
      << "[General]\r\nWebService=" << web << "\r\nReceive=1\r\nSend=2\r\n";
  const fs::path transcript = fs::temp_directory_path() / "parlavant-e2e-transcript.txt";
  testsupport::ChildProcess client(
      {CHATCLIENT_EXE, "--contacts", "bob,carol", "--transcript", transcript.string()});
  const auto transcriptText = [&] {
    std::ifstream in(transcript, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  const auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) Sleep(10);
    return done();
  };
  testsupport::ChildProcess program({PARLAVANT_EXE});
  HWND window = nullptr;
  ASSERT_TRUE(waitFor([&] {
    window = FindWindowW(L"ParlavantMainForm", nullptr);
    return window != nullptr && Text(window).find(L" - alice") != std::wstring::npos;
  }));
  ASSERT_TRUE(client.Write("receive bob Hola\n"));
  HWND memo = nullptr;
  ASSERT_TRUE(waitFor([&] {
    for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
      if (ClassOf(c) == L"Edit" && Text(c).find(L"bob: ") == 0) memo = c;
    }
    return memo != nullptr;
  }));
  EXPECT_EQ(Text(memo), L"bob: [en] Hola(Hola)");

  HWND typing = nullptr, send = nullptr;
  for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    if (ClassOf(c) == L"Edit" && c != memo) typing = c;
    if (ClassOf(c) == L"Button" && Text(c) == L"Send") send = c;
  }
  ASSERT_NE(send, nullptr);
  SendMessageW(typing, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"See you"));
  ASSERT_TRUE(waitFor([&] { return IsWindowEnabled(send) != FALSE; }));
  // Posted: a window that shows an error box would hold a sent message until it is dismissed.
  PostMessageW(send, BM_CLICK, 0, 0);
  ASSERT_TRUE(waitFor([&] {
    return transcriptText().find("MESSAGE bob [es] See you - Translated with Parlavant") !=
           std::string::npos;
  })) << transcriptText();

  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(program.Wait(10000).has_value());
  {
    std::ifstream written(ini, std::ios::binary);
    const std::string settings((std::istreambuf_iterator<char>(written)), {});
    EXPECT_THAT(settings, HasSubstr("Receive=1\r\nSend=2\r\n"));
  }
  client.Write("quit\n");
  client.Wait(5000);
  std::error_code ignored;  // gone already is as good
  fs::remove(ini, ignored);
  fs::remove(transcript, ignored);
}

}  // namespace
