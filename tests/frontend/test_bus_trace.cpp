// The tuner programming as a logic analyser sees it: the simulated board's
// bus trace of an STB6100 set-up, decoded by sigrok-cli.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "frontend/tuners.h"
#include "i2c/i2c_master.h"
#include "sim/channel_a.h"
#include "sim/ft2232h_board.h"
#include "support/test_support.h"
#include "usb/channel_layer.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// sigrok's "addr-data" rows, without the decoder prefix.
std::vector<std::string> decode(const fs::path& vcd) {
    const fs::path out = vcd.string() + ".txt";
    const std::string cmd = "sigrok-cli -I vcd -i '" + vcd.string() +
                            "' -P i2c:scl=SCL:sda=SDA -A i2c=addr-data > '" + out.string() + "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << slurp(out);
    std::vector<std::string> rows;
    std::istringstream in(slurp(out));
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) rows.push_back(line.substr(colon + 2));
    }
    fs::remove(out);
    return rows;
}

// One transaction per entry: its address and data rows joined by blanks.
std::vector<std::string> transactions(const std::vector<std::string>& rows) {
    std::vector<std::string> out;
    std::string current;
    for (const std::string& r : rows) {
        if (r == "Start" || r == "Start repeat") {
            if (!current.empty()) out.push_back(current);
            current.clear();
        } else if (r == "Stop") {
            out.push_back(current);
            current.clear();
        } else if (r.rfind("Address write: ", 0) == 0 || r.rfind("Data write: ", 0) == 0) {
            if (!current.empty()) current.push_back(' ');
            current.append(r, r.find(": ") + 2);
        }
    }
    return out;
}

TEST(TunerTrace, EveryTunerWriteIsFramedByTheRepeaterWrites) {
    if (std::system("command -v sigrok-cli > /dev/null 2>&1") != 0) GTEST_SKIP() << "sigrok-cli not installed";
    const fs::path vcd = fs::temp_directory_path() /
                         ("vesper_tuner_trace_" + std::to_string(::getpid()) + ".vcd");
    {
        testing_support::FakeClock clock;
        clock.stepUsPerReading = 1;  // bounded waits end without real waiting
        clock.stepUsPerTickReading = 1000;
        testing_support::RecordingDialogs dialogs;
        sim::Ft2232hBoard board(clock);
        sim::ChannelAOptions options;
        options.i2cTracePath = vcd.string();
        board.setChannelDevice(0, sim::makeChannelA(options, clock));
        usb::ChannelLayer channels(board, dialogs);
        i2c::I2cMaster master(channels, clock, dialogs);
        channels.Open_USB_Device_A();
        master.ChannelAOpen = true;
        master.ClockDivisor = 149;
        ASSERT_TRUE(master.InitI2CController());
        ASSERT_TRUE(frontend::WriteSTB6100Defaults(master, 0xD4));
    }  // the trace is complete once the board is gone

    // sigrok names 7-bit addresses: 0x6A is the demodulator at 0xD4, 0x60 the tuner.
    const std::vector<std::string> decoded = transactions(decode(vcd));
    fs::remove(vcd);
    std::vector<std::string> expected;
    const char* values[] = {"E1", "5E", "26", "38", "3E", "C0", "DC", "8F", "4D", "EB", "DE"};
    for (int r = 1; r <= 11; ++r) {
        char reg[3];
        std::snprintf(reg, sizeof reg, "%02X", r);
        expected.push_back("6A F1 2A C8");
        expected.push_back(std::string("60 ") + reg + " " + values[r - 1]);
        expected.push_back("6A F1 2A 48");
    }
    EXPECT_EQ(decoded, expected);
}

}  // namespace
