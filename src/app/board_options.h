// Options of the simulated board's chips (NIM, faults, bus trace, stream
// source), each handed to the parser of the part of the board it concerns.
#pragma once

#include <string>
#include <vector>

#include "sim/ft2232h_board.h"
#include "usb/platform_services.h"

namespace app {

enum class BoardOption { NotMine, Accepted, Malformed };

// Whether some part of the simulated board takes the argument; *error says
// why for a malformed one.
BoardOption checkBoardOption(const std::string& arg, std::string* error);
// Whether the board's options, each fine alone, also go together (a MODCOD
// that the delivery system given cannot carry does not).
bool checkBoardOptionsTogether(const std::vector<std::string>& options, std::string* error);
std::string boardOptionsHelp();
// Fits the channel devices to the board, configured by the options. A
// warning (for instance a trace file that cannot be written) goes to *warning.
// Without traceBus the board leaves --i2c-trace to another board of the bus.
bool equipBoard(sim::Ft2232hBoard& board, const std::vector<std::string>& options,
                usb::Clock& clock, std::string* error, std::string* warning, bool traceBus = true);

}  // namespace app
