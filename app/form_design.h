#pragma once

// Parlavant's window as designed, for every toolkit: each control's name, kind, place, anchors,
// face and designed text, the keyboard order, the window's sizes, the two language lists' items,
// and the arithmetic that places every control for a client size. The Qt window and the Win32
// window both make their controls from this table and place them only through FormLayout, so
// that the two cannot lay the window out differently.

#include <array>
#include <cstdint>
#include <string_view>

#include "uilocal/component.h"

namespace app {

// The one item of a tab's context menu.
inline constexpr wchar_t kForgetConversation[] = L"Forget this conversation";

enum class Control {
  l_Translate_To,
  TranslateTo,
  WarnCB,
  PageControl1,
  SendMessage,
  btnSend,
  l_Send_To,
  ToUsers,
  l_in,
  SendIn,
};
inline constexpr int kControlCount = 10;

enum Anchor { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
enum class Face {
  kControl,
  kWindow
};  // "Microsoft Sans Serif" 8, or the window's "MS Sans Serif" 8

struct Rect {
  int left = 0, top = 0, width = 0, height = 0;
  int Right() const { return left + width; }
  int Bottom() const { return top + height; }
  friend bool operator==(const Rect&, const Rect&) = default;
};
struct Size {
  int width = 0, height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct DesignedControl {
  Control id;
  std::string_view name;
  uilocal::ComponentKind kind;
  Rect bounds;  // in a client area of kDesignClient
  int anchors;
  Face face;
  bool rightAligned;  // labels: the text, and so the fitted label, keeps its right edge
  bool flat;          // a plain line for a frame instead of the 3-D border
  std::string_view text;
};

// In design order: the order the controls are made in and owned by the form. Each row: the
// control, its name, its kind, its bounds, anchors, face, right-aligned text, flat frame, text.
namespace designed {
using enum uilocal::ComponentKind;
// clang-format off
inline constexpr std::array<DesignedControl, kControlCount> kControls{{
    {Control::l_Translate_To, "l_Translate_To",  kTntLabel,    {324, 6, 54, 13},    akTop | akRight, Face::kControl, true, false, "Receive in:"},
    {Control::TranslateTo,    "TranslateTo",     kTntComboBox, {383, 3, 97, 21},    akTop | akRight, Face::kControl, false, false, ""},
    {Control::WarnCB,         "WarnCB",          kTntCheckBox, {224, 5, 97, 17},    akLeft | akTop, Face::kControl, false, false, "Warning"},
    {Control::PageControl1,   "PageControl1",    kPageControl, {1, 24, 478, 180},   akLeft | akTop | akRight | akBottom, Face::kWindow, false, false, ""},
    {Control::SendMessage,    "SendMessage",     kTntMemo,     {1, 206, 478, 96},   akLeft | akRight | akBottom, Face::kControl, false, true, ""},
    {Control::btnSend,        "btnSend",         kTntButton,   {1, 307, 75, 21},    akLeft | akBottom, Face::kControl, false, false, "Send"},
    {Control::l_Send_To,      "l_Send_To",       kTntLabel,    {82, 311, 13, 13},   akLeft | akBottom, Face::kControl, false, false, "To"},
    {Control::ToUsers,        "ToUsers",         kTntComboBox, {99, 307, 255, 21},  akLeft | akRight | akBottom, Face::kWindow, false, true, ""},
    {Control::l_in,           "l_in",            kTntLabel,    {364, 311, 8, 13},   akRight | akBottom, Face::kControl, true, false, "in"},
    {Control::SendIn,         "SendIn",          kTntComboBox, {377, 307, 103, 21}, akRight | akBottom, Face::kControl, false, false, ""},
}};
// clang-format on
}  // namespace designed
inline constexpr const auto& kDesign = designed::kControls;

inline constexpr std::array<Control, 7> kTabOrder{
    Control::TranslateTo,  Control::SendMessage, Control::btnSend, Control::ToUsers,
    Control::PageControl1, Control::SendIn,      Control::WarnCB};

inline constexpr std::string_view kDesignedCaption = "Parlavant 1.0:04";
// The client area the bounds above are given in, and the smallest the window may have (the
// designed minimum outer size 488 x 365 with the frame the design allowed for).
inline constexpr Size kDesignClient{480, 343};
inline constexpr Size kMinimumClient{480, 338};
inline constexpr Size kMinimumOuter{488, 365};
// Where the window's creation puts the bottom row, from the client's bottom edge: the button and
// the lists this far above it, the labels this far (their text on the lists' baseline), and the
// memo ending this far above the row.
inline constexpr int kRowBottomGap = 2;
inline constexpr int kLabelBottomGap = 7;
inline constexpr int kMemoAboveRow = 3;

// The two language lists hold these, sorted: the six Latin names, then the Cyrillic one. An
// item's index is what the settings keep; its language code what the translator and the
// interface texts know.
inline constexpr std::array<std::u16string_view, 7> kLanguageItems{
    u"Deutch", u"English", u"Espanol", u"Francais", u"Italiano", u"Turkce", u"Български"};
inline constexpr std::array<std::int32_t, 7> kLanguageCodes{4, 1, 5, 6, 7, 3, 2};
inline constexpr std::array<std::string_view, 7> kLanguageIsoCodes{"de", "en", "es", "fr",
                                                                   "it", "tr", "bg"};
inline constexpr int kDesignedReceiveItem = 6;  // Български
inline constexpr int kDesignedSendItem = 1;     // English

const DesignedControl& Designed(Control control);
// The control of that name; null for none.
const DesignedControl* DesignedNamed(std::string_view name);
inline bool IsLabel(Control control) {
  return control == Control::l_Translate_To || control == Control::l_Send_To ||
         control == Control::l_in;
}

// Where every control goes for a client size. Anchored edges keep their distance to the same
// edges of the client area; a control anchored on both sides of an axis stretches. A label is
// as wide as its text. Once the bottom row is placed (the window's creation does it last), the
// buttons and lists sit 2 pixels above the bottom edge, the labels 7, and SendMessage reaches
// down to 3 pixels above them. Every place is computed from the design, never from where a
// control is now: a resize, a restart at another size or a new language cannot make them drift.
class FormLayout {
 public:
  // The text's width as the label draws it in its face; unmeasured labels keep the designed width.
  void SetLabelWidth(Control label, int width);
  void PlaceBottomRow() { bottomRowPlaced_ = true; }
  bool BottomRowPlaced() const { return bottomRowPlaced_; }

  Rect Place(Control control, Size client) const;
  static Size Clamp(Size client);  // never below the minimum

 private:
  std::array<int, kControlCount> labelWidths_{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
  bool bottomRowPlaced_ = false;
};

}  // namespace app
