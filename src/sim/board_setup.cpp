#include "sim/board_setup.h"

namespace sim {

OptionParse parseBoardOption(const std::string& arg, BoardSetup& setup, std::string* error) {
    const OptionParse result = parseChannelAOption(arg, setup.channelA, error);
    if (result != OptionParse::NotMine) return result;
    return parseChannelBOption(arg, setup.channelB, error);
}

std::string boardOptionsHelp() { return channelAOptionsHelp() + channelBOptionsHelp(); }

bool makeBoardChannels(const BoardSetup& setup, usb::Clock& clock, BoardChannels* channels,
                       std::string* error, std::string* warning) {
    channels->a = makeChannelA(setup.channelA, clock, warning);
    std::string streamWarning;
    channels->b = makeChannelB(setup.channelB, clock, error, &streamWarning);
    if (warning && !streamWarning.empty()) *warning += (warning->empty() ? "" : "; ") + streamWarning;
    return channels->b != nullptr;
}

}  // namespace sim
