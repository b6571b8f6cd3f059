#include "sim/board_setup.h"

namespace sim {

OptionParse parseBoardOption(const std::string& arg, BoardSetup& setup, std::string* error) {
    OptionParse result = parseChannelAOption(arg, setup.channelA, error);
    if (result != OptionParse::NotMine) return result;
    result = parseSignalOption(arg, setup.signal, error);
    if (result != OptionParse::NotMine) return result;
    return parseChannelBOption(arg, setup.channelB, error);
}

std::string boardOptionsHelp() { return channelAOptionsHelp() + signalOptionsHelp() + channelBOptionsHelp(); }

bool makeBoardChannels(const BoardSetup& setup, usb::Clock& clock, BoardChannels* channels,
                       std::string* error, std::string* warning) {
    auto signal = std::make_shared<RfInput>(setup.signal, clock);
    channels->a = makeChannelA(setup.channelA, clock, warning, signal);
    std::string streamWarning;
    channels->b = makeChannelB(setup.channelB, clock, error, &streamWarning, signal);
    if (warning && !streamWarning.empty()) *warning += (warning->empty() ? "" : "; ") + streamWarning;
    return channels->b != nullptr;
}

}  // namespace sim
