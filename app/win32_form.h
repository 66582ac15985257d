#pragma once

// Parlavant's one window on Windows, made of user32 and comctl32 controls as designed: combo
// boxes for the lists, multi-line edit controls for the memos, a tab control with as many rows
// as its tabs need. It shows them to the form's behaviour (FormCore) as its FormView and calls
// the behaviour's handlers from the controls' notifications.

#include <windows.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/form_core.h"
#include "app/form_view.h"

namespace app {

class Win32MainForm final : private FormView {
 public:
  Win32MainForm(TApplication& application, std::string settingsPath);
  ~Win32MainForm() override;
  Win32MainForm(const Win32MainForm&) = delete;
  Win32MainForm& operator=(const Win32MainForm&) = delete;

  HWND Handle() const { return window_; }
  FormCore& Core() { return *core_; }
  void Show(int how);

  // Where the designed controls are, by name, for the component tree and the tests' tools.
  HWND Control(const std::string& name) const;

 private:
  struct Anchored {
    HWND control;
    RECT bounds;  // at the client size below
    int anchors;
    SIZE client;
  };
  class Component;

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Make();
  HWND MakeControl(const wchar_t* windowClass, DWORD style, const std::string& name,
                   uilocal::ComponentKind kind, int left, int top, int width, int height,
                   int anchors, HFONT font);
  void Place(HWND control, RECT bounds);
  void ApplyAnchors();
  void LayOutPages();
  void FitLabel(HWND label);
  void Command(HWND control, int code);
  HWND List(ListControl list) const;
  SIZE ClientSize() const;

  // FormView.
  FormBounds Bounds() const override;
  void SetBounds(const FormBounds& bounds) override;
  void PlaceBottomRow() override;
  std::string CaptionAnsi() const override;
  void SetCaptionAnsi(const std::string& caption) override;
  bool IsActive() const override;
  void RequestAttention() override;
  int ItemIndex(ListControl list) const override;
  void SetItemIndex(ListControl list, int index) override;
  int ItemCount(ListControl list) const override;
  std::string ItemAnsi(ListControl list, int index) const override;
  int FindItem(ListControl list, const std::string& item, bool ignoreCase) const override;
  int AddSorted(ListControl list, const std::string& item) override;
  void ClearItems(ListControl list) override;
  bool WarnChecked() const override;
  void SetWarnChecked(bool checked) override;
  std::u16string TypedText() const override;
  void ClearTyped() override;
  void SetSendEnabled(bool enabled) override;
  int PageCount() const override { return static_cast<int>(pages_.size()); }
  std::string PageCaptionAnsi(int page) const override;
  int AddPage(const std::string& caption) override;
  void AppendLine(int page, const std::u16string& line) override;
  int CurrentPage() const override;
  void SelectPage(int page) override;
  void SetPageUnread(int page, bool unread) override;
  void ShowPages() override;
  void SetBusy(bool busy) override;
  void Later(std::function<void()> work) override;

  TApplication& application_;
  HWND window_ = nullptr;
  HFONT controlFont_ = nullptr, windowFont_ = nullptr;
  std::unique_ptr<uilocal::TComponent> form_;
  std::vector<std::pair<std::string, HWND>> controls_;
  std::vector<Anchored> anchored_;
  struct Page {
    std::string caption;
    HWND memo;
  };
  std::vector<Page> pages_;
  std::deque<std::function<void()>> later_;
  HCURSOR restoreCursor_ = nullptr;
  int busy_ = 0;
  std::unique_ptr<FormCore> core_;
};

// The message loop of the program's thread, until the window is gone: keyboard navigation
// between the controls, and Ctrl+Tab between the pages.
int RunWin32MessageLoop(Win32MainForm& form);

}  // namespace app
