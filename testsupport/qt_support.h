#pragma once

// Helpers for tests and benchmarks that run Qt's event loop in the test's own thread.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <fstream>
#include <functional>
#include <ostream>
#include <string>

// How failing assertions show a QString.
inline void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}

namespace testsupport {

// Runs the event loop until `done` holds, at most `ms` milliseconds; returns whether it holds.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 60000) {
  QTimer tick;  // wakes the loop to look at `done` again
  tick.start(20);
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return done();
}

// A figure of this process's /proc status ("VmRSS:", "VmHWM:"), in KiB.
inline long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == field) {
      status >> value;
      return value;
    }
    status.ignore(1 << 20, '\n');
  }
  return 0;
}

// This process's resident memory, in KiB.
inline long ResidentKiB() {
  return StatusKiB("VmRSS:");
}

// AddressSanitizer holds freed memory in quarantine, so under it resident size says nothing about
// growth; its leak check at exit does that work instead.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kResidentSizeTellsGrowth = false;
#else
inline constexpr bool kResidentSizeTellsGrowth = true;
#endif

// The highest resident memory since the last ResetPeakResident(), in KiB.
inline long PeakResidentKiB() {
  return StatusKiB("VmHWM:");
}
inline void ResetPeakResident() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace testsupport
