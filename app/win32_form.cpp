#include "app/win32_form.h"

#include <commctrl.h>

#include <algorithm>

#include "platform/codepage.h"
#include "platform/error.h"

namespace app {
namespace {

enum Anchor { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };

constexpr wchar_t kWindowClass[] = L"ParlavantMainForm";
constexpr UINT kRunLater = WM_APP + 1;
// The minimum outer size of the design: 488 x 365.
constexpr int kMinOuterWidth = 488, kMinOuterHeight = 365;
constexpr int kListDrop = 200;  // how far a combo box's list drops down

const char16_t* const kLanguageItems[] = {u"Deutch",   u"English", u"Espanol",  u"Francais",
                                          u"Italiano", u"Turkce",  u"Български"};

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

std::wstring ItemText(HWND list, int index) {
  const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

int CompareIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) - 2;
}

// 8 points at the screen's resolution.
HFONT MakeFont(const wchar_t* face, HWND window) {
  HDC dc = GetDC(window);
  const int height = -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
  ReleaseDC(window, dc);
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, face);
}

}  // namespace

// A component standing for a control: its caption goes to the control's text (a form's to its
// title, a tab sheet's to its tab). The 8-bit caption is kept as bytes: tabs are found by it.
class Win32MainForm::Component : public uilocal::TComponent {
 public:
  Component(uilocal::ComponentKind kind, std::string name, uilocal::TComponent* owner,
            Win32MainForm& form, HWND control)
      : uilocal::TComponent(kind, std::move(name), owner), form_(form), control_(control) {}
  Component(uilocal::ComponentKind kind, std::string name, uilocal::TComponent& owner,
            uilocal::TComponent::HeldByMaker held, Win32MainForm& form, HWND control)
      : uilocal::TComponent(kind, std::move(name), owner, held), form_(form), control_(control) {}

  const std::string& CaptionAnsi() const { return caption_; }
  HWND Control() const { return control_; }
  void SetCaptionAnsi(std::string_view text) override {
    caption_ = std::string(text);
    Show(Wide(platform::AnsiToWide(text)));
  }
  void SetCaptionWide(std::u16string_view text) override {
    caption_ = platform::WideToAnsi(text);
    Show(Wide(text));
  }
  void SetHintAnsi(std::string_view) override {}
  void SetHintWide(std::u16string_view) override {}

 private:
  void Show(const std::wstring& text) {
    if (control_ == nullptr) return;
    if (InheritsFrom(uilocal::ComponentKind::kTabSheet)) {
      // A sheet's caption is its tab's text.
      for (std::size_t i = 0; i < form_.pages_.size(); ++i) {
        if (form_.pages_[i].memo != control_) continue;
        std::wstring caption = text;
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = caption.data();
        SendMessageW(form_.Control("PageControl1"), TCM_SETITEMW, i,
                     reinterpret_cast<LPARAM>(&item));
        form_.LayOutPages();
      }
      return;
    }
    if (InheritsFrom(uilocal::ComponentKind::kComboBox) ||
        InheritsFrom(uilocal::ComponentKind::kMemo) ||
        InheritsFrom(uilocal::ComponentKind::kPageControl)) {
      return;  // no caption
    }
    SetWindowTextW(control_, text.c_str());
    // A label is as wide as its text: told by the control it is, as the Qt window tells it.
    wchar_t windowClass[16] = {};
    GetClassNameW(control_, windowClass, 16);
    if (lstrcmpiW(windowClass, L"Static") == 0) form_.FitLabel(control_);
  }

  Win32MainForm& form_;
  HWND control_;
  std::string caption_;
};

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
  // Client area 480 x 343 as designed.
  RECT outer{0, 0, 480, 343};
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
                                             }},
                                 std::move(settingsPath));
  Make();
  application_.Guard([this] { core_->FormCreate(); });
}

Win32MainForm::~Win32MainForm() {
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (controlFont_ != nullptr) DeleteObject(controlFont_);
  if (windowFont_ != nullptr) DeleteObject(windowFont_);
}

void Win32MainForm::Show(int how) {
  ShowWindow(window_, how);
  UpdateWindow(window_);
}

HWND Win32MainForm::Control(const std::string& name) const {
  for (const auto& [controlName, control] : controls_) {
    if (controlName == name) return control;
  }
  return nullptr;
}

HWND Win32MainForm::MakeControl(const wchar_t* windowClass, DWORD style, const std::string& name,
                                uilocal::ComponentKind kind, int left, int top, int width,
                                int height, int anchors, HFONT font) {
  HWND control =
      CreateWindowExW(0, windowClass, L"", WS_CHILD | WS_VISIBLE | style, left, top, width, height,
                      window_, nullptr, GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  new Component(kind, name, form_.get(), *this, control);
  controls_.emplace_back(name, control);
  anchored_.push_back({control, {left, top, left + width, top + height}, anchors, ClientSize()});
  return control;
}

void Win32MainForm::Make() {
  using uilocal::ComponentKind;
  // The designed faces; Windows substitutes where one is missing.
  controlFont_ = MakeFont(L"Microsoft Sans Serif", window_);
  windowFont_ = MakeFont(L"MS Sans Serif", window_);
  form_ = std::make_unique<Component>(ComponentKind::kForm, "MainForm", application_.Root(),
                                      uilocal::TComponent::HeldByMaker{}, *this, window_);
  const DWORD list = CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
  MakeControl(L"STATIC", SS_RIGHT | SS_NOPREFIX, "l_Translate_To", ComponentKind::kTntLabel, 324, 6,
              54, 13, akTop | akRight, controlFont_);
  MakeControl(L"COMBOBOX", list, "TranslateTo", ComponentKind::kTntComboBox, 383, 3, 97,
              21 + kListDrop, akTop | akRight, controlFont_);
  MakeControl(L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, "WarnCB", ComponentKind::kTntCheckBox, 224,
              5, 97, 17, akLeft | akTop, controlFont_);
  HWND tabs = MakeControl(WC_TABCONTROLW, TCS_MULTILINE | WS_TABSTOP | WS_CLIPSIBLINGS,
                          "PageControl1", ComponentKind::kPageControl, 1, 24, 478, 180,
                          akLeft | akTop | akRight | akBottom, windowFont_);
  ShowWindow(tabs, SW_HIDE);
  MakeControl(L"EDIT",
              ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL | WS_BORDER | WS_TABSTOP,
              "SendMessage", ComponentKind::kTntMemo, 1, 206, 478, 96, akLeft | akRight | akBottom,
              controlFont_);
  HWND send =
      MakeControl(L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, "btnSend", ComponentKind::kTntButton, 1,
                  307, 75, 21, akLeft | akBottom, controlFont_);
  EnableWindow(send, FALSE);
  MakeControl(L"STATIC", SS_NOPREFIX, "l_Send_To", ComponentKind::kTntLabel, 82, 311, 13, 13,
              akLeft | akBottom, controlFont_);
  MakeControl(L"COMBOBOX", list, "ToUsers", ComponentKind::kTntComboBox, 99, 307, 255,
              21 + kListDrop, akLeft | akRight | akBottom, windowFont_);
  MakeControl(L"STATIC", SS_RIGHT | SS_NOPREFIX, "l_in", ComponentKind::kTntLabel, 364, 311, 8, 13,
              akRight | akBottom, controlFont_);
  MakeControl(L"COMBOBOX", list, "SendIn", ComponentKind::kTntComboBox, 377, 307, 103,
              21 + kListDrop, akRight | akBottom, controlFont_);
  // The two non-visual components have no control; the form's component owns them too.
  new Component(ComponentKind::kComponent, "SkypeControl", form_.get(), *this, nullptr);
  new Component(ComponentKind::kComponent, "HTTP", form_.get(), *this, nullptr);

  // The two language lists, in their sorted order.
  for (const char16_t* item : kLanguageItems) {
    for (const char* name : {"TranslateTo", "SendIn"}) {
      SendMessageW(Control(name), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
    }
  }
  // The designed selections, which the settings replace before the window shows.
  SendMessageW(Control("TranslateTo"), CB_SETCURSEL, 6, 0);
  SendMessageW(Control("SendIn"), CB_SETCURSEL, 1, 0);
  form_->SetCaptionAnsi("Parlavant 1.0:04");
  const std::pair<const char*, const char*> texts[] = {{"l_Translate_To", "Receive in:"},
                                                       {"WarnCB", "Warning"},
                                                       {"btnSend", "Send"},
                                                       {"l_Send_To", "To"},
                                                       {"l_in", "in"}};
  for (const auto& [name, text] : texts) {
    for (int i = 0; i < form_->ComponentCount(); ++i) {
      if (form_->Components(i)->Name() == name) form_->Components(i)->SetCaptionAnsi(text);
    }
  }
}

SIZE Win32MainForm::ClientSize() const {
  RECT client{};
  GetClientRect(window_, &client);
  return {client.right, client.bottom};
}

void Win32MainForm::Place(HWND control, RECT bounds) {
  for (Anchored& a : anchored_) {
    if (a.control != control) continue;
    a.bounds = bounds;
    a.client = ClientSize();
    MoveWindow(control, bounds.left, bounds.top, bounds.right - bounds.left,
               bounds.bottom - bounds.top, TRUE);
  }
}

void Win32MainForm::ApplyAnchors() {
  const SIZE now = ClientSize();
  for (const Anchored& a : anchored_) {
    // An anchored edge keeps its distance to the same edge of the client area; a control
    // anchored on both sides of an axis stretches.
    const int dx = now.cx - a.client.cx, dy = now.cy - a.client.cy;
    RECT r = a.bounds;
    if (a.anchors & akRight) {
      r.right += dx;
      if (!(a.anchors & akLeft)) r.left += dx;
    }
    if (a.anchors & akBottom) {
      r.bottom += dy;
      if (!(a.anchors & akTop)) r.top += dy;
    }
    MoveWindow(a.control, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
  }
  LayOutPages();
}

void Win32MainForm::LayOutPages() {
  HWND tabs = Control("PageControl1");
  RECT area{};
  GetClientRect(tabs, &area);
  SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
  MapWindowPoints(tabs, window_, reinterpret_cast<POINT*>(&area), 2);
  const int current = CurrentPage();
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    MoveWindow(pages_[i].memo, area.left, area.top, area.right - area.left, area.bottom - area.top,
               TRUE);
    ShowWindow(pages_[i].memo,
               IsWindowVisible(tabs) && static_cast<int>(i) == current ? SW_SHOW : SW_HIDE);
  }
}

void Win32MainForm::FitLabel(HWND label) {
  // A label is as wide as its text; a right-aligned one keeps its right edge.
  for (Anchored& a : anchored_) {
    if (a.control != label) continue;
    const std::wstring text = TextOf(label);
    HDC dc = GetDC(label);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    // Measured as the static control draws it.
    RECT extent{0, 0, 0, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &extent,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    RECT bounds = a.bounds;
    if (GetWindowLongW(label, GWL_STYLE) & SS_RIGHT) {
      bounds.left = bounds.right - extent.right;
    } else {
      bounds.right = bounds.left + extent.right;
    }
    Place(label, bounds);
  }
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
      info->ptMinTrackSize = {kMinOuterWidth, kMinOuterHeight};
      return 0;
    }
    case WM_SIZE:
      ApplyAnchors();
      return 0;
    case WM_COMMAND:
      if (lParam != 0) Command(reinterpret_cast<HWND>(lParam), HIWORD(wParam));
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->hwndFrom == Control("PageControl1") && header->code == TCN_SELCHANGE) {
        const int index = CurrentPage();
        LayOutPages();
        SetPageUnread(index, false);
        application_.Guard([this, index] { core_->PageControl1UserSelect(index); });
      }
      return 0;
    }
    case WM_ACTIVATE:
      // The user is back: what came to the page on show while they were away is read now.
      if (LOWORD(wParam) != WA_INACTIVE && CurrentPage() >= 0) {
        SendMessageW(Control("PageControl1"), TCM_HIGHLIGHTITEM, CurrentPage(), FALSE);
      }
      break;
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
  if (control == Control("TranslateTo") && code == CBN_SELCHANGE) {
    application_.Guard([&core] { core.TranslateToChange(); });
  } else if (control == Control("SendMessage") && code == EN_CHANGE) {
    application_.Guard([&core] { core.SendMessageChange(); });
  } else if (control == Control("btnSend") && code == BN_CLICKED) {
    // A disabled button may still be clicked by a message: it is the user's only when enabled.
    if (IsWindowEnabled(control)) application_.Guard([&core] { core.btnSendClick(); });
  } else if (control == Control("ToUsers") && code == CBN_SELCHANGE) {
    application_.Guard([&core] { core.ToUsersChange(); });
  }
}

HWND Win32MainForm::List(ListControl list) const {
  switch (list) {
    case ListControl::kTranslateTo:
      return Control("TranslateTo");
    case ListControl::kSendIn:
      return Control("SendIn");
    case ListControl::kToUsers:
      break;
  }
  return Control("ToUsers");
}

FormBounds Win32MainForm::Bounds() const {
  RECT outer{};
  GetWindowRect(window_, &outer);
  const SIZE client = ClientSize();
  return {outer.left, outer.top, static_cast<int>(client.cx), static_cast<int>(client.cy)};
}

void Win32MainForm::SetBounds(const FormBounds& bounds) {
  RECT outer{0, 0, bounds.width, bounds.height};
  AdjustWindowRect(&outer, WS_OVERLAPPEDWINDOW, FALSE);
  const int width = std::max<int>(outer.right - outer.left, kMinOuterWidth);
  const int height = std::max<int>(outer.bottom - outer.top, kMinOuterHeight);
  SetWindowPos(window_, nullptr, bounds.left, bounds.top, width, height, SWP_NOZORDER);
  ApplyAnchors();
}

void Win32MainForm::PlaceBottomRow() {
  const SIZE client = ClientSize();
  const int h = static_cast<int>(client.cy);
  auto moveTo = [&](const char* name, int fromBottom) {
    for (Anchored& a : anchored_) {
      if (a.control != Control(name)) continue;
      // The lists' heights include their dropped-down part; the row holds their edit part.
      const int height = a.control == Control("ToUsers") || a.control == Control("SendIn")
                             ? 21
                             : static_cast<int>(a.bounds.bottom - a.bounds.top);
      RECT r = a.bounds;
      r.top = h - height - fromBottom;
      r.bottom = r.top + static_cast<int>(a.bounds.bottom - a.bounds.top);
      Place(a.control, r);
    }
  };
  for (const char* name : {"btnSend", "ToUsers", "SendIn"}) moveTo(name, 2);
  for (const char* name : {"l_Send_To", "l_in"}) moveTo(name, 7);
  RECT send{};
  GetWindowRect(Control("btnSend"), &send);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&send), 2);
  for (Anchored& a : anchored_) {
    if (a.control != Control("SendMessage")) continue;
    RECT r = a.bounds;
    r.bottom = send.top - 3;
    Place(a.control, r);
  }
}

std::string Win32MainForm::CaptionAnsi() const {
  return static_cast<const Component&>(*form_).CaptionAnsi();
}

void Win32MainForm::SetCaptionAnsi(const std::string& caption) {
  form_->SetCaptionAnsi(caption);
}

bool Win32MainForm::IsActive() const {
  return GetForegroundWindow() == window_;
}

void Win32MainForm::RequestAttention() {
  FLASHWINFO flash{sizeof flash, window_, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
  FlashWindowEx(&flash);
}

int Win32MainForm::ItemIndex(ListControl list) const {
  return static_cast<int>(SendMessageW(List(list), CB_GETCURSEL, 0, 0));
}

void Win32MainForm::SetItemIndex(ListControl list, int index) {
  SendMessageW(List(list), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32MainForm::ItemCount(ListControl list) const {
  return static_cast<int>(SendMessageW(List(list), CB_GETCOUNT, 0, 0));
}

std::string Win32MainForm::ItemAnsi(ListControl list, int index) const {
  return platform::WideToAnsi(U16(ItemText(List(list), index)));
}

int Win32MainForm::FindItem(ListControl list, const std::string& item, bool ignoreCase) const {
  const std::wstring wanted = Wide(platform::AnsiToWide(item));
  for (int i = 0; i < ItemCount(list); ++i) {
    const std::wstring text = ItemText(List(list), i);
    if (ignoreCase ? CompareIgnoringCase(text, wanted) == 0 : text == wanted) return i;
  }
  return -1;
}

int Win32MainForm::AddSorted(ListControl list, const std::string& item) {
  // Where a sorted list keeps it: letter case ignored, after equal items.
  const std::wstring text = Wide(platform::AnsiToWide(item));
  int at = ItemCount(list);
  for (int i = 0; i < ItemCount(list); ++i) {
    if (CompareIgnoringCase(text, ItemText(List(list), i)) < 0) {
      at = i;
      break;
    }
  }
  const bool wasEmpty = ItemCount(list) == 0;
  SendMessageW(List(list), CB_INSERTSTRING, static_cast<WPARAM>(at),
               reinterpret_cast<LPARAM>(text.c_str()));
  // As a toolkit's list does, the first item of an empty list becomes the current one.
  if (wasEmpty) SendMessageW(List(list), CB_SETCURSEL, 0, 0);
  return at;
}

void Win32MainForm::ClearItems(ListControl list) {
  SendMessageW(List(list), CB_RESETCONTENT, 0, 0);
}

bool Win32MainForm::WarnChecked() const {
  return SendMessageW(Control("WarnCB"), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32MainForm::SetWarnChecked(bool checked) {
  SendMessageW(Control("WarnCB"), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::u16string Win32MainForm::TypedText() const {
  return U16(TextOf(Control("SendMessage")));  // an edit control's line breaks are CR LF
}

void Win32MainForm::ClearTyped() {
  SetWindowTextW(Control("SendMessage"), L"");
  // Setting the text does not always say it changed: the Send button follows it here.
  application_.Guard([this] { core_->SendMessageChange(); });
}

void Win32MainForm::SetSendEnabled(bool enabled) {
  EnableWindow(Control("btnSend"), enabled ? TRUE : FALSE);
}

std::string Win32MainForm::PageCaptionAnsi(int page) const {
  for (int i = 0; i < form_->ComponentCount(); ++i) {
    if (form_->Components(i)->Name() != "PageControl1") continue;
    const uilocal::TComponent& tabs = *form_->Components(i);
    for (int k = 0; k < tabs.ComponentCount(); ++k) {
      const auto* sheet = dynamic_cast<const Component*>(tabs.Components(k));
      if (sheet != nullptr && sheet->Control() == pages_.at(static_cast<std::size_t>(page)).memo) {
        return sheet->CaptionAnsi();
      }
    }
  }
  return {};
}

int Win32MainForm::AddPage(const std::string& caption) {
  HWND tabs = Control("PageControl1");
  const int index = static_cast<int>(pages_.size());
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  std::wstring empty;
  item.pszText = empty.data();
  SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
  HWND memo = CreateWindowExW(
      0, L"EDIT", L"",
      WS_CHILD | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0, 0, 0,
      window_, nullptr, GetModuleHandleW(nullptr), nullptr);
  SendMessageW(memo, WM_SETFONT, reinterpret_cast<WPARAM>(controlFont_), FALSE);
  SetWindowPos(memo, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  pages_.push_back({caption, memo});
  uilocal::TComponent* pageControl = nullptr;
  for (int i = 0; i < form_->ComponentCount(); ++i) {
    if (form_->Components(i)->Name() == "PageControl1") pageControl = form_->Components(i);
  }
  auto* sheet = new Component(uilocal::ComponentKind::kTabSheet, "", pageControl, *this, memo);
  new Component(uilocal::ComponentKind::kMemo, "Memo", sheet, *this, memo);
  sheet->SetCaptionAnsi(caption);
  if (index == 0) SendMessageW(tabs, TCM_SETCURSEL, 0, 0);
  LayOutPages();
  return index;
}

void Win32MainForm::AppendLine(int page, const std::u16string& line) {
  HWND memo = pages_.at(static_cast<std::size_t>(page)).memo;
  std::wstring text = Wide(line);
  if (GetWindowTextLengthW(memo) > 0) text = L"\r\n" + text;
  const int end = GetWindowTextLengthW(memo);
  SendMessageW(memo, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
  SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

int Win32MainForm::CurrentPage() const {
  return static_cast<int>(SendMessageW(Control("PageControl1"), TCM_GETCURSEL, 0, 0));
}

void Win32MainForm::SelectPage(int page) {
  SendMessageW(Control("PageControl1"), TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
  SetPageUnread(page, false);
  LayOutPages();
}

void Win32MainForm::SetPageUnread(int page, bool unread) {
  // The page on show is being read, unless the user is in another window. A highlighted tab is
  // the tab control's own mark.
  if (unread && page == CurrentPage() && IsActive()) return;
  SendMessageW(Control("PageControl1"), TCM_HIGHLIGHTITEM, static_cast<WPARAM>(page),
               MAKELPARAM(unread ? TRUE : FALSE, 0));
}

void Win32MainForm::ShowPages() {
  ShowWindow(Control("PageControl1"), SW_SHOW);
  LayOutPages();
}

void Win32MainForm::SetBusy(bool busy) {
  busy_ += busy ? 1 : -1;
  SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(busy_ > 0 ? IDC_WAIT : IDC_ARROW)));
}

void Win32MainForm::Later(std::function<void()> work) {
  later_.push_back(std::move(work));
  PostMessageW(window_, kRunLater, 0, 0);
}

int RunWin32MessageLoop(Win32MainForm& form) {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Ctrl+Tab and Ctrl+Shift+Tab go to the next and the previous page, from anywhere.
    if (message.message == WM_KEYDOWN && message.wParam == VK_TAB &&
        (GetKeyState(VK_CONTROL) & 0x8000) && form.Handle() != nullptr) {
      HWND tabs = form.Control("PageControl1");
      const int count = static_cast<int>(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0));
      if (count > 0) {
        const int step = (GetKeyState(VK_SHIFT) & 0x8000) ? count - 1 : 1;
        const int next = (static_cast<int>(SendMessageW(tabs, TCM_GETCURSEL, 0, 0)) + step) % count;
        SendMessageW(tabs, TCM_SETCURFOCUS, static_cast<WPARAM>(next), 0);
        continue;
      }
    }
    if (form.Handle() != nullptr && IsDialogMessageW(form.Handle(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace app
