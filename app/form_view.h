#pragma once

// Parlavant's window as its behaviour (FormCore) sees it: the designed controls by name, and
// what the window itself does. A toolkit's window implements it: the Qt window, the Win32 one,
// and the tests' fake.

#include <functional>
#include <string>

namespace app {

enum class ListControl { kTranslateTo, kSendIn, kToUsers };

struct FormBounds {
  int left = 0, top = 0, width = 0, height = 0;  // the window's place; its client size
};

class FormView {
 public:
  virtual ~FormView() = default;

  // The window. Its caption in 8 bits, as handles are compared; a size below the minimum is
  // taken as the minimum.
  virtual FormBounds Bounds() const = 0;
  virtual void SetBounds(const FormBounds& bounds) = 0;
  // Puts the bottom row (btnSend, l_Send_To, ToUsers, l_in, SendIn) against the client height
  // now in force, and SendMessage down to it; the anchors keep them there afterwards.
  virtual void PlaceBottomRow() = 0;
  virtual std::string CaptionAnsi() const = 0;
  virtual void SetCaptionAnsi(const std::string& caption) = 0;
  // Whether the user is at this window now; and asking for their attention when not.
  virtual bool IsActive() const = 0;
  virtual void RequestAttention() = 0;

  // TranslateTo, SendIn and ToUsers. Items in 8 bits (ToUsers holds handles); AddSorted puts
  // one where the sorted list keeps it (letter case ignored, after equal items) and gives its
  // index. Setting the index in code is not the user's choice: no handler runs.
  virtual int ItemIndex(ListControl list) const = 0;
  virtual void SetItemIndex(ListControl list, int index) = 0;
  virtual int ItemCount(ListControl list) const = 0;
  virtual std::string ItemAnsi(ListControl list, int index) const = 0;
  // The first item equal to `item`, compared exactly or (as handles are) without regard to
  // letter case; -1 for none.
  virtual int FindItem(ListControl list, const std::string& item, bool ignoreCase) const = 0;
  virtual int AddSorted(ListControl list, const std::string& item) = 0;
  virtual void ClearItems(ListControl list) = 0;

  // WarnCB, SendMessage (what is typed, with line breaks as CR LF) and btnSend.
  virtual bool WarnChecked() const = 0;
  virtual void SetWarnChecked(bool checked) = 0;
  virtual std::u16string TypedText() const = 0;
  virtual void ClearTyped() = 0;
  virtual void SetSendEnabled(bool enabled) = 0;

  // PageControl1: a page per conversation, its tab captioned with the handle, its memo read-only.
  // The control is hidden until ShowPages. A page on show is not marked unread while the user is
  // at the window.
  virtual int PageCount() const = 0;
  virtual std::string PageCaptionAnsi(int page) const = 0;
  virtual int AddPage(const std::string& caption) = 0;
  virtual void AppendLine(int page, const std::u16string& line) = 0;
  virtual int CurrentPage() const = 0;
  virtual void SelectPage(int page) = 0;
  virtual void SetPageUnread(int page, bool unread) = 0;
  virtual void ShowPages() = 0;

  // The busy cursor while the window stands still; and work for when the running handler is over.
  virtual void SetBusy(bool busy) = 0;
  virtual void Later(std::function<void()> work) = 0;
};

}  // namespace app
