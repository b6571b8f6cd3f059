// Whether the window has a screen to go to, asked before Qt is: without one,
// Qt's own start-up aborts the program with nothing an operator can act on.
#pragma once

#include <string>

namespace app {

// True with a display in the environment (DISPLAY, WAYLAND_DISPLAY) or a Qt
// platform chosen (-platform, QT_QPA_PLATFORM); false with what to do
// instead in *error.
bool displayFound(int argc, char** argv, std::string* error);

}  // namespace app
