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
#include "support/sigrok_decode.h"

namespace {

namespace fs = std::filesystem;


std::vector<std::string> decode(const fs::path& vcd) { return testing_support::decodeI2c(vcd); }

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
    if (!testing_support::sigrokInstalled()) GTEST_SKIP() << "sigrok-cli not installed";
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
