// Options of the simulated board's chips (NIM, faults, bus trace, stream
// source), each handed to the parser of the part of the board it concerns.
#pragma once

#include <string>

#include "sim/ft2232h_board.h"
#include "usb/platform_services.h"

namespace app {

bool isBoardOption(const std::string& arg);
// False with a message when no part of the board accepts the option.
bool checkBoardOption(const std::string& arg, std::string* error);
std::string boardOptionsHelp();
// Fits the channel devices to the board, configured by the options.
bool equipBoard(sim::Ft2232hBoard& board, const std::vector<std::string>& options,
                usb::Clock& clock, std::string* error);

}  // namespace app
