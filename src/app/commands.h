// The commands that run without the window, on QCoreApplication: "check",
// "regs" and --list-boards. Each returns the program's exit status.
#pragma once

#include "app/options.h"

namespace app {

inline constexpr int ExitPass = 0;
inline constexpr int ExitFail = 1;
inline constexpr int ExitUsage = 2;

bool isHeadless(const Options& options);
int runHeadless(const Options& options, int argc, char** argv);

}  // namespace app
