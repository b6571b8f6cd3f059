#include "app/board_options.h"

#include "sim/channel_a.h"

namespace app {

namespace {

struct BoardSetup {
    sim::ChannelAOptions channelA;
};

BoardOption apply(const std::string& arg, BoardSetup& setup, std::string* error) {
    switch (sim::parseChannelAOption(arg, setup.channelA, error)) {
    case sim::OptionParse::Accepted: return BoardOption::Accepted;
    case sim::OptionParse::Malformed: return BoardOption::Malformed;
    case sim::OptionParse::NotMine: break;
    }
    return BoardOption::NotMine;
}

}  // namespace

BoardOption checkBoardOption(const std::string& arg, std::string* error) {
    BoardSetup scratch;
    return apply(arg, scratch, error);
}

std::string boardOptionsHelp() {
    return "\nSimulated chips (with --simulate):\n" + sim::channelAOptionsHelp();
}

bool equipBoard(sim::Ft2232hBoard& board, const std::vector<std::string>& options,
                usb::Clock& clock, std::string* error, std::string* warning) {
    BoardSetup setup;
    for (const std::string& arg : options) {
        if (apply(arg, setup, error) != BoardOption::Accepted) {
            if (error->empty()) *error = "unknown option '" + arg + "'";
            return false;
        }
    }
    board.setChannelDevice(0, sim::makeChannelA(setup.channelA, clock, warning));
    return true;
}

}  // namespace app
