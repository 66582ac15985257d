#pragma once

// Helpers for tests and benchmarks that run Qt's event loop in the test's own thread.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <fstream>
#include <functional>
#include <string>

namespace testsupport {

// Runs the event loop until `done` holds, at most `ms` milliseconds; returns whether it holds.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 60000) {
  QTimer tick;  // wakes the loop to look at `done` again
  tick.start(20);
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return done();
}

// This process's resident memory, in KiB.
inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 20, '\n');
  }
  return 0;
}

}  // namespace testsupport
