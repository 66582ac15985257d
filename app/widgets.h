#pragma once

// Qt's side of the toolkit seam: the application's Qt part, the designed faces, and the
// conversions between Qt's strings and the program's.

#include <QFrame>
#include <QString>

#include <string>
#include <string_view>

namespace app {

class TApplication;

// Qt's part of the application, brought by the first Qt window made on it: faces for the designed
// fonts where they are missing, the standard error box (unless one is set), and the desktop's
// messages handled from Qt's event loop.
void AttachQt(TApplication& application);

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
