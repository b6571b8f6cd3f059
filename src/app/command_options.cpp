#include "app/command_options.h"

#include <charconv>
#include <cstdlib>

#include "frontend/register_dump.h"
#include "sim/option_text.h"

namespace app {

namespace {

CommandOption malformed(std::string* error, std::string text) {
    *error = std::move(text);
    return CommandOption::Malformed;
}

const STV0903Registers::RegisterContent* knownRegister(const std::string& text, std::string* error) {
    const auto* reg = frontend::FindRegister(text);
    if (!reg)
        *error = "'" + text + "' is not a register of the STV0903 catalogue (a name such as MID or an address such as 0xF100)";
    return reg;
}

}  // namespace

bool isCommand(const std::string& word) { return word == "check" || word == "regs"; }

bool parseRegisterWrite(const std::string& text, const STV0903Registers::RegisterContent** reg,
                        std::uint8_t* value, std::string* error) {
    const auto eq = text.rfind('=');
    if (eq == std::string::npos || eq == 0) {
        *error = "--write takes NAME=0xVV or 0xADDR=0xVV, not '" + text + "'";
        return false;
    }
    const std::string v = text.substr(eq + 1);
    const auto* found = knownRegister(text.substr(0, eq), error);
    if (!found) return false;
    unsigned byte = 0;
    const bool hex = v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
    const char* begin = v.data() + (hex ? 2 : 0);
    const char* end = v.data() + v.size();
    auto [p, ec] = std::from_chars(begin, end, byte, hex ? 16 : 10);
    if (v.empty() || ec != std::errc() || p != end || byte > 0xFF) {
        *error = "--write wants a byte value such as 0x5A, not '" + v + "'";
        return false;
    }
    *reg = found;
    *value = static_cast<std::uint8_t>(byte);
    return true;
}

CommandOption parseCommandOption(const std::string& command, const std::string& arg,
                                 CommandOptions& o, std::string* error) {
    std::string v;
    auto only = [&](const char* owner) -> bool {
        if (command == owner) return true;
        *error = "'" + arg + "' is an option of 'vesperbox " + owner + "'";
        return false;
    };
    if (sim::optionValue(arg, "--seconds=", &v)) {
        if (!only("check")) return CommandOption::Malformed;
        int n = 0;
        if (!sim::parseDecimal(v, &n) || n < 1 || n > 3600)
            return malformed(error, "--seconds takes whole seconds from 1 to 3600, not '" + v + "'");
        o.seconds = n;
        return CommandOption::Accepted;
    }
    if (sim::optionValue(arg, "--min-mbit=", &v)) {
        if (!only("check")) return CommandOption::Malformed;
        char* end = nullptr;
        const double rate = v.empty() ? -1 : std::strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0' || !(rate >= 0 && rate <= 1000))
            return malformed(error, "--min-mbit takes a rate in Mbit/s from 0 to 1000, not '" + v + "'");
        o.minMegabits = rate;
        return CommandOption::Accepted;
    }
    struct FileOption {
        const char* name;
        const char* owner;
        std::string* target;
    };
    const FileOption files[] = {{"--report", "check", &o.report},
                                {"--junit", "check", &o.junit},
                                {"--dump-registers", "check", &o.dumpRegisters},
                                {"--dump", "regs", &o.dump}};
    for (const FileOption& f : files) {
        if (!sim::optionValue(arg, std::string(f.name) + "=", &v)) continue;
        if (!only(f.owner)) return CommandOption::Malformed;
        if (v.empty()) return malformed(error, std::string(f.name) + " wants a file name");
        *f.target = v;
        return CommandOption::Accepted;
    }
    if (sim::optionValue(arg, "--read=", &v)) {
        if (!only("regs")) return CommandOption::Malformed;
        o.reg = knownRegister(v, error);
        if (!o.reg) return CommandOption::Malformed;
        o.read = v;
        return CommandOption::Accepted;
    }
    if (sim::optionValue(arg, "--write=", &v)) {
        if (!only("regs")) return CommandOption::Malformed;
        if (!parseRegisterWrite(v, &o.reg, &o.writeValue, error)) return CommandOption::Malformed;
        o.write = v;
        return CommandOption::Accepted;
    }
    if (arg == "--verbose" || arg == "-v") {
        if (command.empty()) {
            *error = "'" + arg + "' is an option of 'vesperbox check' and 'vesperbox regs'";
            return CommandOption::Malformed;
        }
        o.verbose = true;
        return CommandOption::Accepted;
    }
    return CommandOption::NotMine;
}

bool checkCommandOptions(const std::string& command, const CommandOptions& o, std::string* error) {
    if (command != "regs") return true;
    const int chosen = !o.dump.empty() + !o.read.empty() + !o.write.empty();
    if (chosen != 1) {
        *error = "'vesperbox regs' takes one of --dump=FILE.csv, --read=REG and --write=REG=0xVV";
        return false;
    }
    return true;
}

std::string commandOptionsHelp() {
    return "\n"
           "Checking a board without the window (exit status 0 pass, 1 fail, 2 usage):\n"
           "  check                  devices, channels, I2C set-up, which NIM is fitted,\n"
           "                         its link test and tuner set-up, then the transport\n"
           "                         stream; one line per step, then the verdict\n"
           "  --seconds=N            check: stream for N seconds (5)\n"
           "  --min-mbit=R           check: a stream slower than R Mbit/s fails (any data)\n"
           "  --report=FILE.json     check: write the result as JSON\n"
           "                         (docs/check-report.schema.json)\n"
           "  --junit=FILE.xml       check: write the result as JUnit XML\n"
           "  --dump-registers=FILE.csv\n"
           "                         check: after the link test, write the default image\n"
           "                         again and read every STV0903 register into FILE\n"
           "  regs --dump=FILE.csv   after the set-up, every STV0903 register: name,\n"
           "                         address, value, the default image's value, differs\n"
           "  regs --read=REG        one register, by catalogue name (MID) or address\n"
           "                         (0xF100)\n"
           "  regs --write=REG=0xVV  write one register of the catalogue\n"
           "  --verbose              check, regs: also print the log lines on standard error\n";
}

}  // namespace app
