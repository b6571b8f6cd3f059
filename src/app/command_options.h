// The options of the commands that run without the window: "check" (the
// board's go/no-go check), "regs" (the demodulator's registers) and
// "monitor" (the demodulator's signal, live).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace STV0903Registers {
struct RegisterContent;
}

namespace app {

struct CommandOptions {
    // check, monitor
    int seconds = 5;            // check: of streaming; monitor: of readings
    bool secondsGiven = false;  // monitor: without it, until stopped
    // check
    double minMegabits = 0;
    std::uint32_t lockTimeoutMs = 2000;  // the signal step's wait for a lock
    std::optional<double> minCn;         // dB
    std::optional<double> minLevel;      // dBm
    std::optional<double> maxBer;        // bit (DVB-S) or packet (DVB-S2) error rate
    // monitor
    int intervalMs = 1000;
    bool json = false;    // JSON lines instead of text
    bool init = false;    // the default image and the tuner table first
    bool window = false;  // the signal window instead of lines
    // check, regs, monitor: the window's byte-by-byte I2C master instead of
    // the queued engine
    bool byteEngine = false;
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
