#include "app/options.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "app/board_options.h"
#include "platform/output_file.h"
#include "sim/option_text.h"

namespace app {

namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

template <std::size_t N>
std::string joined(const std::array<const char*, N>& names) {
    std::string text;
    for (const char* name : names) text += std::string(text.empty() ? "" : ", ") + name;
    return text;
}

// The D2XX calls the simulated board can be told to fail. All but
// FT_CreateDeviceInfoList concern one device or the channel of a handle.
constexpr std::array<const char*, 16> D2xxCalls{
    "FT_ListDevices", "FT_Open",           "FT_Close",          "FT_Read",
    "FT_Write",       "FT_ResetDevice",    "FT_Purge",          "FT_SetTimeouts",
    "FT_GetQueueStatus", "FT_StopInTask",  "FT_RestartInTask",  "FT_CreateDeviceInfoList",
    "FT_GetDeviceInfoDetail", "FT_SetLatencyTimer", "FT_SetBitMode", "FT_SetUSBParameters"};
constexpr std::uint32_t LastD2xxStatus = usb::FT_OTHER_ERROR;

// A fault that could never fire is a mistake on the command line: the call
// must exist, the program only ever addresses devices 0 and 1, and only the
// devices the board has.
bool checkFault(const std::string& text, const sim::CallFault& fault, std::uint32_t devices,
                std::string* error) {
    if (std::find(D2xxCalls.begin(), D2xxCalls.end(), fault.call) == D2xxCalls.end()) {
        *error = "--fail=" + text + ": no D2XX call '" + fault.call + "'; the calls are " +
                 joined(D2xxCalls);
        return false;
    }
    if (fault.index) {
        if (fault.call == "FT_CreateDeviceInfoList") {
            *error = "--fail=" + text + ": FT_CreateDeviceInfoList concerns no device; drop ':" +
                     std::to_string(*fault.index) + "'";
            return false;
        }
        const int highest = static_cast<int>(std::min<std::uint32_t>(devices, 2)) - 1;
        if (*fault.index > highest) {
            *error = "--fail=" + text + ": INDEX is the device, 0 (I2C) or 1 (TS), and below --devices (" +
                     std::to_string(devices) + "), not " + std::to_string(*fault.index);
            return false;
        }
    }
    if (fault.status == 0 || fault.status > LastD2xxStatus) {
        *error = "--fail=" + text + ": STATUS is a D2XX failure code from 1 to 17";
        return false;
    }
    return true;
}

// Options of Qt's own (QGuiApplication, QApplication) that QApplication takes
// out of the command line itself; the first group takes a value.
constexpr std::array<const char*, 12> QtOptionsWithValue{
    "platform", "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry", "qwindowicon",
    "qwindowtitle", "session", "display", "geometry", "style", "stylesheet"};
constexpr std::array<const char*, 6> QtFlags{"reverse", "widgetcount", "nograb",
                                             "dograb",  "sync",        "testability"};

// 0 when arg is not one of Qt's options, else the number of arguments it
// takes up (the option and its value); -1 when its value is missing.
int qtOptionLength(const std::string& arg, bool hasNext) {
    if (arg.size() < 2 || arg[0] != '-') return 0;
    // Qt takes its options with one dash or two.
    std::string name = arg.substr(arg[1] == '-' ? 2 : 1);
    const auto eq = name.find('=');
    const bool inlineValue = eq != std::string::npos;
    if (inlineValue) name.resize(eq);
    if (name == "qmljsdebugger" && inlineValue) return 1;
    if (std::find(QtOptionsWithValue.begin(), QtOptionsWithValue.end(), name) != QtOptionsWithValue.end()) {
        if (inlineValue) return 1;
        return hasNext ? 2 : -1;
    }
    if (!inlineValue && std::find(QtFlags.begin(), QtFlags.end(), name) != QtFlags.end()) return 1;
    return 0;
}

// Controls a step of --do may name, as the window calls them.
constexpr std::array<const char*, 14> StepControls{
    "BtnOpenA", "BtnCloseA", "BtnOpenB",   "BtnCloseB", "TestI2CBtn", "TestSharpBtn", "TestEardaBtn",
    "BtnRefresh", "BtnQuit", "GetTSBtn", "RecordOnOff", "UDPOnOff", "Exit1", "About1"};

bool checkSteps(const std::vector<std::string>& steps, std::string* error) {
    for (const std::string& step : steps) {
        if (step.rfind("wait", 0) == 0 && (step.size() == 4 || step[4] == ' ' ||
                                           (step[4] >= '0' && step[4] <= '9'))) {
            int ms = 0;
            if (!parseWaitStep(step, &ms)) {
                *error = "--do step '" + step + "': wait takes milliseconds in decimal, e.g. 'wait 500'";
                return false;
            }
            continue;
        }
        if (step == "close") continue;  // the window's close box
        if (std::find(StepControls.begin(), StepControls.end(), step) == StepControls.end()) {
            *error = "--do step '" + step + "': no control of that name; a step is 'wait MS', 'close' or one of " +
                     joined(StepControls);
            return false;
        }
    }
    return true;
}

// Whether a file can be written at path, without leaving a new one behind
// or waiting on a FIFO.
bool checkWritable(const char* what, const std::string& path, std::string* error) {
    std::string reason;
    if (platform::checkOutputPath(path, &reason)) return true;
    *error = std::string("cannot write the ") + what + " to '" + path + "': " + reason;
    return false;
}

}  // namespace

bool parseWaitStep(const std::string& step, int* ms) {
    if (step.rfind("wait", 0) != 0) return false;
    const auto digits = step.find_first_not_of(' ', 4);
    if (digits == std::string::npos) return false;
    const char* begin = step.data() + digits;
    const char* end = step.data() + step.size();
    if (*begin < '0' || *begin > '9') return false;
    auto [p, ec] = std::from_chars(begin, end, *ms);
    return ec == std::errc() && p == end;
}

bool checkOutputFiles(const Options& o, std::string* error) {
    if (!o.screenshot.empty() && !checkWritable("screenshot", o.screenshot, error)) return false;
    for (const std::string& arg : o.boardOptions) {
        std::string path;
        if (sim::optionValue(arg, "--i2c-trace=", &path) && !checkWritable("I2C trace", path, error))
            return false;
    }
    // A check that streams for minutes should not find out at the end that
    // its report has nowhere to go.
    const CommandOptions& c = o.commandOptions;
    const std::pair<const char*, const std::string*> outputs[] = {
        {"report", &c.report}, {"JUnit report", &c.junit}, {"register dump", &c.dumpRegisters},
        {"register dump", &c.dump}};
    for (const auto& [what, path] : outputs)
        if (!path->empty() && !checkWritable(what, *path, error)) return false;
    return true;
}

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
    std::vector<std::string> faultTexts;
    int first = 1;
    if (argc > 1 && isCommand(argv[1])) {
        o.command = argv[1];
        first = 2;
    }
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string v;
        if (const CommandOption c = parseCommandOption(o.command, arg, o.commandOptions, error);
            c != CommandOption::NotMine) {
            if (c == CommandOption::Malformed) return false;
        } else if (const int qt = qtOptionLength(arg, i + 1 < argc); qt != 0) {
            // Qt's own: QApplication reads it from the same command line.
            if (qt < 0) {
                *error = "Qt's option '" + arg + "' wants a value";
                return false;
            }
            i += qt - 1;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--simulate") {
            o.simulate = true;
        } else if (sim::optionValue(arg, "--board=", &v)) {
            if (v.empty() || v.size() > 15) {
                *error = "--board takes the board's serial number, e.g. --board=VB2232H1, not '" + v + "'";
                return false;
            }
            o.board = v;
        } else if (sim::optionValue(arg, "--boards=", &v)) {
            std::uint32_t n = 0;
            if (!sim::parseDecimal(v, &n) || n < 1 || n > 4) {
                *error = "--boards takes a count from 1 to 4, not '" + v + "'";
                return false;
            }
            o.boards = n;
        } else if (arg == "--list-boards") {
            o.listBoards = true;
        } else if (sim::optionValue(arg, "--devices=", &v)) {
            std::uint32_t n = 0;
            if (!sim::parseDecimal(v, &n) || n > 3) {
                *error = "--devices takes a count from 0 to 3, not '" + v + "'";
                return false;
            }
            o.devices = n;
        } else if (sim::optionValue(arg, "--fail=", &v)) {
            const auto fault = sim::parseCallFault(v);
            if (!fault) {
                *error = "--fail takes CALL[:INDEX]=STATUS[@N], e.g. FT_Open:1=2, not '" + v + "'";
                return false;
            }
            o.fails.push_back(*fault);
            faultTexts.push_back(v);
        } else if (arg == "--do" || sim::optionValue(arg, "--do=", &v)) {
            if (arg == "--do") {
                if (i + 1 >= argc) {
                    *error = "--do wants a list of steps, e.g. --do \"BtnOpenB,wait 500,Exit1\"";
                    return false;
                }
                v = argv[++i];
            }
            const auto steps = splitSteps(v);
            if (steps.empty()) {
                *error = "--do got no steps; give at least one, e.g. --do Exit1";
                return false;
            }
            if (!checkSteps(steps, error)) return false;
            o.steps.insert(o.steps.end(), steps.begin(), steps.end());
        } else if (sim::optionValue(arg, "--screenshot=", &v)) {
            if (v.empty()) {
                *error = "--screenshot wants a file name, e.g. --screenshot=window.png";
                return false;
            }
            o.screenshot = v;
        } else if (arg == "--show-serial-settings") {
            o.showSerialSettings = true;
        } else if (sim::optionValue(arg, "--d2xx-trace=", &v)) {
            if (v.empty()) {
                *error = "--d2xx-trace wants a file name";
                return false;
            }
            o.d2xxTrace = v;
        } else if (sim::optionValue(arg, "--backend=", &v)) {
            if (v != "libftdi" && v != "d2xx") {
                *error = "--backend is libftdi or d2xx, not '" + v + "'";
                return false;
            }
            o.backend = v;
        } else if (sim::optionValue(arg, "--udp=", &v)) {
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
    for (std::size_t k = 0; k < o.fails.size(); ++k)
        if (!checkFault(faultTexts[k], o.fails[k], o.devices, error)) return false;
    if (!checkBoardOptionsTogether(o.boardOptions, error)) return false;
    if (!o.simulate && !o.boardOptions.empty()) {
        *error = "'" + o.boardOptions.front() + "' acts on the simulated board; add --simulate";
        return false;
    }
    if (!o.simulate && o.boards != 1) {
        *error = "--boards acts on the simulated board; add --simulate";
        return false;
    }
    // The monitor's window takes a screenshot too.
    const bool signalWindow = o.command == "monitor" && o.commandOptions.window;
    if (!o.command.empty() && (!o.steps.empty() || (!o.screenshot.empty() && !signalWindow) || o.showSerialSettings)) {
        *error = "--do, --screenshot and --show-serial-settings act on the window, not on '" + o.command + "'" +
                 (o.command == "monitor" ? " (monitor --window takes --screenshot)" : "");
        return false;
    }
    return checkCommandOptions(o.command, o.commandOptions, error);
}

std::string helpText() {
    return "Usage: vesperbox [OPTION]...\n"
           "       vesperbox check [OPTION]...\n"
           "       vesperbox monitor [OPTION]...\n"
           "       vesperbox regs (--dump=FILE.csv | --read=REG | --write=REG=0xVV) [OPTION]...\n"
           "       vesperbox --list-boards [OPTION]...\n"
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
           "  --board=SERIAL         with several boards plugged in, use only the one whose\n"
           "                         channels are SERIAL\"A\" and SERIAL\"B\" (e.g. VB2232H1)\n"
           "  --boards=N             simulate N boards on the bus, 1 to 4 (1), with serials\n"
           "                         VB2232H1, VB2232H2, ..., all fitted and faulted alike;\n"
           "                         --i2c-trace records the --board one (else the first)\n"
           "  --list-boards          print the serial numbers of the boards present and end\n"
           "  --fail=CALL[:INDEX]=STATUS[@N]\n"
           "                         simulated board: the D2XX call CALL (on device or\n"
           "                         channel INDEX) returns STATUS, from its N-th call on;\n"
           "                         e.g. --fail=FT_Open:1=2, --fail=FT_GetQueueStatus:1=4@50;\n"
           "                         CALL is one of the 16 D2XX calls, INDEX 0 (I2C) or\n"
           "                         1 (TS), STATUS a D2XX failure code from 1 to 17\n" +
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
           "                         'wait MS' pauses; 'close' closes the main window as\n"
           "                         its close box does. Every step is checked before the\n"
           "                         window opens. Dialogs are printed to standard\n"
           "                         error as 'dialog: TEXT' instead of waiting for OK.\n"
           "  --screenshot=FILE      save a PNG of the main window when the program ends\n"
           "                         (FILE must be writable when the program starts)\n"
           "  --show-serial-settings open the serial settings dialog (the screenshot then\n"
           "                         shows it)\n"
           "\n"
           "Program:\n"
           "  --version              print the versions of vesperbox, Qt and libftdi1\n"
           "  --help                 print this help\n"
           "\n"
           "Numbers are decimal. Qt's own options (-platform NAME, -style NAME, ...) are\n"
           "passed to Qt. Every line added to the log is also written to standard output.\n"
           "\n"
           "Exit status: 0 when the window was closed (Ctrl+C, SIGTERM and SIGHUP close\n"
           "it too), 1 when the board could not be set up (no backend, unreadable stream\n"
           "file), there is no display or the D2XX trace could not be written, 2 for a\n"
           "wrong command line. check and regs end with 130 on Ctrl+C, 143 on SIGTERM\n"
           "and 129 on SIGHUP.\n"
           "\n"
           "Without a board, scripts/virtual-board.sh [OPTION]... runs this program through\n"
           "the libftdi backend on a virtual FT2232H on USB, with the simulated chips above\n"
           "behind it.\n" +
           commandOptionsHelp();
}

}  // namespace app
