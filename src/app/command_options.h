// The options of the commands that run without the window: "check" (the
// board's go/no-go check) and "regs" (the demodulator's registers).
#pragma once

#include <cstdint>
#include <string>

namespace STV0903Registers {
struct RegisterContent;
}

namespace app {

struct CommandOptions {
    // check
    int seconds = 5;
    double minMegabits = 0;
    std::string report;         // --report=FILE.json
    std::string junit;          // --junit=FILE.xml
    std::string dumpRegisters;  // --dump-registers=FILE.csv
    // regs: exactly one of these
    std::string dump;   // --dump=FILE.csv
    std::string read;   // --read=NAME|0xADDR
    std::string write;  // --write=NAME=0xVV
    // What --read or --write names in the catalogue, and the byte to write.
    const STV0903Registers::RegisterContent* reg = nullptr;
    std::uint8_t writeValue = 0;
    // both: the cores' log lines on standard error
    bool verbose = false;
};

enum class CommandOption { NotMine, Accepted, Malformed };

bool isCommand(const std::string& word);
// An option of the given command ("" for the window); one that belongs to
// another command is Malformed, with *error saying where it belongs.
CommandOption parseCommandOption(const std::string& command, const std::string& arg,
                                 CommandOptions& options, std::string* error);
// What can only be judged once every option was read.
bool checkCommandOptions(const std::string& command, const CommandOptions& options,
                         std::string* error);
std::string commandOptionsHelp();

// "NAME=0xVV" split, the register looked up in the catalogue; false with
// *error when malformed or not in the catalogue.
bool parseRegisterWrite(const std::string& text, const STV0903Registers::RegisterContent** reg,
                        std::uint8_t* value, std::string* error);

}  // namespace app
