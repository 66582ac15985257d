// The least a Qt Widgets program does before its window is up: the toolkit started, one empty
// window shown, the event loop entered. It writes one byte to its standard output when the loop
// first runs, then ends: the floor for Parlavant's start-up. Built a second time with Qt Network
// loaded and a cookie jar made, it shows what Parlavant paid for its cookie store before it had
// one of its own; a third time with a label and a text box in the window's faces, what the
// toolkit's fonts cost any window that shows text.
#include <QApplication>
#include <QTimer>
#include <QWidget>
#ifdef QT_FLOOR_NETWORK
#include <QNetworkCookieJar>
#endif
#ifdef QT_FLOOR_TEXT
#include <QLabel>
#include <QPlainTextEdit>
#endif

#include <unistd.h>

int main(int argc, char** argv) {
  QApplication qt(argc, argv);
#ifdef QT_FLOOR_NETWORK
  // What Parlavant's HTTP client made at start-up while Qt Network kept its cookies.
  QNetworkCookieJar jar;
#endif
  QWidget window;
  window.resize(488, 365);
#ifdef QT_FLOOR_TEXT
  // What any window with text pays the toolkit: its font configuration read, the faces
  // Parlavant's window is designed in matched and loaded, a caption shaped and painted.
  for (const char* family : {"MS Sans Serif", "Microsoft Sans Serif"}) {
    QFont::insertSubstitutions(family, {"Liberation Sans", "Arial"});
  }
  window.setFont(QFont("MS Sans Serif", 8));
  QLabel label("Receive in:", &window);
  label.setGeometry(324, 6, 54, 13);
  QPlainTextEdit box(&window);
  box.setFont(QFont("Microsoft Sans Serif", 8));
  box.setGeometry(1, 206, 478, 96);
#endif
  window.show();
  QTimer::singleShot(0, [&] {
    if (::write(1, "r", 1) != 1) qt.exit(1);
    qt.quit();
  });
  return qt.exec();
}
