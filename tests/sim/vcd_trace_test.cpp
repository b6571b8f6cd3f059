#include "sim/vcd_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "host_stream.h"
#include "sim/channel_a.h"

namespace {

namespace fs = std::filesystem;

fs::path tempTrace(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / "vesper_sim_tests";
    fs::create_directories(dir);
    const fs::path p = dir / (name + "_" + std::to_string(::getpid()) + ".vcd");
    fs::remove(p);
    return p;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One register write (0x5A to 0xF536) and its read-back, traced.
fs::path traceWriteAndRead(const std::string& name) {
    const fs::path path = tempTrace(name);
    simtest::ManualClock clock;
    sim::ChannelAOptions o;
    o.i2cTracePath = path.string();
    {
        auto channel = sim::makeChannelA(o, clock);
        simtest::Host host(*channel);
        host.init();
        EXPECT_TRUE(host.writeRegister(0xD4, 0xF536, 0x5A));
        std::uint8_t v = 0;
        EXPECT_TRUE(host.readRegister(0xD4, 0xF536, &v));
        EXPECT_EQ(v, 0x5A);
    }  // the board goes away: the trace must be complete now
    return path;
}

TEST(VcdWriter, WritesAHeaderAndOnlyRealChangesInTimeOrder) {
    const fs::path path = tempTrace("writer");
    {
        sim::VcdWriter w(path.string());
        ASSERT_TRUE(w.isOpen());
        w.change(1000, false, true);
        w.change(1005, false, false);  // the same 10 ns step: no second time stamp
        w.change(1500, false, false);  // no change: nothing written
        w.change(900, true, false);    // a late caller does not move time backwards
        w.change(2000, true, true);
        w.contention(2000, true);
        w.contention(2010, true);  // already on: nothing written
        w.contention(2500, false);
    }  // closing adds a last time stamp
    const std::string text = slurp(path);
    fs::remove(path);
    EXPECT_NE(text.find("$timescale 10 ns $end"), std::string::npos);
    EXPECT_NE(text.find("$var wire 1 ! SCL $end"), std::string::npos);
    EXPECT_NE(text.find("$var wire 1 \" SDA $end"), std::string::npos);
    EXPECT_NE(text.find("$var wire 1 % CONTENTION $end"), std::string::npos);
    const auto body = text.substr(text.find("$enddefinitions $end"));
    EXPECT_NE(body.find("#0\n$dumpvars\n1!\n1\"\n0%\n$end\n#100\n0!\n0\"\n1!\n#200\n1\"\n1%\n#250\n0%\n#350\n"),
              std::string::npos)
        << body;
}

TEST(VcdTrace, BusTraceHas200kHzTimingAndIsCompleteWhenTheBoardGoes) {
    const fs::path path = traceWriteAndRead("timing");
    const std::string text = slurp(path);
    fs::remove(path);
    std::istringstream in(text.substr(text.find("$enddefinitions")));
    std::string line;
    std::uint64_t t = 0;
    std::vector<std::uint64_t> rises;
    bool scl = true, sda = true;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] == '#') t = std::stoull(line.substr(1));
        else if (line == "1!") { rises.push_back(t); scl = true; }
        else if (line == "0!") scl = false;
        else if (line == "1\"") sda = true;
        else if (line == "0\"") sda = false;
    }
    EXPECT_TRUE(scl && sda);  // ends with the bus released after the read's stop
    ASSERT_GT(rises.size(), 50u);
    // Within the first byte (the address) the clock rises every 5 us.
    std::size_t fiveUs = 0;
    for (std::size_t i = 1; i < rises.size(); ++i) fiveUs += rises[i] - rises[i - 1] == 500;  // 10 ns units
    EXPECT_GT(fiveUs, rises.size() / 2);
}

std::vector<std::string> sigrokDecode(const fs::path& vcd) {
    const fs::path out = vcd.string() + ".txt";
    const std::string cmd = "sigrok-cli -I vcd -i '" + vcd.string() +
                            "' -P i2c:scl=SCL:sda=SDA -A i2c=addr-data > '" + out.string() + "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << slurp(out);
    std::vector<std::string> lines;
    std::istringstream in(slurp(out));
    fs::remove(out);
    fs::remove(vcd);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) lines.push_back(line.substr(colon + 2));
    }
    return lines;
}

TEST(VcdTrace, SigrokDecodesTheRegisterWriteAndRead) {
    if (std::system("command -v sigrok-cli > /dev/null 2>&1") != 0) GTEST_SKIP() << "sigrok-cli not installed";
    const auto lines = sigrokDecode(traceWriteAndRead("sigrok"));
    // The read clocks no acknowledge of its own, but the stop that follows
    // pulls SDA low before raising SCL, which is an acknowledge on the wire.
    const std::vector<std::string> expected = {
        "Start", "Write", "Address write: 6A", "ACK", "Data write: F5", "ACK", "Data write: 36", "ACK",
        "Data write: 5A", "ACK", "Stop",
        "Start", "Write", "Address write: 6A", "ACK", "Data write: F5", "ACK", "Data write: 36", "ACK",
        "Start repeat", "Read", "Address read: 6A", "ACK", "Data read: 5A", "ACK", "Stop"};
    EXPECT_EQ(lines, expected);
}

}  // namespace
