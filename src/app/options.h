// The command line of vesperbox.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_options.h"
#include "console/udp_output.h"
#include "sim/ft2232h_board.h"

namespace app {

struct Options {
    bool help = false;
    bool simulate = false;
    std::uint32_t devices = 2;
    std::vector<sim::CallFault> fails;
    std::vector<std::string> steps;  // the unattended bench run
    std::string screenshot;
    bool showSerialSettings = false;
    std::string backend = "libftdi";
    console::UdpDestination udp;  // --udp=HOST:PORT
    std::string d2xxTrace;        // empty: no trace
    // Options of the simulated board's chips, handed to their own parsers.
    std::vector<std::string> boardOptions;
    // Several boards plugged in: the one to use, and how many to simulate.
    std::string board;  // --board=SERIAL, the EEPROM serial without "A"/"B"
    std::uint32_t boards = 1;
    bool listBoards = false;
    // "check" or "regs" as the first argument: a command without the window.
    std::string command;
    CommandOptions commandOptions;
};

// False with a message for a malformed command line.
bool parseOptions(int argc, char** argv, Options& options, std::string* error);
// Whether the screenshot and the I2C trace can be written where the options
// say, so that a run does not end without them; *error says which cannot.
bool checkOutputFiles(const Options& options, std::string* error);
// "wait 300" to 300; false for anything else.
bool parseWaitStep(const std::string& step, int* ms);
// Splits "BtnOpenB, wait 300 ,Exit1" into its steps.
std::vector<std::string> splitSteps(const std::string& text);
std::string helpText();

}  // namespace app
