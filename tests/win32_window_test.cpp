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

class Win32WindowTest : public ::testing::Test {
 protected:
  Win32WindowTest() {
    char folder[MAX_PATH];
    SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    settingsDir_ = fs::path(folder) / "Parlavant";
    fs::create_directories(settingsDir_);
    if (fs::exists(Ini())) fs::rename(Ini(), settingsDir_ / "parlavant.ini.kept");
  }
  ~Win32WindowTest() override {
    program_.reset();
    fs::remove(Ini());
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
  void Start(std::vector<std::string> contacts) {
    std::ofstream(Ini(), std::ios::binary)
        << "[General]\r\nWebService=127.0.0.1:" << translator_.Port()
        << "\r\nReceive=1\r\nSend=2\r\nLeft=20\r\nTop=20\r\n";
    standin::ClientOptions options;
    options.contacts = std::move(contacts);
    client_ = std::make_unique<standin::StandInClient>(*desktop_, options);
    program_ = std::make_unique<testsupport::ChildProcess>(std::vector<std::string>{PARLAVANT_EXE});
    ASSERT_TRUE(Pump([&] {
      window_ = FindWindowW(L"ParlavantMainForm", nullptr);
      return window_ != nullptr && Text(window_).find(L" - alice") != std::wstring::npos;
    })) << "the window did not come up attached";
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
  HWND translateTo = Child(L"ComboBox", 0), toUsers = Child(L"ComboBox", 1);
  HWND sendIn = Child(L"ComboBox", 2), tabs = Child(L"SysTabControl32", 0);
  HWND typing = Child(L"Edit", 0), send = Child(L"Button", 1), label = Child(L"Static", 0);
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
  ASSERT_TRUE(Pump([&] { return Text(memo) == L"carol: [1] hola(hola)"; })) << Text(memo).size();

  // Typed and sent to bob, translated and signed; the line in bob's tab, the box emptied.
  SendMessageW(typing, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"hi there"));
  ASSERT_TRUE(Pump([&] { return IsWindowEnabled(send) != FALSE; }));
  PostMessageW(send, BM_CLICK, 0, 0);
  ASSERT_TRUE(Pump([&] { return client_->Sent().size() == 1; }));
  EXPECT_EQ(client_->Sent()[0].handle, "bob");
  EXPECT_EQ(client_->Sent()[0].text, "[5] hi there - Translated with Parlavant");
  ASSERT_TRUE(Pump([&] { return Text(typing).empty(); }));
  EXPECT_EQ(TabText(tabs, 1), L"bob");

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

TEST_F(Win32WindowTest, TwelveContactsWrapTheTabsOntoRows) {
  std::vector<std::string> contacts;
  for (int i = 0; i < 12; ++i) contacts.push_back("contact" + std::to_string(i));
  Start(contacts);
  HWND tabs = Child(L"SysTabControl32", 0);
  for (const std::string& who : contacts) client_->Receive(who, "hola");
  ASSERT_TRUE(Pump([&] { return SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0) == 12; }));
  EXPECT_GT(SendMessageW(tabs, TCM_GETROWCOUNT, 0, 0), 1);
  // The page under the rows keeps room.
  RECT page{};
  GetClientRect(tabs, &page);
  SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page));
  EXPECT_GE(page.bottom - page.top, 60);
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
  HWND tabs = Child(L"SysTabControl32", 0);
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
