#pragma once

// Parlavant's window as its behaviour (FormCore) sees it. A view shows the form's model (it is
// told of every change as a FormModelListener, and reads the model then) and reports what the
// user does to FormCore's handlers; it keeps no copy of the model and no rule of its own. It
// places its controls only through the design's FormLayout. The Qt window, the Win32 window and
// the tests' fake each implement it.

#include <functional>
#include <string>
#include <string_view>

#include "app/form_design.h"
#include "app/form_model.h"

namespace app {

struct FormBounds {
  int left = 0, top = 0, width = 0, height = 0;  // the window's place; its client size
};

class FormView : public FormModelListener {
 public:
  // The window. A size below the minimum is taken as the minimum.
  virtual FormBounds Bounds() const = 0;
  virtual void SetBounds(const FormBounds& bounds) = 0;
  // The window's creation is over: from now on the bottom row sits against the bottom edge.
  virtual void PlaceBottomRow() = 0;
  // Whether the user is at this window now; and asking for their attention when not.
  virtual bool IsActive() const = 0;
  virtual void RequestAttention() = 0;

  // What the user types and ticks, which is theirs until a send takes it: WarnCB, SendMessage
  // (with line breaks as CR LF), and btnSend, which follows it.
  virtual bool WarnChecked() const = 0;
  virtual void SetWarnChecked(bool checked) = 0;
  virtual std::u16string TypedText() const = 0;
  virtual void ClearTyped() = 0;
  virtual void SetSendEnabled(bool enabled) = 0;

  // A caption the interface texts (or the design) give a control, or a page's tab.
  virtual void ShowCaption(Control control, std::u16string_view text) = 0;
  virtual void ShowPageCaption(int page, std::u16string_view text) = 0;

  // The busy cursor while the window stands still; and work for when the running handler is over.
  virtual void SetBusy(bool busy) = 0;
  virtual void Later(std::function<void()> work) = 0;
};

}  // namespace app
