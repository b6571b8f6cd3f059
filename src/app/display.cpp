#include "app/display.h"

#include <cstdlib>

namespace app {

bool displayFound(int argc, char** argv, std::string* error) {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM")) return true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-platform" || arg == "--platform" || arg.rfind("-platform=", 0) == 0 ||
            arg.rfind("--platform=", 0) == 0)
            return true;
    }
    *error = "no display found (neither DISPLAY nor WAYLAND_DISPLAY is set). Without a screen, "
             "check a board with 'vesperbox check' (add --simulate for the simulated board), "
             "or run the window off screen: 'vesperbox -platform offscreen ...'";
    return false;
}

}  // namespace app
