// The least a Qt Widgets program does before its window is up: the toolkit started, one empty
// window shown, the event loop entered. It writes one byte to its standard output when the loop
// first runs, then ends: the floor for Parlavant's start-up.
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

int main(int argc, char** argv) {
  QApplication qt(argc, argv);
  QWidget window;
  window.resize(488, 365);
  window.show();
  QTimer::singleShot(0, [&] {
    if (::write(1, "r", 1) != 1) qt.exit(1);
    qt.quit();
  });
  return qt.exec();
}
