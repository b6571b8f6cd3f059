// The virtual FT2232H as libftdi1 meets it: interface claims against the
// kernel's serial driver, vendor requests, and bulk-in packets with their
// modem-status bytes, the latency timer and overflow.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sim/ts_source.h"
#include "vusb/virtual_chip.h"

namespace {

using vusb::Fill;
using vusb::VirtualChip;

constexpr std::uint8_t VendorOut = 0x40;
constexpr std::uint8_t VendorIn = 0xC0;

vusb::VusbOptions optionsOf(const std::string& text) {
    vusb::VusbOptions o;
    std::string error;
    EXPECT_TRUE(vusb::parseVusbOptions(text, &o, &error)) << error;
    return o;
}

// Claims channel iface the way libftdi1 does: detach ftdi_sio, then claim.
void claim(VirtualChip& chip, int iface) {
    ASSERT_EQ(chip.detachKernelDriver(iface), 0);
    ASSERT_EQ(chip.claim(iface), 0);
}

// Bulk-in until the transfer ends, bounded.
Fill fillUntilDone(VirtualChip& chip, int iface, std::vector<std::uint8_t>& buf, int* actual) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        const Fill f = chip.fillIn(iface, buf.data(), static_cast<int>(buf.size()), actual);
        if (f != Fill::Waiting || std::chrono::steady_clock::now() > until) return f;
        std::this_thread::sleep_for(std::chrono::microseconds(125));
    }
}

TEST(VirtualChip, InterfacesAreTheKernelDriversUntilDetachedAndOneOpenerEach) {
    VirtualChip chip(optionsOf(""));
    EXPECT_TRUE(chip.kernelDriverActive(0));
    EXPECT_EQ(chip.claim(0), LIBUSB_ERROR_BUSY);
    claim(chip, 0);
    EXPECT_EQ(chip.claim(0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(chip.detachKernelDriver(0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(chip.claim(2), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(chip.release(0), 0);
    EXPECT_EQ(chip.release(0), LIBUSB_ERROR_NOT_FOUND);
    chip.setAutoDetach(true);
    EXPECT_EQ(chip.claim(1), 0);
}

TEST(VirtualChip, VendorRequestsAddressTheChannelInTheLowByteOfIndex) {
    VirtualChip chip(optionsOf(""));
    std::uint8_t data[2] = {};
    // Latency timer per channel: 16 ms at power-up, 0 taken as 1.
    EXPECT_EQ(chip.control(VendorIn, 0x0A, 0, 1, data, 1), 1);
    EXPECT_EQ(data[0], 16);
    EXPECT_EQ(chip.control(VendorOut, 0x09, 2, 2, nullptr, 0), 0);
    EXPECT_EQ(chip.control(VendorIn, 0x0A, 0, 2, data, 1), 1);
    EXPECT_EQ(data[0], 2);
    EXPECT_EQ(chip.control(VendorIn, 0x0A, 0, 1, data, 1), 1);
    EXPECT_EQ(data[0], 16);
    EXPECT_EQ(chip.control(VendorOut, 0x09, 0, 1, nullptr, 0), 0);
    EXPECT_EQ(chip.control(VendorIn, 0x0A, 0, 1, data, 1), 1);
    EXPECT_EQ(data[0], 1);
    // Modem status: the same two bytes every packet starts with.
    EXPECT_EQ(chip.control(VendorIn, 0x05, 0, 1, data, 2), 2);
    EXPECT_EQ(data[0], 0x32);
    EXPECT_EQ(data[1], 0x60);
    // No channel 0 or 3 on an FT2232H.
    EXPECT_EQ(chip.control(VendorIn, 0x0A, 0, 3, data, 1), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(chip.control(VendorOut, 0x09, 5, 0, nullptr, 0), LIBUSB_ERROR_PIPE);
}

TEST(VirtualChip, AnIdleChannelSendsOnlyStatusBytesWhenItsLatencyTimerRunsOut) {
    VirtualChip chip(optionsOf("--fault=ts-none"));
    claim(chip, 1);
    ASSERT_EQ(chip.control(VendorOut, 0x09, 5, 2, nullptr, 0), 0);
    std::vector<std::uint8_t> buf(4096);
    int actual = 0;
    // At once: nothing due yet.
    EXPECT_EQ(chip.fillIn(1, buf.data(), 4096, &actual), Fill::Waiting);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(fillUntilDone(chip, 1, buf, &actual), Fill::Done);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(4));
    ASSERT_EQ(actual, 2);
    EXPECT_EQ(buf[0], 0x32);
    EXPECT_EQ(buf[1], 0x60);
}

// The MPSSE engine keeps an answer not followed by "send immediate" until
// the latency timer runs out: the timer the host sets, not the 16 ms of
// power-up.
TEST(VirtualChip, ChannelAAnswersByTheLatencyTimerTheHostSet) {
    VirtualChip chip(optionsOf(""));
    claim(chip, 0);
    ASSERT_EQ(chip.control(VendorOut, 0x09, 1, 1, nullptr, 0), 0);
    ASSERT_EQ(chip.control(VendorOut, 0x0B, 0x0200, 1, nullptr, 0), 0);  // MPSSE
    const std::uint8_t bad = 0xAA;  // answered with 0xFA 0xAA
    ASSERT_EQ(chip.bulkOut(0, &bad, 1), 0);
    // Well past 1 ms and its microframe, well short of 16 ms.
    std::this_thread::sleep_for(std::chrono::milliseconds(6));
    std::vector<std::uint8_t> buf(512);
    int actual = 0;
    EXPECT_EQ(chip.fillIn(0, buf.data(), 512, &actual), Fill::Done);
    ASSERT_EQ(actual, 4);
    EXPECT_EQ(buf[2], 0xFA);
    EXPECT_EQ(buf[3], 0xAA);
}

TEST(VirtualChip, StreamComesInFullPacketsEachWithItsStatusBytes) {
    VirtualChip chip(optionsOf("--ts-rate=max"));
    claim(chip, 1);
    std::vector<std::uint8_t> buf(16 * 512);
    int actual = 0;
    ASSERT_EQ(fillUntilDone(chip, 1, buf, &actual), Fill::Done);
    ASSERT_EQ(actual, 16 * 512) << "full packets fill the transfer";
    std::vector<std::uint8_t> payload;
    for (int at = 0; at < actual; at += 512) {
        EXPECT_EQ(buf[at], 0x32) << at;
        EXPECT_EQ(buf[at + 1], 0x60) << at;
        payload.insert(payload.end(), buf.begin() + at + 2, buf.begin() + at + 512);
    }
    // What is left after stripping is the stream, packet after packet.
    for (std::size_t p = 0; p + sim::TsPacketSize <= payload.size(); p += sim::TsPacketSize)
        EXPECT_EQ(payload[p], 0x47) << p;

    // A transfer with less room than a packet overflows, as libusb reports it.
    std::vector<std::uint8_t> small(64);
    actual = 0;
    EXPECT_EQ(fillUntilDone(chip, 1, small, &actual), Fill::Overflow);
}

TEST(VirtualChip, UnpluggedAfterTheChosenWriteEverythingFailsWithNoDevice) {
    VirtualChip chip(optionsOf("--unplug-after-writes=3"));
    claim(chip, 0);
    claim(chip, 1);
    const std::uint8_t cmd[] = {0xAA};
    EXPECT_EQ(chip.bulkOut(0, cmd, 1), 0);
    EXPECT_EQ(chip.bulkOut(0, cmd, 1), 0);
    EXPECT_EQ(chip.bulkOut(0, cmd, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(chip.present());
    std::vector<std::uint8_t> buf(512);
    int actual = 0;
    EXPECT_EQ(chip.fillIn(1, buf.data(), 512, &actual), Fill::NoDevice);
    EXPECT_EQ(chip.control(VendorOut, 0x09, 2, 1, nullptr, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(chip.claim(0), LIBUSB_ERROR_NO_DEVICE);
}

TEST(VirtualChip, OptionsOfTheBoardAndOfTheVirtualDeviceAreTakenApart) {
    vusb::VusbOptions o;
    std::string error;
    ASSERT_TRUE(vusb::parseVusbOptions("--nim=sharp  --slow-host-us=300 --unplug-after-ts-bytes=99", &o, &error));
    EXPECT_EQ(o.board.channelA.nim, sim::Nim::Sharp);
    EXPECT_EQ(o.slowHostUs, 300u);
    EXPECT_EQ(o.unplugAfterTsBytes, 99u);
    EXPECT_FALSE(vusb::parseVusbOptions("--nim=pioneer", &o, &error));
    EXPECT_FALSE(vusb::parseVusbOptions("--unplug-after-writes=0", &o, &error));
    EXPECT_FALSE(vusb::parseVusbOptions("--simulate", &o, &error));
    EXPECT_NE(error.find("--simulate"), std::string::npos);
}

// Each board on the bus has options of its own; copies are told apart by
// serial, and a mistake names the board it is in.
TEST(VirtualBus, BoardsTakeTheirOwnOptionsAndCopiesAreNumbered) {
    std::vector<vusb::VusbOptions> bus;
    std::string error;
    ASSERT_TRUE(vusb::parseVusbBus("", &bus, &error)) << error;
    ASSERT_EQ(bus.size(), 1u);
    EXPECT_EQ(bus[0].serial, "VB2232H1");

    ASSERT_TRUE(vusb::parseVusbBus("--nim=sharp --serial=FTX1 --next-board --slow-host-us=7 --boards=4",
                                   &bus, &error)) << error;
    ASSERT_EQ(bus.size(), 4u);
    EXPECT_EQ(bus[0].serial, "FTX1");
    EXPECT_EQ(bus[0].board.channelA.nim, sim::Nim::Sharp);
    EXPECT_EQ(bus[0].slowHostUs, 0u);
    EXPECT_EQ(bus[1].board.channelA.nim, sim::Nim::Earda);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(bus[i].serial, "VB2232H" + std::to_string(i + 1));
        EXPECT_EQ(bus[i].slowHostUs, 7u) << "copies are of the last board";
    }

    EXPECT_FALSE(vusb::parseVusbBus("--next-board --nim=pioneer", &bus, &error));
    EXPECT_EQ(error.rfind("board 2: ", 0), 0u) << error;
    EXPECT_FALSE(vusb::parseVusbBus("--next-board --next-board --boards=2", &bus, &error));
    EXPECT_FALSE(vusb::parseVusbBus("--boards=5", &bus, &error));
    EXPECT_FALSE(vusb::parseVusbBus("--next-board --next-board --next-board --next-board", &bus, &error));
    EXPECT_FALSE(vusb::parseVusbBus("--i2c-trace=bus.vcd --boards=2", &bus, &error));
    EXPECT_NE(error.find("bus.vcd"), std::string::npos) << error;
    EXPECT_TRUE(vusb::parseVusbBus("--i2c-trace=one.vcd --next-board --i2c-trace=two.vcd", &bus, &error))
        << error;
}

}  // namespace
