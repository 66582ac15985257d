// The least a Qt Widgets program does before its window is up: the toolkit started, one empty
// window shown, the event loop entered. It writes one byte to its standard output when the loop
// first runs, then ends: the floor for Parlavant's start-up. Built a second time with Qt Network
// loaded and a cookie jar made, it shows what Parlavant paid for its cookie store before it had
// one of its own.
#include <QApplication>
#include <QTimer>
#include <QWidget>
#ifdef QT_FLOOR_NETWORK
#include <QNetworkCookieJar>
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
  window.show();
  QTimer::singleShot(0, [&] {
    if (::write(1, "r", 1) != 1) qt.exit(1);
    qt.quit();
  });
  return qt.exec();
}
