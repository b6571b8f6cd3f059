#include "app/board_options.h"

#include "sim/board_setup.h"

namespace app {

namespace {

BoardOption apply(const std::string& arg, sim::BoardSetup& setup, std::string* error) {
    switch (sim::parseBoardOption(arg, setup, error)) {
    case sim::OptionParse::Accepted: return BoardOption::Accepted;
    case sim::OptionParse::Malformed: return BoardOption::Malformed;
    case sim::OptionParse::NotMine: break;
    }
    return BoardOption::NotMine;
}

}  // namespace

BoardOption checkBoardOption(const std::string& arg, std::string* error) {
    sim::BoardSetup scratch;
    return apply(arg, scratch, error);
}

std::string boardOptionsHelp() {
    return "\nSimulated chips and stream source (with --simulate):\n" + sim::boardOptionsHelp();
}

bool equipBoard(sim::Ft2232hBoard& board, const std::vector<std::string>& options,
                usb::Clock& clock, std::string* error, std::string* warning) {
    sim::BoardSetup setup;
    for (const std::string& arg : options) {
        if (apply(arg, setup, error) != BoardOption::Accepted) {
            if (error->empty()) *error = "unknown option '" + arg + "'";
            return false;
        }
    }
    sim::BoardChannels channels;
    if (!sim::makeBoardChannels(setup, clock, &channels, error, warning)) return false;
    board.setChannelDevice(0, std::move(channels.a));
    board.setChannelDevice(1, std::move(channels.b));
    return true;
}

}  // namespace app
