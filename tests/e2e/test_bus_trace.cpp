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
#include "support/sigrok_decode.h"
#include "support/simulated_channel_a.h"

namespace {

namespace fs = std::filesystem;


std::vector<std::string> decode(const fs::path& vcd) { return testing_support::decodeI2c(vcd); }

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
    if (!testing_support::sigrokInstalled()) GTEST_SKIP() << "sigrok-cli not installed";
    const fs::path vcd = fs::temp_directory_path() /
                         ("vesper_tuner_trace_" + std::to_string(::getpid()) + ".vcd");
    {
        sim::ChannelAOptions options;
        options.i2cTracePath = vcd.string();
        testing_support::I2cRig rig(options);
        ASSERT_TRUE(rig.setUp);
        ASSERT_TRUE(frontend::WriteSTB6100Defaults(rig.master, 0xD4));
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


// Lost acknowledges on the demodulator: the bytes a retry sends start a new
// transaction, so no transaction on the wire holds a byte twice and no
// register takes a resent byte as its value.
TEST(NackTrace, RetriesStartOverAndNoTransactionCarriesAByteTwice) {
    if (!testing_support::sigrokInstalled()) GTEST_SKIP() << "sigrok-cli not installed";
    const fs::path vcd = fs::temp_directory_path() /
                         ("vesper_nack_trace_" + std::to_string(::getpid()) + ".vcd");
    int wrongReads = 0;
    {
        sim::ChannelAOptions options;
        options.i2cTracePath = vcd.string();
        options.faults.nackRate = 0.05;
        options.seed = 3;
        testing_support::I2cRig rig(options);
        sim::ChannelA* channel = rig.channelA;
        i2c::I2cMaster& master = rig.master;
        ASSERT_TRUE(rig.setUp);
        for (int v = 0; v < 120; ++v) {
            const auto value = static_cast<std::uint8_t>(v * 37);
            ASSERT_TRUE(master.I2C_WriteRegister(0xD4, 0xF536, value));
            EXPECT_EQ(channel->demodulator()->peek(0xF536), value) << v;
            std::uint8_t got = 0;
            ASSERT_TRUE(master.I2C_ReadRegister(0xD4, 0xF536, got));
            wrongReads += got != value;
        }
    }
    EXPECT_EQ(wrongReads, 0);

    const std::vector<std::string> decoded = transactions(decode(vcd));
    fs::remove(vcd);
    int retries = 0;
    int current = -1;  // index of the value being written
    for (const std::string& t : decoded) {
        if (t.size() == 11) {
            // A whole write: the value of this write again (its acknowledge
            // was lost) or of the next one, never a resent register byte.
            EXPECT_EQ(t.substr(0, 9), "6A F5 36 ");
            const int value = std::stoi(t.substr(9), nullptr, 16);
            if (current >= 0 && value == (current * 37) % 256) continue;
            ++current;
            EXPECT_EQ(value, (current * 37) % 256) << "transaction '" << t << "'";
        }
        // The write and the read's register phase are prefixes of one
        // transaction; a read address on its own follows a repeated start.
        const std::string full = "6A F5 36";
        if (t.size() > full.size() + 3 || (t.size() <= full.size() && full.compare(0, t.size(), t) != 0) ||
            (t.size() > full.size() && t.compare(0, full.size() + 1, full + " ") != 0)) {
            ADD_FAILURE() << "transaction '" << t << "'";
        }
        retries += t.size() < full.size() && !t.empty();
    }
    EXPECT_GT(retries, 0) << "no acknowledge was lost: the test proves nothing";
}

}  // namespace
