// The NIM link test on the queued engine as a logic analyser sees it: the
// simulated board's bus trace decoded by sigrok-cli holds the byte-by-byte
// master's transactions, in the same order and with the same data; a
// register read ends with the master's not-acknowledge before its stop,
// where the byte master's stop clocks an acknowledge.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "frontend/link_test.h"
#include "support/link_test_lines.h"
#include "support/queued_channel_a.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// sigrok's "addr-data" rows (start, stop, acknowledges, addresses, data),
// without the decoder prefix.
std::vector<std::string> decode(const fs::path& vcd) {
    const fs::path out = vcd.string() + ".txt";
    // Idle stretches (the byte master's waits, the tuner's settling) are
    // squeezed to 10 us, far longer than any bit, or decoding takes minutes.
    const std::string cmd = "sigrok-cli -I vcd:compress=1000 -i '" + vcd.string() +
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

// The link test with the Eardatek tuner, traced; the decoded rows.
std::vector<std::string> tracedLinkTest(const std::string& name,
                                        const std::function<i2c::RegisterAccess&(testing_support::QueuedRig&)>& engine) {
    const fs::path vcd = fs::temp_directory_path() / ("vesper_" + name + "_" + std::to_string(::getpid()) + ".vcd");
    {
        sim::ChannelAOptions options;
        options.i2cTracePath = vcd.string();
        testing_support::QueuedRig rig(options);
        EXPECT_TRUE(rig.setUp);
        testing_support::LinkTestLines lines;
        const frontend::LinkTestReport result = frontend::LinkTest(engine(rig), lines).TestEarda();
        EXPECT_EQ(result.errors, 0) << name;
        EXPECT_TRUE(result.tuner && result.tuner->ok()) << name;
    }  // the trace is complete once the board is gone
    std::vector<std::string> rows = decode(vcd);
    fs::remove(vcd);
    return rows;
}

TEST(QueuedTrace, LinkTestDecodesToTheByteMastersTransactions) {
    if (std::system("command -v sigrok-cli > /dev/null 2>&1") != 0) GTEST_SKIP() << "sigrok-cli not installed";
    const std::vector<std::string> byte =
        tracedLinkTest("byte_link", [](testing_support::QueuedRig& r) -> i2c::RegisterAccess& { return r.master; });
    const std::vector<std::string> queued =
        tracedLinkTest("queued_link", [](testing_support::QueuedRig& r) -> i2c::RegisterAccess& { return r.queued; });

    // The byte master's stop after a register's data byte raises SCL with
    // SDA low, which the decoder shows as an acknowledge; the queued engine
    // clocks a not-acknowledge and then stops.
    std::vector<std::string> expected;
    int reads = 0;
    for (std::size_t i = 0; i < byte.size(); ++i) {
        // A register read's one data byte; the tuner read-back acknowledges
        // all of its twelve, the last too, on both engines.
        const bool lastOfRead = byte[i] == "ACK" && i >= 3 && byte[i - 1].rfind("Data read: ", 0) == 0 &&
                                byte[i - 3].rfind("Address read: ", 0) == 0 && i + 1 < byte.size() &&
                                byte[i + 1] == "Stop";
        expected.push_back(lastOfRead ? "NACK" : byte[i]);
        reads += lastOfRead;
    }
    EXPECT_EQ(reads, 1 + 2 * (1000 + 512));  // the identity, the read loops, the pattern passes
    ASSERT_EQ(queued.size(), expected.size());
    for (std::size_t i = 0; i < queued.size(); ++i) ASSERT_EQ(queued[i], expected[i]) << "row " << i;
    // Nothing the decoder could not place.
    for (const std::string& row : queued) EXPECT_EQ(row.find("Warning"), std::string::npos) << row;
}

}  // namespace
