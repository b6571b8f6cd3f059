#include "sim/channel_a.h"

#include <gtest/gtest.h>

#include "support/simulated_channel_a.h"
#include "support/test_support.h"
#include "sim/ft2232h_board.h"

namespace {

using sim::OptionParse;

OptionParse parse(const std::string& arg, sim::ChannelAOptions& o, std::string* error = nullptr) {
    std::string ignored;
    return sim::parseChannelAOption(arg, o, error ? error : &ignored);
}

TEST(ChannelAOptions, AcceptsEveryOptionAndFault) {
    sim::ChannelAOptions o;
    EXPECT_EQ(o.nim, sim::Nim::Earda);
    EXPECT_EQ(parse("--nim=sharp", o), OptionParse::Accepted);
    EXPECT_EQ(o.nim, sim::Nim::Sharp);
    EXPECT_EQ(parse("--nim=earda", o), OptionParse::Accepted);
    EXPECT_EQ(o.nim, sim::Nim::Earda);
    EXPECT_EQ(parse("--i2c-trace=/tmp/t.vcd", o), OptionParse::Accepted);
    EXPECT_EQ(o.i2cTracePath, "/tmp/t.vcd");
    EXPECT_EQ(parse("--usb-latency-us=125", o), OptionParse::Accepted);
    EXPECT_EQ(o.usbLatencyUs, 125u);
    EXPECT_EQ(parse("--i2c-seed=42", o), OptionParse::Accepted);
    EXPECT_EQ(o.seed, 42u);

    for (const char* flag : {"--fault=demod-absent", "--fault=tuner-absent", "--fault=scratch-stuck",
                             "--fault=mpsse-silent", "--fault=wrong-chip-id"})
        EXPECT_EQ(parse(flag, o), OptionParse::Accepted) << flag;
    const sim::ChannelAFaults& f = o.faults;
    EXPECT_TRUE(f.demodAbsent && f.tunerAbsent && f.scratchStuck && f.mpsseSilent);
    EXPECT_EQ(f.chipId, 0x30);
    EXPECT_EQ(parse("--fault=wrong-chip-id=0x11", o), OptionParse::Accepted);
    EXPECT_EQ(f.chipId, 0x11);
    EXPECT_EQ(parse("--fault=nack-rate=0.25", o), OptionParse::Accepted);
    EXPECT_DOUBLE_EQ(f.nackRate, 0.25);
    EXPECT_EQ(parse("--fault=nack-rate=1", o), OptionParse::Accepted);
    EXPECT_EQ(parse("--fault=image-fails-at=202", o), OptionParse::Accepted);
    EXPECT_EQ(f.imageFailsAt, 202u);
}

TEST(ChannelAOptions, OtherArgumentsAndOtherFaultsAreLeftToOtherParsers) {
    sim::ChannelAOptions o;
    for (const char* arg : {"--simulate", "--fault=ts-stops-after=100", "--fault=", "--nimble",
                            "nim=sharp", "--do=TestI2CBtn"})
        EXPECT_EQ(parse(arg, o), OptionParse::NotMine) << arg;
}

TEST(ChannelAOptions, BadValuesAreReportedWithAReason) {
    for (const char* arg : {"--nim=", "--nim=philips", "--fault=nack-rate", "--fault=nack-rate=1.5",
                            "--fault=nack-rate=-0.1", "--fault=nack-rate=0.5x", "--fault=image-fails-at=0",
                            "--fault=image-fails-at=", "--fault=image-fails-at=-3",
                            "--fault=demod-absent=1", "--fault=wrong-chip-id=0x20",
                            "--fault=wrong-chip-id=256", "--usb-latency-us=-1", "--usb-latency-us=x",
                            "--i2c-trace=", "--i2c-seed=abc"}) {
        sim::ChannelAOptions o;
        std::string error;
        EXPECT_EQ(parse(arg, o, &error), OptionParse::Malformed) << arg;
        EXPECT_FALSE(error.empty()) << arg;
    }
}

TEST(ChannelAOptions, AnUnwritableTraceIsReportedAndTheChannelStillWorks) {
    sim::ChannelAOptions o;
    o.i2cTracePath = "/nonexistent-dir/t.vcd";
    testing_support::I2cRig rig(o);
    EXPECT_NE(rig.traceError.find("/nonexistent-dir/t.vcd"), std::string::npos);
    EXPECT_EQ(rig.channelA->trace(), nullptr);
    ASSERT_TRUE(rig.setUp);
    EXPECT_TRUE(rig.master.I2C_WriteRegister(0xD4, 0xF536, 0x5A));
    EXPECT_EQ(rig.demod().peek(0xF536), 0x5A);
}

TEST(ChannelAOptions, TheFactorysChannelServesTheBoardsChannelA) {
    testing_support::FakeClock clock;
    sim::Ft2232hBoard board(clock);
    board.setChannelDevice(0, sim::makeChannelA({}, clock));
    usb::FT_HANDLE h = 0;
    ASSERT_EQ(board.FT_Open(0, &h), usb::FT_OK);
    board.FT_SetBitMode(h, 0, 0);
    board.FT_SetBitMode(h, 0, 2);
    const std::uint8_t bad = 0xAB;
    std::uint32_t n = 0;
    board.FT_Write(h, &bad, 1, &n);
    std::uint32_t waiting = 0;
    board.FT_GetQueueStatus(h, &waiting);
    ASSERT_EQ(waiting, 2u);
    std::uint8_t got[2] = {};
    board.FT_Read(h, got, 2, &n);
    EXPECT_EQ(got[0], 0xFA);
    EXPECT_EQ(got[1], 0xAB);
}

}  // namespace
