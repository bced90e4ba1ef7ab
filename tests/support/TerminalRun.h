#pragma once
// Running a program whose standard output is a terminal, for output that
// only appears on one (progress bars, spinners).
#include <string>
#include <vector>

#include "support/Process.h"

namespace tstest {

// Like run(), but standard output is a pseudo-terminal in raw mode (so what
// the program writes arrives unchanged) and standard input is /dev/null.
// RunResult::out holds what was written to the terminal.
RunResult runOnTerminal(const std::vector<std::string>& argv, const RunOptions& opts = {});

}  // namespace tstest
