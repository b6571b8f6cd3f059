#include "app/board_options.h"

#include "sim/channel_a.h"
#include "sim/ts_source.h"

namespace app {

namespace {

struct BoardSetup {
    sim::ChannelAOptions channelA = sim::ChannelAOptions::commandLineDefaults();
    sim::ChannelBOptions channelB;
};

BoardOption apply(const std::string& arg, BoardSetup& setup, std::string* error) {
    sim::OptionParse result = sim::parseChannelAOption(arg, setup.channelA, error);
    if (result == sim::OptionParse::NotMine)
        result = sim::parseChannelBOption(arg, setup.channelB, error);
    switch (result) {
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
    return "\nSimulated chips and stream source (with --simulate):\n" + sim::channelAOptionsHelp() +
           sim::channelBOptionsHelp();
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
    auto channelB = sim::makeChannelB(setup.channelB, clock, error);
    if (!channelB) return false;
    board.setChannelDevice(1, std::move(channelB));
    return true;
}

}  // namespace app
