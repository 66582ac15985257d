#pragma once

// Qt's side of the toolkit seam: components that stand for Qt widgets in the component tree, and
// the conversions between Qt's strings and the program's.

#include <QFrame>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <string>

#include "uilocal/component.h"

namespace app {

class TApplication;

// Qt's part of the application, brought by the first Qt window made on it: faces for the designed
// fonts where they are missing, the standard error box (unless one is set), and the desktop's
// messages handled from Qt's event loop.
void AttachQt(TApplication& application);

// A component standing for a Qt widget: its caption goes to the widget's text (or window title,
// or tab text), its hint to the tool tip. The 8-bit form of a caption is kept as bytes, since the
// program compares tab captions with handles byte for byte.
class WidgetComponent : public uilocal::TComponent {
 public:
  WidgetComponent(uilocal::ComponentKind kind, std::string name, uilocal::TComponent* owner,
                  QWidget* widget);
  // A form's component, listed under the application but held by the form's window object.
  WidgetComponent(uilocal::ComponentKind kind, std::string name, uilocal::TComponent& owner,
                  uilocal::TComponent::HeldByMaker held, QWidget* widget);

  QWidget* Widget() const { return widget_; }
  // The caption as last set, in 8 bits (the UTF-16 form converted to the ANSI code page).
  const std::string& CaptionAnsi() const { return caption_; }

  void SetCaptionAnsi(std::string_view text) override;
  void SetCaptionWide(std::u16string_view text) override;
  void SetHintAnsi(std::string_view text) override;
  void SetHintWide(std::u16string_view text) override;

  // Runs after each caption change (a label fits its width to the new text).
  std::function<void()> AfterCaption;

 private:
  void ShowCaption(const QString& text);

  QPointer<QWidget> widget_;
  std::string caption_;
};

// The designed faces: the controls' own, and the window's (which ToUsers and the tabs take).
inline constexpr const char* kControlFace = "Microsoft Sans Serif";
inline constexpr const char* kWindowFace = "MS Sans Serif";

// A flat frame: one plain line instead of the 3-D border.
void MakeFlat(QFrame* frame);

QString FromAnsi(std::string_view bytes);
std::string ToAnsi(const QString& text);
QString FromWide(std::u16string_view text);
std::u16string ToWide(const QString& text);

}  // namespace app
