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

bool isCommand(const std::string& word) { return word == "check" || word == "regs" || word == "monitor"; }

namespace {

// A decimal number (with a fraction, an exponent or a sign) in [min, max].
bool parseNumber(const std::string& v, double min, double max, double* out) {
    if (v.empty()) return false;
    char* end = nullptr;
    const double n = std::strtod(v.c_str(), &end);
    if (*end != '\0' || !(n >= min && n <= max)) return false;
    *out = n;
    return true;
}

}  // namespace

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
    // The commands an option belongs to, e.g. "check" or "check|monitor".
    auto only = [&](const std::string& owners) -> bool {
        std::string rest = owners;
        std::string names;
        for (std::size_t bar; !rest.empty(); rest = bar == std::string::npos ? "" : rest.substr(bar + 1)) {
            bar = rest.find('|');
            const std::string owner = rest.substr(0, bar);
            if (command == owner) return true;
            names += (names.empty() ? "'vesperbox " : (bar == std::string::npos ? " and 'vesperbox " : ", 'vesperbox ")) +
                     owner + "'";
        }
        *error = "'" + arg + "' is an option of " + names;
        return false;
    };
    if (sim::optionValue(arg, "--seconds=", &v)) {
        if (!only("check|monitor")) return CommandOption::Malformed;
        int n = 0;
        if (!sim::parseDecimal(v, &n) || n < 1 || n > 86400 || (command == "check" && n > 3600))
            return malformed(error, "--seconds takes whole seconds from 1 to " +
                                        std::string(command == "check" ? "3600" : "86400") + ", not '" + v + "'");
        o.seconds = n;
        o.secondsGiven = true;
        return CommandOption::Accepted;
    }
    if (sim::optionValue(arg, "--min-mbit=", &v)) {
        if (!only("check")) return CommandOption::Malformed;
        if (!parseNumber(v, 0, 1000, &o.minMegabits))
            return malformed(error, "--min-mbit takes a rate in Mbit/s from 0 to 1000, not '" + v + "'");
        return CommandOption::Accepted;
    }
    if (sim::optionValue(arg, "--lock-timeout=", &v)) {
        if (!only("check")) return CommandOption::Malformed;
        int ms = 0;
        if (!sim::parseDecimal(v, &ms) || ms < 0 || ms > 60000)
            return malformed(error, "--lock-timeout takes milliseconds from 0 to 60000, not '" + v + "'");
        o.lockTimeoutMs = static_cast<std::uint32_t>(ms);
        return CommandOption::Accepted;
    }
    struct Limit {
        const char* name;
        double min, max;
        std::optional<double>* target;
        const char* what;
    };
    const Limit limits[] = {{"--min-cn", -10, 60, &o.minCn, "a C/N in dB from -10 to 60"},
                            {"--min-level", -120, 20, &o.minLevel, "a level in dBm from -120 to 20"},
                            {"--max-ber", 0, 1, &o.maxBer, "an error rate from 0 to 1, such as 1e-6"}};
    for (const Limit& l : limits) {
        if (!sim::optionValue(arg, std::string(l.name) + "=", &v)) continue;
        if (!only("check")) return CommandOption::Malformed;
        double n = 0;
        if (!parseNumber(v, l.min, l.max, &n))
            return malformed(error, std::string(l.name) + " takes " + l.what + ", not '" + v + "'");
        *l.target = n;
        return CommandOption::Accepted;
    }
    if (sim::optionValue(arg, "--interval=", &v)) {
        if (!only("monitor")) return CommandOption::Malformed;
        int ms = 0;
        if (!sim::parseDecimal(v, &ms) || ms < 50 || ms > 60000)
            return malformed(error, "--interval takes milliseconds from 50 to 60000, not '" + v + "'");
        o.intervalMs = ms;
        return CommandOption::Accepted;
    }
    for (const auto& [flag, target] : {std::pair{"--json", &o.json}, std::pair{"--init", &o.init},
                                       std::pair{"--window", &o.window}}) {
        if (arg != flag) continue;
        if (!only("monitor")) return CommandOption::Malformed;
        *target = true;
        return CommandOption::Accepted;
    }
    if (sim::optionValue(arg, "--i2c=", &v)) {
        if (!only("check|regs|monitor")) return CommandOption::Malformed;
        if (v != "byte" && v != "queued")
            return malformed(error, "--i2c takes byte (the window's byte-by-byte master) or queued (the default), not '" +
                                        v + "'");
        o.byteEngine = v == "byte";
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
            *error = "'" + arg + "' is an option of 'vesperbox check', 'vesperbox regs' and 'vesperbox monitor'";
            return CommandOption::Malformed;
        }
        o.verbose = true;
        return CommandOption::Accepted;
    }
    return CommandOption::NotMine;
}

bool checkCommandOptions(const std::string& command, const CommandOptions& o, std::string* error) {
    if (command == "monitor") {
        if (o.json && o.window) {
            *error = "'vesperbox monitor' writes JSON lines or shows the window, not both";
            return false;
        }
        if (o.secondsGiven && o.seconds * 1000 < o.intervalMs) {
            *error = "--seconds is shorter than one --interval: no reading would be made";
            return false;
        }
        return true;
    }
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
           "                         its link test and tuner set-up, the demodulator's\n"
           "                         signal, then the transport stream; one line per step,\n"
           "                         then the verdict\n"
           "  --seconds=N            check: stream for N seconds (5)\n"
           "  --min-mbit=R           check: a stream slower than R Mbit/s fails (any data)\n"
           "  --lock-timeout=MS      check: the demodulator must lock within MS (2000)\n"
           "  --min-cn=DB            check: a C/N below DB dB fails\n"
           "  --min-level=DBM        check: an RF level below DBM dBm fails\n"
           "  --max-ber=X            check: a bit (DVB-S) or packet (DVB-S2) error rate\n"
           "                         above X fails\n"
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
           "  monitor                the demodulator's signal, live: lock, system, RF\n"
           "                         level, C/N, error rate, carrier offset, symbol rate\n"
           "                         and TS bit rate, one line per reading, then a summary;\n"
           "                         exit 0 when locked throughout, 1 when not\n"
           "  --interval=MS          monitor: one reading every MS (1000)\n"
           "  --seconds=N            monitor: stop after N seconds (default: at Ctrl+C)\n"
           "  --json                 monitor: JSON lines instead of text\n"
           "  --init                 monitor: write the default image and the tuner table\n"
           "                         first, as the link test does\n"
           "  --window               monitor: the signal window: lock lamps, level and C/N,\n"
           "                         a strip chart and the live constellation\n"
           "  --i2c=byte|queued      check, regs, monitor: the register engine: queued\n"
           "                         (default) sends many transactions per USB round trip;\n"
           "                         byte waits for each byte's acknowledge, as the window\n"
           "                         does\n"
           "  --verbose              check, regs, monitor: also print the log lines on\n"
           "                         standard error\n";
}

}  // namespace app
