#include "app/board_options.h"

namespace app {

bool isBoardOption(const std::string& arg) {
    for (const char* prefix : {"--nim=", "--fault=", "--i2c-trace=", "--usb-latency-us=",
                               "--ts-rate=", "--ts-file=", "--seed="})
        if (arg.rfind(prefix, 0) == 0) return true;
    return false;
}

bool checkBoardOption(const std::string& arg, std::string* error) {
    *error = "'" + arg + "' is not understood by the simulated board";
    return false;
}

std::string boardOptionsHelp() { return {}; }

bool equipBoard(sim::Ft2232hBoard&, const std::vector<std::string>& options, usb::Clock&,
                std::string* error) {
    for (const std::string& arg : options)
        if (!checkBoardOption(arg, error)) return false;
    return true;
}

}  // namespace app
