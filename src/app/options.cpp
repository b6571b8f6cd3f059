#include "app/options.h"

#include <charconv>

#include "app/board_options.h"

namespace app {

namespace {

bool startsWith(const std::string& s, const char* prefix, std::string* rest) {
    const std::string p(prefix);
    if (s.rfind(p, 0) != 0) return false;
    *rest = s.substr(p.size());
    return true;
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

std::vector<std::string> splitSteps(const std::string& text) {
    std::vector<std::string> steps;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const std::string step =
            trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!step.empty()) steps.push_back(step);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return steps;
}

bool parseOptions(int argc, char** argv, Options& o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string v;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--simulate") {
            o.simulate = true;
        } else if (startsWith(arg, "--devices=", &v)) {
            std::uint32_t n = 0;
            auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (ec != std::errc() || p != v.data() + v.size() || n > 3) {
                *error = "--devices takes a count from 0 to 3, not '" + v + "'";
                return false;
            }
            o.devices = n;
        } else if (startsWith(arg, "--fail=", &v)) {
            const auto fault = sim::parseCallFault(v);
            if (!fault) {
                *error = "--fail takes CALL[:INDEX]=STATUS[@N], e.g. FT_Open:1=2, not '" + v + "'";
                return false;
            }
            o.fails.push_back(*fault);
        } else if (arg == "--do" && i + 1 < argc) {
            const auto steps = splitSteps(argv[++i]);
            o.steps.insert(o.steps.end(), steps.begin(), steps.end());
        } else if (startsWith(arg, "--do=", &v)) {
            const auto steps = splitSteps(v);
            o.steps.insert(o.steps.end(), steps.begin(), steps.end());
        } else if (startsWith(arg, "--screenshot=", &v) && !v.empty()) {
            o.screenshot = v;
        } else if (arg == "--show-serial-settings") {
            o.showSerialSettings = true;
        } else if (startsWith(arg, "--d2xx-trace=", &v)) {
            if (v.empty()) {
                *error = "--d2xx-trace wants a file name";
                return false;
            }
            o.d2xxTrace = v;
        } else if (startsWith(arg, "--backend=", &v)) {
            if (v != "libftdi" && v != "d2xx") {
                *error = "--backend is libftdi or d2xx, not '" + v + "'";
                return false;
            }
            o.backend = v;
        } else if (startsWith(arg, "--udp=", &v)) {
            const auto destination = console::parseUdpDestination(v);
            if (!destination) {
                *error = "--udp takes HOST:PORT with an IPv4 address, e.g. 127.0.0.1:1234, not '" +
                         v + "'";
                return false;
            }
            o.udp = *destination;
        } else if (const BoardOption b = checkBoardOption(arg, error); b != BoardOption::NotMine) {
            if (b == BoardOption::Malformed) return false;
            o.boardOptions.push_back(arg);
        } else {
            *error = "unknown option '" + arg + "'";
            return false;
        }
    }
    if (!o.simulate && !o.boardOptions.empty()) {
        *error = "'" + o.boardOptions.front() + "' acts on the simulated board; add --simulate";
        return false;
    }
    return true;
}

std::string helpText() {
    return "Usage: vesperbox [OPTION]...\n"
           "Bench tool for the satellite receiver board: I2C link test of the demodulator,\n"
           "tuner set-up, transport stream to a UDP player and to recordings.\n"
           "\n"
           "Board:\n"
           "  --simulate             use the simulated bench board instead of USB hardware\n"
           "  --backend=NAME         real hardware through libftdi (default) or d2xx, the\n"
           "                         vendor's libftd2xx.so if it is installed\n"
           "  --d2xx-trace=FILE      write every D2XX call (arguments, status, byte counts,\n"
           "                         first bytes written and read, time in microseconds)\n"
           "                         to FILE, at most 64 MB; with any board\n"
           "  --devices=N            simulated board: number of D2XX devices, 0 to 3 (2)\n"
           "  --fail=CALL[:INDEX]=STATUS[@N]\n"
           "                         simulated board: the D2XX call CALL (on device or\n"
           "                         channel INDEX) returns STATUS, from its N-th call on;\n"
           "                         e.g. --fail=FT_Open:1=2, --fail=FT_GetQueueStatus:1=4@50\n" +
           boardOptionsHelp() +
           "\n"
           "Stream:\n"
           "  --udp=HOST:PORT        where the UDP output sends the stream (127.0.0.1:1234);\n"
           "                         a loopback destination is sent to from 127.0.0.1\n"
           "\n"
           "Unattended run:\n"
           "  --do \"STEP,STEP,...\"    after start-up, perform the steps about 100 ms apart:\n"
           "                         a control's name clicks it as the operator would\n"
           "                         (BtnOpenA, BtnCloseA, BtnOpenB, BtnCloseB, TestI2CBtn,\n"
           "                         TestSharpBtn, TestEardaBtn, BtnRefresh, BtnQuit,\n"
           "                         GetTSBtn, RecordOnOff, UDPOnOff, Exit1, About1);\n"
           "                         'wait MS' pauses. Dialogs are printed to standard\n"
           "                         error as 'dialog: TEXT' instead of waiting for OK.\n"
           "  --screenshot=FILE      save a PNG of the main window when the program ends\n"
           "  --show-serial-settings open the serial settings dialog (the screenshot then\n"
           "                         shows it)\n"
           "\n"
           "Every line added to the log is also written to standard output.\n"
           "\n"
           "Without a board, scripts/virtual-board.sh [OPTION]... runs this program through\n"
           "the libftdi backend on a virtual FT2232H on USB, with the simulated chips above\n"
           "behind it.\n";
}

}  // namespace app
