// The commands that run without the window, on QCoreApplication: "check",
// "regs" and --list-boards. Each returns the program's exit status.
#pragma once

#include "app/options.h"
#include "app/platform_choice.h"

namespace app {

inline constexpr int ExitPass = 0;
inline constexpr int ExitFail = 1;
inline constexpr int ExitUsage = 2;

bool isHeadless(const Options& options);
// A --board that names no board present: says on standard error which are,
// so that the operator need not guess.
void reportMissingBoard(const Options& options, Platform& platform);
int runHeadless(const Options& options, int argc, char** argv);

}  // namespace app
