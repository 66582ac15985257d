#include "app/win32_form.h"

#include <commctrl.h>

#include <algorithm>

#include "platform/codepage.h"
#include "platform/error.h"

namespace app {
namespace {

constexpr int kNoMark = 0, kUnreadMark = 1;  // the tabs' images

constexpr wchar_t kWindowClass[] = L"ParlavantMainForm";
constexpr UINT kRunLater = WM_APP + 1;
constexpr int kListDrop = 200;  // how far a combo box's list drops down

std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}
std::u16string U16(const std::wstring& text) {
  return std::u16string(text.begin(), text.end());
}

std::wstring TextOf(HWND control) {
  const int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// 8 points at the screen's resolution.
// The tabs' images: none (a blank the size of the mark, so that marking a tab moves nothing)
// and the unread mark, a dot in the highlight colour.
HIMAGELIST MakeTabMarks(HWND window) {
  const HDC screen = GetDC(window);
  const int size = std::max(10, MulDiv(10, GetDeviceCaps(screen, LOGPIXELSY), 96));
  HIMAGELIST marks = ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, 2, 0);
  const COLORREF clear = RGB(255, 0, 255);
  for (const bool dot : {false, true}) {
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP picture = CreateCompatibleBitmap(screen, size, size);
    HGDIOBJ old = SelectObject(dc, picture);
    HBRUSH background = CreateSolidBrush(clear);
    const RECT all{0, 0, size, size};
    FillRect(dc, &all, background);
    DeleteObject(background);
    if (dot) {
      HBRUSH fill = CreateSolidBrush(GetSysColor(COLOR_HIGHLIGHT));
      HGDIOBJ oldBrush = SelectObject(dc, fill);
      HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
      Ellipse(dc, 1, 1, size, size);
      SelectObject(dc, oldPen);
      SelectObject(dc, oldBrush);
      DeleteObject(fill);
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    ImageList_AddMasked(marks, picture, clear);
    DeleteObject(picture);
  }
  ReleaseDC(window, screen);
  return marks;
}

HFONT MakeFont(const wchar_t* face, HWND window) {
  HDC dc = GetDC(window);
  const int height = -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
  ReleaseDC(window, dc);
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, face);
}

}  // namespace

Win32MainForm::Win32MainForm(TApplication& application, std::string settingsPath)
    : application_(application) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  static const ATOM windowClass = [] {
    WNDCLASSW c{};
    c.lpfnWndProc = &Win32MainForm::Procedure;
    c.hInstance = GetModuleHandleW(nullptr);
    c.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    c.lpszClassName = kWindowClass;
    c.hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1));
    return RegisterClassW(&c);
  }();
  (void)windowClass;
  RECT outer{0, 0, kDesignClient.width, kDesignClient.height};
  AdjustWindowRect(&outer, WS_OVERLAPPEDWINDOW, FALSE);
  window_ =
      CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT,
                      CW_USEDEFAULT, outer.right - outer.left, outer.bottom - outer.top, nullptr,
                      nullptr, GetModuleHandleW(nullptr), this);
  if (window_ == nullptr) throw platform::Error("Cannot make the main window");
  core_ =
      std::make_unique<FormCore>(static_cast<FormView&>(*this),
                                 FormContext{application.Desktop(), application.Window(),
                                             application.Root(), application.DataDirectories,
                                             [&application](const std::function<void()>& handler) {
                                               return application.Guard(handler);
                                             },
                                             application.OpenHistory},
                                 std::move(settingsPath));
  Make();
  // Shown as it stands, then told of every change.
  core_->Model().AddListener(this);
  LanguagesChanged();
  CaptionChanged();
  ContactsChanged();
  application_.Guard([this] { core_->FormCreate(); });
}

Win32MainForm::~Win32MainForm() {
  if (core_) core_->Model().RemoveListener(this);
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (controlFont_ != nullptr) DeleteObject(controlFont_);
  if (tabMarks_ != nullptr) ImageList_Destroy(tabMarks_);
  if (windowFont_ != nullptr) DeleteObject(windowFont_);
}

void Win32MainForm::Show(int how) {
  ShowWindow(window_, how);
  UpdateWindow(window_);
}

void Win32MainForm::Raise() {
  if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
}

void Win32MainForm::Make() {
  // The designed faces; Windows substitutes where one is missing.
  controlFont_ = MakeFont(L"Microsoft Sans Serif", window_);
  windowFont_ = MakeFont(L"MS Sans Serif", window_);
  for (const DesignedControl& c : kDesign) {
    const wchar_t* windowClass = L"BUTTON";
    DWORD style = WS_TABSTOP;
    switch (c.id) {
      case Control::l_Translate_To:
      case Control::l_Send_To:
      case Control::l_in:
        windowClass = L"STATIC";
        style = SS_NOPREFIX | (c.rightAligned ? SS_RIGHT : SS_LEFT);
        break;
      case Control::TranslateTo:
      case Control::ToUsers:
      case Control::SendIn:
        windowClass = L"COMBOBOX";
        style = CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
        break;
      case Control::WarnCB:
        style = BS_AUTOCHECKBOX | WS_TABSTOP;
        break;
      case Control::PageControl1:
        windowClass = WC_TABCONTROLW;
        style = TCS_MULTILINE | WS_TABSTOP | WS_CLIPSIBLINGS;
        break;
      case Control::SendMessage:
        windowClass = L"EDIT";
        style = ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL | WS_BORDER | WS_TABSTOP;
        break;
      case Control::btnSend:
        style = BS_PUSHBUTTON | WS_TABSTOP;
        break;
    }
    HWND control = CreateWindowExW(
        0, windowClass, L"", WS_CHILD | (c.id == Control::PageControl1 ? 0 : WS_VISIBLE) | style, 0,
        0, 0, 0, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(c.id))),
        GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT,
                 reinterpret_cast<WPARAM>(c.face == Face::kControl ? controlFont_ : windowFont_),
                 FALSE);
    controls_[static_cast<std::size_t>(c.id)] = control;
  }
  tabMarks_ = MakeTabMarks(window_);
  SendMessageW(Window(Control::PageControl1), TCM_SETIMAGELIST, 0,
               reinterpret_cast<LPARAM>(tabMarks_));
  EnableWindow(Window(Control::btnSend), FALSE);
  // Tab walks the controls in the order of the window's children: the designed order.
  HWND after = HWND_TOP;
  for (const app::Control c : kTabOrder) {
    SetWindowPos(Window(c), after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    after = Window(c);
  }

  for (const std::u16string_view item : kLanguageItems) {
    for (const app::Control list : {Control::TranslateTo, Control::SendIn}) {
      SendMessageW(Window(list), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
    }
  }
  core_->Components().ShowDesignedTexts();
  PlaceControls();
}

Size Win32MainForm::ClientSize() const {
  RECT client{};
  GetClientRect(window_, &client);
  return {static_cast<int>(client.right), static_cast<int>(client.bottom)};
}

void Win32MainForm::PlaceControl(app::Control control) {
  Rect r = layout_.Place(control, ClientSize());
  // A combo box's height holds its dropped-down list; the design gives its closed part.
  if (Designed(control).kind == uilocal::ComponentKind::kTntComboBox) r.height += kListDrop;
  MoveWindow(Window(control), r.left, r.top, r.width, r.height, TRUE);
}

void Win32MainForm::PlaceControls() {
  for (const DesignedControl& c : kDesign) PlaceControl(c.id);
  LayOutPages();
}

void Win32MainForm::LayOutPages() {
  HWND tabs = Window(Control::PageControl1);
  RECT area{};
  GetClientRect(tabs, &area);
  SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
  MapWindowPoints(tabs, window_, reinterpret_cast<POINT*>(&area), 2);
  const int shown = core_ ? core_->Model().Shown() : -1;
  for (std::size_t i = 0; i < memos_.size(); ++i) {
    MoveWindow(memos_[i], area.left, area.top, area.right - area.left, area.bottom - area.top,
               TRUE);
    ShowWindow(memos_[i],
               IsWindowVisible(tabs) && static_cast<int>(i) == shown ? SW_SHOW : SW_HIDE);
  }
}

void Win32MainForm::FitLabel(app::Control label) {
  HWND control = Window(label);
  if (control == nullptr) return;
  const std::wstring text = TextOf(control);
  HDC dc = GetDC(control);
  const HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  // Measured as the static control draws it.
  RECT extent{0, 0, 0, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &extent,
            DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  layout_.SetLabelWidth(label, static_cast<int>(extent.right));
  PlaceControl(label);
}

void Win32MainForm::StepPage(int delta) {
  const int count = core_->Model().ConversationCount();
  if (count == 0 || !IsWindowVisible(Window(Control::PageControl1))) return;
  const int next = ((core_->Model().Shown() + delta) % count + count) % count;
  application_.Guard([this, next] { core_->PageControl1UserSelect(next); });
}

LRESULT CALLBACK Win32MainForm::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* form = reinterpret_cast<Win32MainForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (form == nullptr || form->window_ == nullptr) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return form->OnMessage(message, wParam, lParam);
}

LRESULT Win32MainForm::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {kMinimumOuter.width, kMinimumOuter.height};
      return 0;
    }
    case WM_SIZE:
      if (controls_[0] != nullptr) PlaceControls();
      return 0;
    case WM_COMMAND:
      if (lParam != 0) Command(reinterpret_cast<HWND>(lParam), HIWORD(wParam));
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->hwndFrom == Window(Control::PageControl1) && header->code == TCN_SELCHANGE) {
        const int index = static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0));
        application_.Guard([this, index] { core_->PageControl1UserSelect(index); });
      }
      if (header->hwndFrom == Window(Control::PageControl1) && header->code == NM_RCLICK) {
        TCHITTESTINFO hit{};
        GetCursorPos(&hit.pt);
        const POINT screen = hit.pt;
        ScreenToClient(header->hwndFrom, &hit.pt);
        const int index =
            static_cast<int>(SendMessageW(header->hwndFrom, TCM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
        if (index >= 0) TabMenu(index, screen);
      }
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        // Where the user was, for when they come back.
        if (HWND focus = GetFocus(); focus != nullptr && IsChild(window_, focus)) focus_ = focus;
      } else if (core_) {
        application_.Guard([this] { core_->FormActivate(); });
      }
      break;
    case WM_SETFOCUS:
      // Into the control the user was in, or the first of the keyboard order.
      SetFocus(focus_ != nullptr && IsWindow(focus_) ? focus_ : Window(kTabOrder.front()));
      return 0;
    case WM_CLOSE:
      // A failed save is shown, and the window closes all the same.
      application_.Guard([this] { core_->FormClose(); });
      DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      window_ = nullptr;
      PostQuitMessage(0);
      return 0;
    case kRunLater:
      while (!later_.empty()) {
        auto work = std::move(later_.front());
        later_.pop_front();
        work();
      }
      return 0;
    case WM_SETCURSOR:
      if (busy_ > 0) {
        SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void Win32MainForm::Command(HWND control, int code) {
  FormCore& core = *core_;
  const auto item = [control] {
    return static_cast<int>(SendMessageW(control, CB_GETCURSEL, 0, 0));
  };
  if (control == Window(Control::TranslateTo) && code == CBN_SELCHANGE) {
    application_.Guard([&core, i = item()] { core.TranslateToChange(i); });
  } else if (control == Window(Control::SendIn) && code == CBN_SELCHANGE) {
    application_.Guard([&core, i = item()] { core.SendInChange(i); });
  } else if (control == Window(Control::ToUsers) && code == CBN_SELCHANGE) {
    application_.Guard([&core, i = item()] { core.ToUsersChange(i); });
  } else if (control == Window(Control::SendMessage) && code == EN_CHANGE) {
    application_.Guard([&core] { core.SendMessageChange(); });
  } else if (code == EN_VSCROLL && !rendering_ &&
             std::find(memos_.begin(), memos_.end(), control) != memos_.end()) {
    if (SendMessageW(control, EM_GETFIRSTVISIBLELINE, 0, 0) == 0) {
      const int page = static_cast<int>(std::find(memos_.begin(), memos_.end(), control) - memos_.begin());
      application_.Guard([&core, page] { core.PageScrolledToTop(page); });
    }
  } else if (control == Window(Control::btnSend) && code == BN_CLICKED) {
    // A disabled button may still be clicked by a message: it is the user's only when enabled.
    if (IsWindowEnabled(control)) application_.Guard([&core] { core.btnSendClick(); });
  }
}

FormBounds Win32MainForm::Bounds() const {
  RECT outer{};
  GetWindowRect(window_, &outer);
  const Size client = ClientSize();
  return {outer.left, outer.top, client.width, client.height};
}

void Win32MainForm::SetBounds(const FormBounds& bounds) {
  const Size client = FormLayout::Clamp({bounds.width, bounds.height});
  RECT outer{0, 0, client.width, client.height};
  AdjustWindowRect(&outer, WS_OVERLAPPEDWINDOW, FALSE);
  SetWindowPos(window_, nullptr, bounds.left, bounds.top, outer.right - outer.left,
               outer.bottom - outer.top, SWP_NOZORDER | SWP_NOACTIVATE);
  PlaceControls();
}

void Win32MainForm::PlaceBottomRow() {
  layout_.PlaceBottomRow();
  PlaceControls();
}

bool Win32MainForm::IsActive() const {
  return GetForegroundWindow() == window_;
}

void Win32MainForm::RequestAttention() {
  FLASHWINFO flash{sizeof flash, window_, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
  FlashWindowEx(&flash);
}

bool Win32MainForm::WarnChecked() const {
  return SendMessageW(Window(Control::WarnCB), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32MainForm::SetWarnChecked(bool checked) {
  SendMessageW(Window(Control::WarnCB), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::u16string Win32MainForm::TypedText() const {
  return U16(TextOf(Window(Control::SendMessage)));  // an edit control's line breaks are CR LF
}

void Win32MainForm::ClearTyped() {
  SetWindowTextW(Window(Control::SendMessage), L"");
  // The next message is typed where the last one was (the button the focus may be on is about
  // to be disabled).
  if (HWND focus = GetFocus(); focus != nullptr && IsChild(window_, focus)) {
    SetFocus(Window(Control::SendMessage));
  }
  // Setting the text does not always say it changed: the Send button follows it here.
  application_.Guard([this] { core_->SendMessageChange(); });
}

void Win32MainForm::SetSendEnabled(bool enabled) {
  EnableWindow(Window(Control::btnSend), enabled ? TRUE : FALSE);
}

void Win32MainForm::SetBusy(bool busy) {
  busy_ += busy ? 1 : -1;
  SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(busy_ > 0 ? IDC_WAIT : IDC_ARROW)));
}

void Win32MainForm::Later(std::function<void()> work) {
  later_.push_back(std::move(work));
  PostMessageW(window_, kRunLater, 0, 0);
}

void Win32MainForm::ContactsChanged() {
  HWND list = Window(Control::ToUsers);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  for (const std::string& handle : core_->Model().Contacts()) {
    SendMessageW(list, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(Wide(platform::AnsiToWide(handle)).c_str()));
  }
  RecipientChanged();
}

void Win32MainForm::RecipientChanged() {
  SendMessageW(Window(Control::ToUsers), CB_SETCURSEL,
               static_cast<WPARAM>(core_->Model().Recipient()), 0);
}

void Win32MainForm::LanguagesChanged() {
  SendMessageW(Window(Control::TranslateTo), CB_SETCURSEL,
               static_cast<WPARAM>(core_->Model().ReceiveIn()), 0);
  SendMessageW(Window(Control::SendIn), CB_SETCURSEL, static_cast<WPARAM>(core_->Model().SendIn()),
               0);
}

void Win32MainForm::ConversationAdded(int conversation) {
  HWND tabs = Window(Control::PageControl1);
  TCITEMW item{};
  item.mask = TCIF_TEXT | TCIF_IMAGE;
  std::wstring empty;
  item.pszText = empty.data();
  item.iImage = kNoMark;
  SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(conversation),
               reinterpret_cast<LPARAM>(&item));
  HWND memo = CreateWindowExW(
      0, L"EDIT", L"",
      WS_CHILD | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0, 0, 0,
      window_, nullptr, GetModuleHandleW(nullptr), nullptr);
  SendMessageW(memo, WM_SETFONT, reinterpret_cast<WPARAM>(controlFont_), FALSE);
  // Above the tab control, whose page it is.
  SetWindowPos(memo, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  memos_.push_back(memo);
  ShowPageCaption(conversation, platform::AnsiToWide(core_->Model().At(conversation).handle));
}

void Win32MainForm::LineAdded(int conversation, int line) {
  HWND memo = Memo(conversation);
  std::wstring text = Wide(core_->Model().At(conversation).lines.at(line).text);
  if (GetWindowTextLengthW(memo) > 0) text = L"\r\n" + text;
  const int end = GetWindowTextLengthW(memo);
  // The edit control scrolls as it takes text, and says so: that is not the user reaching the
  // top of the page.
  rendering_ = true;
  SendMessageW(memo, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
  SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  rendering_ = false;
}

void Win32MainForm::LinesRestored(int conversation) {
  HWND memo = Memo(conversation);
  // Where the reader was stays in view: lines put before it push it down by their count.
  const auto lines = [memo] { return static_cast<int>(SendMessageW(memo, EM_GETLINECOUNT, 0, 0)); };
  const int before = lines();
  const int first = static_cast<int>(SendMessageW(memo, EM_GETFIRSTVISIBLELINE, 0, 0));
  const bool empty = GetWindowTextLengthW(memo) == 0;
  std::wstring text;
  for (const ConversationLine& line : core_->Model().At(conversation).lines) {
    if (!text.empty()) text += L"\r\n";
    text += Wide(line.text);
  }
  rendering_ = true;
  SetWindowTextW(memo, text.c_str());
  if (empty) {
    // Restored at start: the newest in view.
    const int end = GetWindowTextLengthW(memo);
    SendMessageW(memo, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
    SendMessageW(memo, EM_SCROLLCARET, 0, 0);
  } else {
    SendMessageW(memo, EM_LINESCROLL, 0, static_cast<LPARAM>(first + lines() - before));
  }
  rendering_ = false;
}

void Win32MainForm::TabMenu(int page, POINT at) {
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, 1, kForgetConversation);
  const int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr);
  DestroyMenu(menu);
  if (chosen == 1) application_.Guard([this, page] { core_->ForgetConversation(page); });
}

void Win32MainForm::ShownChanged() {
  HWND tabs = Window(Control::PageControl1);
  if (core_->Model().PagesVisible()) ShowWindow(tabs, SW_SHOW);
  SendMessageW(tabs, TCM_SETCURSEL, static_cast<WPARAM>(core_->Model().Shown()), 0);
  LayOutPages();
}

void Win32MainForm::UnreadChanged(int conversation) {
  // The tab control's own mark (a highlighted tab, which accessibility tools report), and a dot
  // beside the caption that is seen at a glance; the caption's text stays.
  const bool unread = core_->Model().At(conversation).unread;
  HWND tabs = Window(Control::PageControl1);
  SendMessageW(tabs, TCM_HIGHLIGHTITEM, static_cast<WPARAM>(conversation),
               MAKELPARAM(unread ? TRUE : FALSE, 0));
  TCITEMW item{};
  item.mask = TCIF_IMAGE;
  item.iImage = unread ? kUnreadMark : kNoMark;
  SendMessageW(tabs, TCM_SETITEMW, static_cast<WPARAM>(conversation),
               reinterpret_cast<LPARAM>(&item));
}

void Win32MainForm::CaptionChanged() {
  SetWindowTextW(window_, Wide(platform::AnsiToWide(core_->Model().Caption())).c_str());
}

void Win32MainForm::ShowCaption(app::Control control, std::u16string_view text) {
  SetWindowTextW(Window(control), Wide(text).c_str());
  if (IsLabel(control)) FitLabel(control);  // as wide as its text
}

void Win32MainForm::ShowPageCaption(int page, std::u16string_view text) {
  std::wstring caption = Wide(text);
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = caption.data();
  SendMessageW(Window(Control::PageControl1), TCM_SETITEMW, static_cast<WPARAM>(page),
               reinterpret_cast<LPARAM>(&item));
  LayOutPages();
}

int RunWin32MessageLoop(Win32MainForm& form, HANDLE request,
                        const std::function<void()>& onRequest) {
  for (;;) {
    if (request != nullptr) {
      // Woken by a message as by the request, whichever comes first.
      const DWORD woke = MsgWaitForMultipleObjects(1, &request, FALSE, INFINITE, QS_ALLINPUT);
      if (woke == WAIT_OBJECT_0 && onRequest) onRequest();
    }
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return static_cast<int>(message.wParam);
      HWND window = form.Handle();
      const bool inWindow =
          window != nullptr && (message.hwnd == window || IsChild(window, message.hwnd));
      if (inWindow && message.message == WM_KEYDOWN && message.wParam == VK_TAB) {
        const bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
        if (GetKeyState(VK_CONTROL) & 0x8000) {
          // Ctrl+Tab and Ctrl+Shift+Tab: the next and the previous page, from anywhere.
          form.StepPage(shift ? -1 : 1);
        } else {
          // Out of every control, the text box too (which would keep a tab for itself).
          HWND next = GetNextDlgTabItem(window, GetFocus(), shift ? TRUE : FALSE);
          if (next != nullptr) SetFocus(next);
        }
        continue;
      }
      // Enter presses the push button that has the focus, as in a dialog.
      if (inWindow && message.message == WM_KEYDOWN && message.wParam == VK_RETURN) {
        HWND focus = GetFocus();
        wchar_t windowClass[8] = {};
        GetClassNameW(focus, windowClass, 8);
        const LONG type = GetWindowLongW(focus, GWL_STYLE) & BS_TYPEMASK;
        if (lstrcmpiW(windowClass, L"Button") == 0 &&
            (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)) {
          SendMessageW(focus, BM_CLICK, 0, 0);
          continue;
        }
      }
      // Tab's own character never reaches the controls: the key was taken above.
      if (inWindow && message.message == WM_CHAR && message.wParam == L'\t') continue;
      if (window != nullptr && IsDialogMessageW(window, &message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (request == nullptr) WaitMessage();
  }
}

}  // namespace app
