// Before windows.h, whose OpenDesktop macro would rename the platform's function there.
#include "xmpp/desktop/win32_launcher.h"

#include "platform/codepage.h"
#include "platform/desktop.h"
#include "xmpp/desktop/account_form.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <commdlg.h>
#undef OpenDesktop
// clang-format on

#include <algorithm>
#include <iostream>

namespace xmpp::desktop {
namespace {

constexpr UINT kTrayMessage = WM_APP + 1;  // the icon's mouse and balloon events
constexpr UINT kPostedMessage = WM_APP + 2;  // a task was posted from another thread
constexpr UINT kIconId = 1;
constexpr wchar_t kWindowClass[] = L"ParlavantLauncher";
constexpr wchar_t kDialogClass[] = L"ParlavantAccountDialog";

enum MenuCommand : int {
  kMenuState = 1,
  kMenuWaiting,
  kMenuTranslator,
  kMenuStartTranslator,
  kMenuAccount,
  kMenuShow,
  kMenuQuit,
};

std::wstring Wide(const std::string& text) {
  const std::u16string wide = platform::Utf8Decode(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string Narrow(const std::wstring& wide) {
  return platform::Utf8Encode(std::u16string(wide.begin(), wide.end()));
}

std::string TextOf(HWND control) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(),
                                                      static_cast<int>(text.size()))));
  return Narrow(text);
}

// Copies `text` into a fixed field of the shell's structures, cut to fit.
template <std::size_t N>
void CopyInto(wchar_t (&field)[N], const std::string& text) {
  const std::wstring wide = Wide(text);
  const std::size_t length = std::min(wide.size(), N - 1);
  std::copy_n(wide.data(), length, field);
  field[length] = L'\0';
}

HFONT MessageFont() {
  static HFONT font = [] {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
      return CreateFontIndirectW(&metrics.lfMessageFont);
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }();
  return font;
}

// The icon: a speech bubble with a dot in the connection's colour, and a badge with the count
// of messages waiting for the window. Drawn with GDI, which leaves alpha 0: whatever it drew is
// made opaque after.
HICON StateIcon(Connection state, std::size_t waiting) {
  constexpr int kSize = 32;
  COLORREF dot = RGB(0x8a, 0x8a, 0x8a);
  if (state == Connection::kOnline) dot = RGB(0x2e, 0x9d, 0x4f);
  if (state == Connection::kConnecting) dot = RGB(0xe0, 0xa1, 0x00);
  if (state == Connection::kRefused) dot = RGB(0xc6, 0x28, 0x28);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), kSize, -kSize, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP color = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (color == nullptr) return LoadIconA(nullptr, IDI_APPLICATION);
  HDC paint = CreateCompatibleDC(nullptr);
  HGDIOBJ before = SelectObject(paint, color);
  HBRUSH bubble = CreateSolidBrush(RGB(0x1f, 0x5f, 0xa8));
  HPEN none = static_cast<HPEN>(GetStockObject(NULL_PEN));
  SelectObject(paint, none);
  SelectObject(paint, bubble);
  RoundRect(paint, 2, 4, 29, 25, 12, 12);
  const POINT tail[] = {{8, 22}, {8, 30}, {16, 22}};
  Polygon(paint, tail, 3);
  HBRUSH dotBrush = CreateSolidBrush(dot);
  HPEN ring = CreatePen(PS_SOLID, 2, RGB(0xff, 0xff, 0xff));
  SelectObject(paint, dotBrush);
  SelectObject(paint, ring);
  Ellipse(paint, 18, 16, 31, 29);
  HBRUSH badge = CreateSolidBrush(RGB(0xd3, 0x2f, 0x2f));
  if (waiting > 0) {
    const std::wstring count = waiting > 99 ? L"99+" : std::to_wstring(waiting);
    RECT box{count.size() > 1 ? 10 : 16, 0, 32, 16};
    SelectObject(paint, none);
    SelectObject(paint, badge);
    RoundRect(paint, box.left, box.top, box.right, box.bottom, 16, 16);
    SetBkMode(paint, TRANSPARENT);
    SetTextColor(paint, RGB(0xff, 0xff, 0xff));
    HFONT small = CreateFontW(-11, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                              0, 0, L"Tahoma");
    HGDIOBJ font = SelectObject(paint, small);
    DrawTextW(paint, count.c_str(), -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(paint, font);
    DeleteObject(small);
  }
  GdiFlush();
  auto* pixels = static_cast<std::uint32_t*>(bits);
  for (int i = 0; i < kSize * kSize; ++i) {
    if (pixels[i] != 0) pixels[i] |= 0xff000000u;
  }
  SelectObject(paint, before);
  DeleteDC(paint);
  for (HGDIOBJ made : {static_cast<HGDIOBJ>(bubble), static_cast<HGDIOBJ>(dotBrush),
                       static_cast<HGDIOBJ>(ring), static_cast<HGDIOBJ>(badge)})
    DeleteObject(made);
  std::uint8_t maskBits[kSize * kSize / 8] = {};
  HBITMAP mask = CreateBitmap(kSize, kSize, 1, 1, maskBits);
  ICONINFO icon{TRUE, 0, 0, mask, color};
  HICON made = CreateIconIndirect(&icon);
  DeleteObject(mask);
  DeleteObject(color);
  return made != nullptr ? made : LoadIconA(nullptr, IDI_APPLICATION);
}

// The window procedures find their object in the window's user data, put there at creation.
template <typename T>
T* OwnerOf(HWND window, UINT message, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* owner = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
    return owner;
  }
  return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

// A handle the loop waits on, for as long as the watch the core holds lives.
struct Win32Launcher::Watched {
  HANDLE event = nullptr;
  SOCKET socket = INVALID_SOCKET;  // kSocket: its readiness is turned into `event`
  std::function<void()> ready;
  ~Watched() {
    if (socket == INVALID_SOCKET) return;
    WSAEventSelect(socket, nullptr, 0);
    WSACloseEvent(event);
  }
};

// The account dialog: the address, the password and whether to remember it, the server, its
// port and a CA file, and where no translator comes with the program the translation service.
// It stays open until the account has signed in, and says why it could not.
class Win32Launcher::Dialog {
 public:
  Dialog(Win32Launcher& owner, const DialogRequest& request) : owner_(owner), base_(request.current) {
    askService_ = request.askService;
    const int rows = 7 + (askService_ ? 2 : 0);
    window_ = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kDialogClass,
                              L"Parlavant: chat account",
                              WS_CAPTION | WS_SYSMENU | WS_POPUP | WS_CLIPCHILDREN,
                              CW_USEDEFAULT, CW_USEDEFAULT, 460, 150 + rows * 30, nullptr, nullptr,
                              GetModuleHandleW(nullptr), this);
    if (window_ == nullptr) return;  // no desktop to show it on: the owner says so
    std::string host;
    int port = 0;
    SplitServer(request.current.server, host, port);
    int y = 14;
    const auto row = [&](const wchar_t* label, int id, const std::string& text, DWORD style) {
      Control(L"STATIC", label, 0, SS_LEFT, 14, y + 3, 150, 20);
      HWND field = Control(L"EDIT", Wide(text).c_str(), id,
                           WS_TABSTOP | ES_AUTOHSCROLL | WS_BORDER | style, 170, y,
                           id == kCaFileField ? 230 : 262, 23);
      y += 30;
      return field;
    };
    row(L"Chat address (JID):", kJidField, request.current.jid, 0);
    row(L"Password:", kPasswordField, request.password, ES_PASSWORD);
    Control(L"BUTTON", L"remember the password", kRememberBox, WS_TABSTOP | BS_AUTOCHECKBOX, 170,
            y, 262, 20);
    SendMessageW(Item(kRememberBox), BM_SETCHECK, BST_CHECKED, 0);
    y += 26;
    const std::string note = KeyringNoteText(request.keyringNote, request.privateFile);
    if (!note.empty()) {
      Control(L"STATIC", Wide(note).c_str(), kKeyringText, SS_LEFT, 14, y, 418, 36);
      y += 40;
    }
    row(L"Server (optional):", kServerField, host, 0);
    row(L"Port (optional):", kPortField, port == 0 ? "" : std::to_string(port), ES_NUMBER);
    row(L"CA file (optional):", kCaFileField, request.current.caFile, 0);
    Control(L"BUTTON", L"…", kCaFileBrowse, WS_TABSTOP | BS_PUSHBUTTON, 404, y - 30, 28, 23);
    if (askService_) {
      row(L"Translation service:", kServiceField, request.webService, 0);
      row(L"Its API key:", kApiKeyField, request.webApiKey, ES_PASSWORD);
    }
    problem_ = Control(L"STATIC", L"", kProblemText, SS_LEFT, 14, y, 418, 52);
    y += 58;
    Control(L"BUTTON", L"Sign in", kSignInButton, WS_TABSTOP | BS_DEFPUSHBUTTON, 236, y, 96, 26);
    Control(L"BUTTON", L"Cancel", kCancelButton, WS_TABSTOP | BS_PUSHBUTTON, 338, y, 94, 26);
    RECT frame{0, 0, 446, y + 40};
    AdjustWindowRectEx(&frame, WS_CAPTION | WS_SYSMENU | WS_POPUP, FALSE, WS_EX_DLGMODALFRAME);
    // In the middle of the screen's free area, as a dialog with no owner window is.
    RECT area{0, 0, 800, 600};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    SetWindowPos(window_, nullptr, area.left + std::max(0L, (area.right - area.left - width) / 2),
                 area.top + std::max(0L, (area.bottom - area.top - height) / 2), width, height,
                 SWP_NOZORDER);
    if (!request.problem.empty()) Refused(request.problem, request.cause);
    ShowWindow(window_, SW_SHOW);
    SetForegroundWindow(window_);
    SetFocus(Item(request.current.jid.empty() ? kJidField : kPasswordField));
  }
  ~Dialog() {
    SetWindowTextW(Item(kPasswordField), L"");
    DestroyWindow(window_);
  }

  HWND Window() const { return window_; }
  HWND Item(int id) const { return GetDlgItem(window_, id); }

  void Refused(const std::string& reason, ClientEvent::Cause cause) {
    EnableWindow(Item(kSignInButton), TRUE);
    SetWindowTextW(Item(kSignInButton), L"Sign in");
    SetWindowTextW(problem_, Wide(RefusalText(reason, cause)).c_str());
    const bool serverGiven = !TextOf(Item(kServerField)).empty() || !TextOf(Item(kPortField)).empty();
    const AccountField which = FieldToCorrect(cause, serverGiven);
    const int ids[] = {kJidField, kJidField, kPasswordField, kServerField, kCaFileField};
    HWND field = Item(ids[static_cast<int>(which)]);
    SetFocus(field);
    const int length = GetWindowTextLengthW(field);
    int from = 0;
    if (which == AccountField::kJidDomain) {
      const std::wstring jid = Wide(TextOf(field));
      const std::size_t at = jid.find(L'@');
      from = at == std::wstring::npos ? 0 : static_cast<int>(at + 1);
    }
    SendMessageW(field, EM_SETSEL, static_cast<WPARAM>(from), length);
  }

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Dialog* self = OwnerOf<Dialog>(window, message, lParam);
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    switch (message) {
      case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED) break;
        if (LOWORD(wParam) == kSignInButton) self->Submit();
        if (LOWORD(wParam) == kCancelButton) self->owner_.CancelDialog();
        if (LOWORD(wParam) == kCaFileBrowse) self->Browse();
        return 0;
      case WM_CLOSE:
        self->owner_.CancelDialog();
        return 0;
      case WM_CTLCOLORSTATIC:
        // The problem in red, as the eye looks for it.
        if (reinterpret_cast<HWND>(lParam) == self->problem_) {
          SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0xb0, 0x00, 0x20));
          SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
          return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        break;
      default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

 private:
  HWND Control(const wchar_t* kind, const wchar_t* text, int id, DWORD style, int x, int y,
               int width, int height) {
    HWND control = CreateWindowExW(0, kind, text, WS_CHILD | WS_VISIBLE | style, x, y, width,
                                   height, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(MessageFont()), TRUE);
    return control;
  }

  void Submit() {
    const std::string portText = Trimmed(TextOf(Item(kPortField)));
    int port = 0;
    if (!portText.empty()) {
      port = std::atoi(portText.c_str());
      if (port < 1 || port > 65535) {
        Refused("the port is a number from 1 to 65535", ClientEvent::kNoCause);
        SetFocus(Item(kPortField));
        return;
      }
    }
    const AccountSettings account =
        AccountFromFields(base_, TextOf(Item(kJidField)), TextOf(Item(kServerField)), port,
                          TextOf(Item(kCaFileField)));
    if (askService_) {
      std::string error;
      if (!owner_.core_->KeepTranslationService(Trimmed(TextOf(Item(kServiceField))),
                                                Trimmed(TextOf(Item(kApiKeyField))), error)) {
        Refused(error, ClientEvent::kNoCause);
        SetFocus(Item(kServiceField));
        return;
      }
    }
    SetWindowTextW(problem_, L"");
    EnableWindow(Item(kSignInButton), FALSE);
    SetWindowTextW(Item(kSignInButton), L"Signing in…");
    std::string password = TextOf(Item(kPasswordField));
    const bool remember = SendMessageW(Item(kRememberBox), BM_GETCHECK, 0, 0) == BST_CHECKED;
    owner_.core_->SignIn(account, password, remember);
    std::fill(password.begin(), password.end(), '\0');
  }

  void Browse() {
    wchar_t file[MAX_PATH] = {};
    const std::wstring current = Wide(TextOf(Item(kCaFileField)));
    std::copy_n(current.c_str(), std::min<std::size_t>(current.size(), MAX_PATH - 1), file);
    OPENFILENAMEW open{};
    open.lStructSize = sizeof open;
    open.hwndOwner = window_;
    open.lpstrFilter = L"Certificates (*.pem;*.crt;*.cer)\0*.pem;*.crt;*.cer\0All files\0*.*\0";
    open.lpstrFile = file;
    open.nMaxFile = MAX_PATH;
    open.lpstrTitle = L"CA file";
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (GetOpenFileNameW(&open)) SetWindowTextW(Item(kCaFileField), file);
  }

  Win32Launcher& owner_;
  AccountSettings base_;
  bool askService_ = false;
  HWND window_ = nullptr;
  HWND problem_ = nullptr;
};

Win32Launcher::Win32Launcher(AccountSettings settings, ServiceOptions options,
                             LauncherCore::Programs programs)
    : core_(std::make_unique<LauncherCore>(*this, std::move(settings), std::move(options),
                                           std::move(programs))) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = reinterpret_cast<WNDPROC>(&Win32Launcher::WindowProcedure);
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExW(&windowClass);
  windowClass.lpfnWndProc = &Dialog::Procedure;
  windowClass.lpszClassName = kDialogClass;
  RegisterClassExW(&windowClass);
  window_ = CreateWindowExW(0, kWindowClass, L"Parlavant: connection",
                            WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                            CW_USEDEFAULT, CW_USEDEFAULT, 420, 150, nullptr, nullptr, instance,
                            this);
  // Sent to every top-level window when the taskbar comes back (after Explorer restarted).
  taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
  AddIcon();
  if (!inTray_) MakeStatusWindow();
  ShowStatus(core_->Status());
}

Win32Launcher::~Win32Launcher() {
  core_.reset();
  dialog_.reset();
  if (inTray_) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = static_cast<HWND>(window_);
    data.uID = kIconId;
    Shell_NotifyIconW(NIM_DELETE, &data);
  }
  if (icon_ != nullptr) DestroyIcon(static_cast<HICON>(icon_));
  DestroyWindow(static_cast<HWND>(window_));
}

void Win32Launcher::AddIcon() {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = static_cast<HWND>(window_);
  data.uID = kIconId;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kTrayMessage;
  if (icon_ == nullptr) icon_ = StateIcon(status_.connection, status_.waitingCount);
  data.hIcon = static_cast<HICON>(icon_);
  CopyInto(data.szTip, "Parlavant");
  inTray_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void Win32Launcher::MakeStatusWindow() {
  // No notification area to sit in: a small window shows the same and offers the same.
  HWND window = static_cast<HWND>(window_);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  const auto make = [&](const wchar_t* kind, const wchar_t* text, int id, DWORD style, int x,
                        int y, int width, int height) {
    HWND control = CreateWindowExW(0, kind, text, WS_CHILD | WS_VISIBLE | style, x, y, width,
                                   height, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(MessageFont()), TRUE);
    return control;
  };
  statusText_ = make(L"STATIC", L"", 0, SS_LEFT, 10, 10, 390, 60);
  startTranslatorButton_ =
      make(L"BUTTON", L"Start the translator", kMenuStartTranslator, BS_PUSHBUTTON, 10, 76, 140, 26);
  ShowWindow(static_cast<HWND>(startTranslatorButton_), SW_HIDE);
  make(L"BUTTON", L"Account…", kMenuAccount, BS_PUSHBUTTON, 156, 76, 76, 26);
  make(L"BUTTON", L"Show Parlavant", kMenuShow, BS_PUSHBUTTON, 236, 76, 100, 26);
  make(L"BUTTON", L"Quit", kMenuQuit, BS_PUSHBUTTON, 340, 76, 60, 26);
  ShowWindow(window, SW_SHOWNORMAL);
}

std::vector<std::string> Win32Launcher::MenuItems() const {
  std::vector<std::string> items{status_.state};
  if (!status_.waiting.empty()) items.push_back(status_.waiting);
  if (!status_.translator.empty()) items.push_back(status_.translator);
  if (status_.translatorStopped) items.push_back("Start the translator");
  for (const char* item : {"-", "Account…", "Show Parlavant", "-", "Quit"}) items.push_back(item);
  return items;
}

void Win32Launcher::ShowMenu() {
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING | MF_GRAYED, kMenuState, Wide(status_.state).c_str());
  if (!status_.waiting.empty())
    AppendMenuW(menu, MF_STRING, kMenuWaiting, Wide(status_.waiting).c_str());
  if (!status_.translator.empty())
    AppendMenuW(menu, MF_STRING | MF_GRAYED, kMenuTranslator, Wide(status_.translator).c_str());
  if (status_.translatorStopped)
    AppendMenuW(menu, MF_STRING, kMenuStartTranslator, L"Start the translator");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kMenuAccount, L"Account…");
  AppendMenuW(menu, MF_STRING, kMenuShow, L"Show Parlavant");
  SetMenuDefaultItem(menu, kMenuShow, FALSE);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kMenuQuit, L"Quit");
  POINT at{};
  GetCursorPos(&at);
  // Without the foreground the menu would not close when the user clicks elsewhere.
  HWND window = static_cast<HWND>(window_);
  SetForegroundWindow(window);
  const int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_BOTTOMALIGN,
                                    at.x, at.y, 0, window, nullptr);
  PostMessageW(window, WM_NULL, 0, 0);
  DestroyMenu(menu);
  if (chosen != 0) Command(chosen);
}

void Win32Launcher::Command(int id) {
  switch (id) {
    case kMenuWaiting:
    case kMenuShow:
      core_->ShowParlavant();
      break;
    case kMenuStartTranslator:
      core_->StartTranslatorAgain();
      break;
    case kMenuAccount:
      core_->OpenAccountDialog(false);
      break;
    case kMenuQuit:
      core_->Quit();
      break;
    default:
      break;
  }
}

std::intptr_t __stdcall Win32Launcher::WindowProcedure(void* window, unsigned message,
                                                       std::uintptr_t wParam,
                                                       std::intptr_t lParam) {
  Win32Launcher* self = OwnerOf<Win32Launcher>(static_cast<HWND>(window), message, lParam);
  if (self == nullptr || self->window_ == nullptr)
    return DefWindowProcW(static_cast<HWND>(window), message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

std::intptr_t Win32Launcher::Handle(unsigned message, std::uintptr_t wParam,
                                    std::intptr_t lParam) {
  HWND window = static_cast<HWND>(window_);
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    AddIcon();
    return 0;
  }
  switch (message) {
    case kTrayMessage:
      switch (static_cast<UINT>(lParam)) {
        case WM_LBUTTONUP:
        case WM_LBUTTONDBLCLK:
          core_->ShowParlavant();
          break;
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU:
          ShowMenu();
          break;
        case NIN_BALLOONUSERCLICK:
          if (balloonClick_) {
            const std::function<void()> click = std::move(balloonClick_);
            balloonClick_ = nullptr;
            click();
          }
          break;
        default:
          break;
      }
      return 0;
    case kPostedMessage:
      return 0;  // the loop runs what was posted
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) Command(LOWORD(wParam));
      return 0;
    case WM_CLOSE:
      // Closing the status window is quitting: nothing else would show the program still runs.
      core_->Quit();
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void Win32Launcher::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    posted_.push_back(std::move(task));
  }
  PostMessageW(static_cast<HWND>(window_), kPostedMessage, 0, 0);
}

void Win32Launcher::After(std::chrono::milliseconds wait, std::function<void()> task) {
  timers_.emplace(std::chrono::steady_clock::now() + wait, std::move(task));
}

LauncherView::Watch Win32Launcher::WatchHandle(std::intptr_t handle, HandleKind kind,
                                               std::function<void()> ready) {
  auto watched = std::make_shared<Watched>();
  watched->ready = std::move(ready);
  if (kind == HandleKind::kSocket) {
    watched->socket = static_cast<SOCKET>(handle);
    watched->event = WSACreateEvent();
    WSAEventSelect(watched->socket, watched->event, FD_READ | FD_CLOSE);
  } else {
    watched->event = reinterpret_cast<HANDLE>(handle);
  }
  watched_.push_back(watched);
  return watched;
}

void Win32Launcher::EndLoop() {
  ended_ = true;
  PostQuitMessage(exitStatus_);
}

void Win32Launcher::RunDue() {
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    tasks.swap(posted_);
  }
  for (auto& task : tasks) task();
  const auto now = std::chrono::steady_clock::now();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    std::function<void()> task = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    task();
  }
}

bool Win32Launcher::Turn(int timeoutMs) {
  if (ended_) return false;
  std::vector<std::shared_ptr<Watched>> live;
  std::vector<HANDLE> handles;
  for (auto it = watched_.begin(); it != watched_.end();) {
    if (auto watched = it->lock()) {
      if (handles.size() < MAXIMUM_WAIT_OBJECTS - 1) {
        handles.push_back(watched->event);
        live.push_back(std::move(watched));
      }
      ++it;
    } else {
      it = watched_.erase(it);
    }
  }
  int wait = timeoutMs;
  if (!timers_.empty()) {
    const auto due = std::chrono::duration_cast<std::chrono::milliseconds>(
                         timers_.begin()->first - std::chrono::steady_clock::now())
                         .count();
    wait = static_cast<int>(std::clamp<long long>(due, 0, wait));
  }
  const DWORD woke = MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()),
                                                 handles.data(), static_cast<DWORD>(wait),
                                                 QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (woke < WAIT_OBJECT_0 + handles.size()) {
    const std::shared_ptr<Watched>& watched = live[woke - WAIT_OBJECT_0];
    if (watched->socket != INVALID_SOCKET) {
      WSANETWORKEVENTS events{};
      WSAEnumNetworkEvents(watched->socket, watched->event, &events);  // resets the event
    }
    const std::function<void()> ready = watched->ready;  // the watch may go in its own handler
    ready();
  }
  MSG message;
  while (!ended_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      ended_ = true;
      exitStatus_ = static_cast<int>(message.wParam);
      break;
    }
    if (dialog_ && IsDialogMessageW(dialog_->Window(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (!ended_) RunDue();
  return !ended_;
}

int Win32Launcher::Run() {
  while (Turn(INFINITE)) {
  }
  return exitStatus_;
}

bool Win32Launcher::RunUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || !Turn(static_cast<int>(std::min<long long>(left, 50)))) return done();
  }
  return true;
}

void Win32Launcher::ShowStatus(const LauncherStatus& status) {
  const bool iconChanged =
      status.connection != status_.connection || status.waitingCount != status_.waitingCount;
  status_ = status;
  if (iconChanged || icon_ == nullptr) {
    if (icon_ != nullptr) DestroyIcon(static_cast<HICON>(icon_));
    icon_ = StateIcon(status.connection, status.waitingCount);
  }
  const std::string lines = status.Lines();
  if (inTray_) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = static_cast<HWND>(window_);
    data.uID = kIconId;
    data.uFlags = NIF_ICON | NIF_TIP;
    data.hIcon = static_cast<HICON>(icon_);
    CopyInto(data.szTip, "Parlavant: " + lines);
    Shell_NotifyIconW(NIM_MODIFY, &data);
  }
  if (statusText_ != nullptr) {
    SetWindowTextW(static_cast<HWND>(statusText_), Wide(lines).c_str());
    ShowWindow(static_cast<HWND>(startTranslatorButton_),
               status.translatorStopped ? SW_SHOW : SW_HIDE);
    SendMessageW(static_cast<HWND>(window_), WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(icon_));
  }
}

void Win32Launcher::Notify(const std::string& summary, const std::string& body,
                           std::function<void()> onClick) {
  lastNotification_ = summary + "\n" + body;
  std::cerr << "parlavant-xmpp: " << summary << ": " << body << '\n';
  if (!inTray_) return;  // the status window says the state; nothing else to show it in
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = static_cast<HWND>(window_);
  data.uID = kIconId;
  data.uFlags = NIF_INFO;
  data.dwInfoFlags = NIIF_INFO;
  CopyInto(data.szInfoTitle, summary);
  CopyInto(data.szInfo, body);
  // A balloon replaces the one before: its click is the latest's.
  balloonClick_ = std::move(onClick);
  Shell_NotifyIconW(NIM_MODIFY, &data);
}

void Win32Launcher::OpenDialog(const DialogRequest& request) {
  dialog_ = std::make_unique<Dialog>(*this, request);
  if (dialog_->Window() != nullptr) return;
  std::cerr << "parlavant-xmpp: the account dialog cannot be shown (error "
            << GetLastError() << ")\n";
  // As closed without signing in, once this returns: the core is still opening it.
  Post([this] { CancelDialog(); });
}

bool Win32Launcher::DialogOpen() const { return dialog_ != nullptr; }

void Win32Launcher::RaiseDialog() {
  if (dialog_) SetForegroundWindow(dialog_->Window());
}

void Win32Launcher::CloseDialog() { dialog_.reset(); }

void Win32Launcher::CancelDialog() {
  // Gone before the core hears of it: it may open another at once (a first start quits).
  dialog_.reset();
  core_->DialogCancelled();
}

void Win32Launcher::DialogSignedIn() { dialog_.reset(); }

void Win32Launcher::DialogRefused(const std::string& reason, ClientEvent::Cause cause) {
  if (dialog_) dialog_->Refused(reason, cause);
}

void* Win32Launcher::DialogWindow() const { return dialog_ ? dialog_->Window() : nullptr; }

int RunWin32Launcher(AccountSettings account, ServiceOptions service,
                     ProgramWatch::Duration restartWait) {
  LauncherCore::Programs programs = LauncherCore::InstalledPrograms();
  programs.restartWait = restartWait;
  Win32Launcher launcher(std::move(account), std::move(service), std::move(programs));
  if (launcher.Core().HandOverToRunningCopy()) return 0;
  launcher.Core().Start();
  return launcher.Run();
}

void ShowLauncherError(const std::string& text) {
  MessageBoxW(nullptr, Wide(text).c_str(), L"Parlavant", MB_ICONSTOP | MB_OK);
}

}  // namespace xmpp::desktop
