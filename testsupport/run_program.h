#pragma once

// Runs a program to the end with a text on its standard input and takes what it printed: the
// one-shot runs that the stand-in translator's warm pipelines are compared with, in tests and
// benchmarks.

#include <signal.h>

#include <string>
#include <string_view>
#include <vector>

#include "testsupport/child_process.h"
#include "testsupport/temp_dir.h"

namespace testsupport {

// What the program printed; `ok` is false when it could not be started or did not end with
// status 0 within two minutes. Its output goes to a file, so that however much it prints it
// never waits for us while we write its input.
inline std::string RunProgram(const std::vector<std::string>& argv, std::string_view input,
                              bool& ok) {
  ::signal(SIGPIPE, SIG_IGN);  // a program that stops reading is its failure, not ours
  TempDir dir("prun");
  std::optional<int> status;
  {
    ChildProcess program(argv, dir / "out");
    if (!program.Running()) {
      ok = false;
      return {};
    }
    program.Write(std::string(input));
    program.CloseInput();
    status = program.Wait(120000);
  }
  ok = status == 0;
  return FileText(dir / "out");
}

}  // namespace testsupport
