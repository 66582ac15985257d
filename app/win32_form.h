#pragma once

// Parlavant's one window on Windows, made of user32 and comctl32 controls from the design table:
// combo boxes for the lists, multi-line edit controls for the memos, a tab control with as many
// rows as its tabs need. It shows the form's model (FormCore's) and calls FormCore's handlers
// from the controls' notifications; every control is placed by the design's FormLayout.

#include <windows.h>

#include <commctrl.h>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/form_core.h"
#include "app/form_design.h"
#include "app/form_view.h"

namespace app {

// A designed control's id among the window's children (GetDlgItem).
inline int ControlId(Control control) {
  return 100 + static_cast<int>(control);
}

class Win32MainForm final : private FormView {
 public:
  Win32MainForm(TApplication& application, std::string settingsPath);
  ~Win32MainForm() override;
  Win32MainForm(const Win32MainForm&) = delete;
  Win32MainForm& operator=(const Win32MainForm&) = delete;

  HWND Handle() const { return window_; }
  FormCore& Core() { return *core_; }
  void Show(int how);
  // Brought to the front, restored when minimised: a second start asked for it.
  void Raise();
  HWND Window(app::Control control) const { return controls_[static_cast<std::size_t>(control)]; }
  // The page `delta` places on from the one on show, round the end, as the user's choice.
  void StepPage(int delta);

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Make();
  void PlaceControls();
  void PlaceControl(app::Control control);
  void LayOutPages();
  void FitLabel(app::Control label);
  void Command(HWND control, int code);
  // A tab's context menu, at `at` on the screen.
  void TabMenu(int page, POINT at);
  bool rendering_ = false;  // a memo is taking text: its scrolling is not the user's
  Size ClientSize() const;
  HWND Memo(int conversation) const { return memos_.at(static_cast<std::size_t>(conversation)); }

  // FormView.
  FormBounds Bounds() const override;
  void SetBounds(const FormBounds& bounds) override;
  void PlaceBottomRow() override;
  bool IsActive() const override;
  void RequestAttention() override;
  bool WarnChecked() const override;
  void SetWarnChecked(bool checked) override;
  std::u16string TypedText() const override;
  void ClearTyped() override;
  void SetSendEnabled(bool enabled) override;
  void ShowCaption(app::Control control, std::u16string_view text) override;
  void ShowPageCaption(int page, std::u16string_view text) override;
  void SetBusy(bool busy) override;
  void Later(std::function<void()> work) override;
  // The model, shown.
  void ContactsChanged() override;
  void RecipientChanged() override;
  void LanguagesChanged() override;
  void ConversationAdded(int conversation) override;
  void LineAdded(int conversation, int line) override;
  void LinesRestored(int conversation) override;
  void ShownChanged() override;
  void UnreadChanged(int conversation) override;
  void CaptionChanged() override;

  TApplication& application_;
  HWND window_ = nullptr;
  HFONT controlFont_ = nullptr, windowFont_ = nullptr;
  HIMAGELIST tabMarks_ = nullptr;
  std::array<HWND, kControlCount> controls_{};
  FormLayout layout_;
  std::vector<HWND> memos_;  // by conversation
  std::deque<std::function<void()>> later_;
  int busy_ = 0;
  HWND focus_ = nullptr;  // the control that had the focus when the window was left
  std::unique_ptr<FormCore> core_;
};

// The message loop of the program's thread, until the window is gone: Tab and Shift+Tab through
// the controls in the designed order (out of the text box too), and Ctrl+Tab between the pages
// from anywhere in the window. `onRequest`, when set, runs whenever `request` (an event) is set.
int RunWin32MessageLoop(Win32MainForm& form, HANDLE request = nullptr,
                        const std::function<void()>& onRequest = {});

}  // namespace app
