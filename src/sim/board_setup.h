// The options of the simulated board's chips, gathered by whichever way in
// builds the board (the in-process D2XX board, the virtual USB device), and
// the channel devices they describe.
#pragma once

#include <memory>
#include <string>

#include "sim/channel_a.h"
#include "sim/channel_device.h"
#include "sim/rf_signal.h"
#include "sim/ts_source.h"
#include "usb/platform_services.h"

namespace sim {

struct BoardSetup {
    // The command line gets the real chip's USB timing.
    ChannelAOptions channelA = ChannelAOptions::commandLineDefaults();
    ChannelBOptions channelB;
    // What reaches the NIM: the demodulator's registers and the stream on
    // channel B both follow it.
    SignalConditions signal;
};

// The EEPROM serial of the simulated board at place (from 0) on its bus:
// VB2232H1, VB2232H2, ...
inline std::string boardSerial(std::size_t place) { return "VB2232H" + std::to_string(place + 1); }

// Offers the argument to the parser of each part of the board.
OptionParse parseBoardOption(const std::string& arg, BoardSetup& setup, std::string* error);
std::string boardOptionsHelp();

struct BoardChannels {
    std::unique_ptr<ChannelDevice> a;
    std::unique_ptr<ChannelDevice> b;
};

// Builds both channels around one signal; false (with *error) when the
// stream file cannot be read. A trace file that cannot be written only warns.
bool makeBoardChannels(const BoardSetup& setup, usb::Clock& clock, BoardChannels* channels,
                       std::string* error, std::string* warning);

}  // namespace sim
