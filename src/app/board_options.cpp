#include "app/board_options.h"

#include "sim/board_setup.h"
#include "sim/option_text.h"

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

enum class Number { Whole, Decimal };

// Counts, rates and times are written in decimal: the chips' own parsers
// would also take 0x10 or 1e3, which a bench engineer reading the command
// line back would not expect. (A chip identity is a register value and stays
// hexadecimal as well.)
struct NumericOption {
    const char* prefix;
    Number kind;
};
constexpr NumericOption NumericOptions[] = {
    {"--ts-rate=", Number::Decimal},          {"--fault=nack-rate=", Number::Decimal},
    {"--usb-latency-us=", Number::Whole},     {"--i2c-seed=", Number::Whole},
    {"--fault=image-fails-at=", Number::Whole}, {"--fault=ts-stop-after=", Number::Whole},
};

bool isDecimal(const std::string& text, Number kind) {
    bool digit = false, point = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') digit = true;
        else if (c == '.' && kind == Number::Decimal && !point) point = true;
        else return false;
    }
    return digit;
}

}  // namespace

BoardOption checkBoardOption(const std::string& arg, std::string* error) {
    for (const NumericOption& option : NumericOptions) {
        std::string value;
        if (!sim::optionValue(arg, option.prefix, &value)) continue;
        if (value != "max" && !isDecimal(value, option.kind)) {
            *error = arg + ": the value is a " +
                     (option.kind == Number::Whole ? "whole number" : "number") +
                     " in decimal digits" + (option.kind == Number::Decimal ? ", e.g. 12.5" : "");
            return BoardOption::Malformed;
        }
    }
    sim::BoardSetup scratch;
    return apply(arg, scratch, error);
}

bool checkBoardOptionsTogether(const std::vector<std::string>& options, std::string* error) {
    sim::BoardSetup setup;
    for (const std::string& arg : options)
        if (apply(arg, setup, error) == BoardOption::Malformed) return false;
    return true;
}

std::string boardOptionsHelp() {
    return "\nSimulated chips and stream source (with --simulate):\n" + sim::boardOptionsHelp();
}

bool equipBoard(sim::Ft2232hBoard& board, const std::vector<std::string>& options,
                usb::Clock& clock, std::string* error, std::string* warning, bool traceBus) {
    sim::BoardSetup setup;
    for (const std::string& arg : options) {
        if (apply(arg, setup, error) != BoardOption::Accepted) {
            if (error->empty()) *error = "unknown option '" + arg + "'";
            return false;
        }
    }
    if (!traceBus) setup.channelA.i2cTracePath.clear();
    // One bridge, one USB timing for both channels.
    setup.channelB.usbTiming = setup.channelA.usbTiming;
    sim::BoardChannels channels;
    if (!sim::makeBoardChannels(setup, clock, &channels, error, warning)) return false;
    board.setChannelDevice(0, std::move(channels.a));
    board.setChannelDevice(1, std::move(channels.b));
    return true;
}

}  // namespace app
