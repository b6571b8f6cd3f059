// The virtual FT2232H as libftdi1 meets it: interface claims against the
// kernel's serial driver, vendor requests, and bulk-in packets with their
// modem-status bytes, the latency timer and overflow.
#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <chrono>
#include <string>
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

constexpr std::uint8_t StandardIn = 0x80, StandardOut = 0x00;
constexpr std::uint8_t ToInterface = 0x01, ToEndpoint = 0x02;

std::vector<std::uint8_t> descriptor(VirtualChip& chip, std::uint16_t value, std::uint16_t length = 255) {
    std::vector<std::uint8_t> d(length);
    const int n = chip.control(StandardIn, 0x06, value, 0, d.data(), length);
    d.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return d;
}

std::string utf16(const std::vector<std::uint8_t>& d) {
    std::string s;
    for (std::size_t i = 2; i + 1 < d.size(); i += 2) s += static_cast<char>(d[i]);
    return s;
}

// GET_DESCRIPTOR as the chip answers it: every descriptor a high-speed
// device has, cut to the host's wLength, and a stall for what it has not.
TEST(VirtualChip, DescriptorsAreAnsweredAsAHighSpeedFt2232hAnswersThem) {
    VirtualChip chip(optionsOf("--serial=FTX42"));
    const auto device = descriptor(chip, 0x0100);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[8] | device[9] << 8, 0x0403);
    EXPECT_EQ(device[10] | device[11] << 8, 0x6010);
    EXPECT_EQ(device[12] | device[13] << 8, 0x0700);
    EXPECT_EQ(device[16], 3) << "a serial number string";
    EXPECT_EQ(descriptor(chip, 0x0100, 8).size(), 8u) << "the first 8 bytes, as hosts ask at first";

    const auto config = descriptor(chip, 0x0200);
    ASSERT_EQ(config.size(), 9u + 2 * (9 + 2 * 7));
    EXPECT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
    EXPECT_EQ(config[4], 2) << "two interfaces";
    EXPECT_EQ(config[9 + 9 + 2], 0x81);
    EXPECT_EQ(config[9 + 9 + 4] | config[9 + 9 + 5] << 8, 512);
    const auto fullSpeed = descriptor(chip, 0x0700);
    ASSERT_EQ(fullSpeed.size(), config.size());
    EXPECT_EQ(fullSpeed[1], 0x07);
    EXPECT_EQ(fullSpeed[9 + 9 + 4], 64);
    EXPECT_EQ(descriptor(chip, 0x0600).size(), 10u) << "device qualifier";

    EXPECT_EQ(descriptor(chip, 0x0300), (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    EXPECT_EQ(utf16(descriptor(chip, 0x0301)), "FTDI");
    EXPECT_EQ(utf16(descriptor(chip, 0x0302)), "Dual RS232-HS");
    EXPECT_EQ(utf16(descriptor(chip, 0x0303)), "FTX42");
    std::uint8_t buf[64];
    for (std::uint16_t missing : {0x0304, 0x0F00, 0x0201, 0x2100})
        EXPECT_EQ(chip.control(StandardIn, 0x06, missing, 0, buf, 64), LIBUSB_ERROR_PIPE) << missing;
    EXPECT_EQ(chip.control(0xA1, 0x01, 0, 0, buf, 64), LIBUSB_ERROR_PIPE) << "no class requests";
}

TEST(VirtualChip, StatusConfigurationAndEndpointHaltsAsChapterNineHasThem) {
    VirtualChip chip(optionsOf("--ts-rate=max"));
    std::uint8_t b[2] = {0xEE, 0xEE};
    EXPECT_EQ(chip.control(StandardIn, 0x00, 0, 0, b, 2), 2);
    EXPECT_EQ(b[0], 0) << "bus-powered, no remote wake-up";
    EXPECT_EQ(chip.control(StandardIn | ToInterface, 0x00, 0, 1, b, 2), 2);
    EXPECT_EQ(chip.control(StandardIn | ToInterface, 0x00, 0, 2, b, 2), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(chip.control(StandardIn | ToEndpoint, 0x00, 0, 0x85, b, 2), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(chip.control(StandardIn, 0x08, 0, 0, b, 1), 1);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(chip.control(StandardOut, 0x09, 2, 0, nullptr, 0), LIBUSB_ERROR_PIPE) << "one configuration";
    EXPECT_EQ(chip.control(StandardIn | ToInterface, 0x0A, 0, 1, b, 1), 1);
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(chip.control(StandardOut | ToInterface, 0x0B, 1, 1, nullptr, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(chip.control(StandardOut | ToInterface, 0x0B, 0, 1, nullptr, 0), 0);
    EXPECT_EQ(chip.control(StandardOut, 0x03, 1, 0, nullptr, 0), LIBUSB_ERROR_PIPE) << "no remote wake-up";

    // A halted endpoint stalls its transfers until the halt is cleared.
    claim(chip, 1);
    ASSERT_EQ(chip.control(StandardOut | ToEndpoint, 0x03, 0, 0x83, nullptr, 0), 0);
    EXPECT_EQ(chip.control(StandardIn | ToEndpoint, 0x00, 0, 0x83, b, 2), 2);
    EXPECT_EQ(b[0], 1);
    std::vector<std::uint8_t> buf(512);
    int actual = 0;
    EXPECT_EQ(chip.fillIn(1, buf.data(), 512, &actual), Fill::Stall);
    ASSERT_EQ(chip.control(StandardOut | ToEndpoint, 0x01, 0, 0x83, nullptr, 0), 0);
    EXPECT_EQ(fillUntilDone(chip, 1, buf, &actual), Fill::Done);
}

// The EEPROM, word by word as libftdi1 reads it, holds the strings the
// descriptors give, with a valid checksum; its address wraps as a 93C56's.
TEST(VirtualChip, EepromHoldsWhatTheDescriptorsSay) {
    VirtualChip chip(optionsOf("--serial=FTX42"));
    std::array<std::uint8_t, 256> image{};
    for (std::uint16_t w = 0; w < 128; ++w)
        ASSERT_EQ(chip.control(VendorIn, 0x90, 0, w, image.data() + 2 * w, 2), 2);
    std::uint8_t wrapped[2];
    ASSERT_EQ(chip.control(VendorIn, 0x90, 0, 128 + 5, wrapped, 2), 2);
    EXPECT_EQ(wrapped[0], image[10]);
    EXPECT_EQ(vusb::Ft2232hEeprom::checksum(image), image[254] | image[255] << 8);
    EXPECT_EQ(image[0x01] & 0x07, 0x01) << "channel B: 245 FIFO";
    for (int i = 0; i < 3; ++i) {
        const std::size_t at = image[0x0E + 2 * i] & 0xFF, length = image[0x0F + 2 * i];
        const std::vector<std::uint8_t> inEeprom(image.begin() + static_cast<std::ptrdiff_t>(at),
                                                 image.begin() + static_cast<std::ptrdiff_t>(at + length));
        EXPECT_EQ(inEeprom, descriptor(chip, static_cast<std::uint16_t>(0x0301 + i))) << i;
    }

    // Written and erased words read back at once; the descriptors are what
    // the chip read at power-up and stay.
    ASSERT_EQ(chip.control(VendorOut, 0x91, 0xBEEF, 0x40, nullptr, 0), 0);
    ASSERT_EQ(chip.control(VendorIn, 0x90, 0, 0x40, wrapped, 2), 2);
    EXPECT_EQ(wrapped[0] | wrapped[1] << 8, 0xBEEF);
    ASSERT_EQ(chip.control(VendorOut, 0x92, 0, 0, nullptr, 0), 0);
    ASSERT_EQ(chip.control(VendorIn, 0x90, 0, 3, wrapped, 2), 2);
    EXPECT_EQ(wrapped[0] & wrapped[1], 0xFF);
    EXPECT_EQ(utf16(descriptor(chip, 0x0303)), "FTX42");
}

// A blank EEPROM leaves the chip with its built-in strings and no serial.
TEST(VirtualChip, BlankEepromGivesTheChipsOwnDescriptors) {
    vusb::Ft2232hEeprom eeprom({"Acme", "Receiver", "R1"});
    EXPECT_TRUE(eeprom.checksumValid());
    EXPECT_EQ(utf16(*vusb::UsbDescriptors::fromEeprom(eeprom).string(2)), "Receiver");
    eeprom.erase();
    const auto blank = vusb::UsbDescriptors::fromEeprom(eeprom);
    EXPECT_EQ(utf16(*blank.string(1)), "FTDI");
    EXPECT_EQ(utf16(*blank.string(2)), "Dual RS232-HS");
    EXPECT_EQ(blank.string(3), nullptr);
    EXPECT_EQ(blank.device[16], 0) << "no serial number index";
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
