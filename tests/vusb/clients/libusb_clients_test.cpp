// The virtual FT2232H as clients we did not write meet it through libusb:
// libftdi1 reading the EEPROM and the pins, and libusb's own calls at the
// edges where a real device refuses politely. This program is linked
// against the libusb stand-in ahead of the system's libusb, so every libusb
// call here and inside libftdi1 reaches the stand-in, as LD_PRELOAD makes it
// for the program.
#include <ftdi.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

namespace {

constexpr int Vendor = 0x0403, Product = 0x6010;

// Two boards: the second is the one the tests below open by serial.
constexpr const char* BusOptions = "--nim=earda --next-board --nim=sharp";

struct FtdiDeleter {
    void operator()(ftdi_context* f) const { ftdi_free(f); }
};
using Ftdi = std::unique_ptr<ftdi_context, FtdiDeleter>;

Ftdi openChannel(const char* serial, ftdi_interface channel) {
    Ftdi f(ftdi_new());
    EXPECT_TRUE(f);
    if (!f) return f;
    EXPECT_EQ(ftdi_set_interface(f.get(), channel), 0);
    const int r = ftdi_usb_open_desc(f.get(), Vendor, Product, nullptr, serial);
    EXPECT_EQ(r, 0) << ftdi_get_error_string(f.get());
    return r == 0 ? std::move(f) : nullptr;
}

int eepromValue(ftdi_context* f, ftdi_eeprom_value which) {
    int v = -1;
    EXPECT_EQ(ftdi_get_eeprom_value(f, which, &v), 0) << which;
    return v;
}

// Every board's EEPROM decodes, checksum and all, to the strings its USB
// descriptors give, and says what the board is: an FT2232H with channel B
// wired as a 245 FIFO.
TEST(LibftdiClient, EepromDecodesToTheStringsTheBoardReports) {
    for (const char* serial : {"VB2232H1", "VB2232H2"}) {
        Ftdi f = openChannel(serial, INTERFACE_A);
        ASSERT_TRUE(f);
        char mfr[64], product[64], sn[64];
        ASSERT_EQ(ftdi_usb_get_strings2(f.get(), libusb_get_device(f->usb_dev), mfr, sizeof mfr, product,
                                        sizeof product, sn, sizeof sn), 0);
        EXPECT_STREQ(sn, serial);

        ASSERT_EQ(ftdi_read_eeprom(f.get()), 0) << ftdi_get_error_string(f.get());
        ASSERT_EQ(ftdi_eeprom_decode(f.get(), 0), 0) << ftdi_get_error_string(f.get());
        char eMfr[64], eProduct[64], eSn[64];
        ASSERT_EQ(ftdi_eeprom_get_strings(f.get(), eMfr, sizeof eMfr, eProduct, sizeof eProduct, eSn, sizeof eSn), 0);
        EXPECT_STREQ(eMfr, mfr);
        EXPECT_STREQ(eProduct, product);
        EXPECT_STREQ(eSn, sn);
        EXPECT_STREQ(eProduct, "Dual RS232-HS");
        EXPECT_STREQ(eMfr, "FTDI");

        EXPECT_EQ(eepromValue(f.get(), VENDOR_ID), Vendor);
        EXPECT_EQ(eepromValue(f.get(), PRODUCT_ID), Product);
        EXPECT_EQ(eepromValue(f.get(), RELEASE_NUMBER), 0x0700);
        EXPECT_EQ(eepromValue(f.get(), CHANNEL_B_TYPE), CHANNEL_IS_FIFO);
        EXPECT_EQ(eepromValue(f.get(), CHANNEL_A_TYPE), CHANNEL_IS_UART);
        EXPECT_EQ(eepromValue(f.get(), CHIP_TYPE), 0x56);
        EXPECT_EQ(eepromValue(f.get(), CHIP_SIZE), 256);
        EXPECT_EQ(eepromValue(f.get(), USE_SERIAL), 1);
        EXPECT_EQ(eepromValue(f.get(), SELF_POWERED), 0);

        // The power figure is the configuration descriptor's.
        libusb_config_descriptor* config = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(f->usb_dev), &config), 0);
        EXPECT_EQ(eepromValue(f.get(), MAX_POWER), 2 * config->MaxPower);
        EXPECT_EQ(config->bmAttributes, 0x80);
        libusb_free_config_descriptor(config);
    }
}

// With channel A in MPSSE mode, "read pins" reports the low byte as the
// engine drives it: outputs as set, SCL and SDA as the I2C bus carries them.
TEST(LibftdiClient, ReadPinsFollowsWhatTheMpsseDrives) {
    Ftdi f = openChannel("VB2232H2", INTERFACE_A);
    ASSERT_TRUE(f);
    ASSERT_EQ(ftdi_usb_reset(f.get()), 0);
    ASSERT_EQ(ftdi_set_bitmode(f.get(), 0, BITMODE_MPSSE), 0);
    auto pinsAfter = [&](std::uint8_t value, std::uint8_t direction) {
        unsigned char cmd[] = {0x80, value, direction};
        EXPECT_EQ(ftdi_write_data(f.get(), cmd, sizeof cmd), static_cast<int>(sizeof cmd));
        unsigned char pins = 0;
        EXPECT_EQ(ftdi_read_pins(f.get(), &pins), 0);
        return pins;
    };
    // Everything an input: the bus's pull-ups hold SCL and SDA high.
    EXPECT_EQ(pinsAfter(0x00, 0x00), 0xFF);
    // SCL driven low, SDA released, GPIOL0..3 driven to 1010, ADBUS3 an input.
    EXPECT_EQ(pinsAfter(0xA0, 0xF1), 0xAE);
    // Both lines low: ADBUS2 reads SDA low as well.
    EXPECT_EQ(pinsAfter(0x50, 0xF3), 0x50 | 0x08);
    // Released again.
    EXPECT_EQ(pinsAfter(0x00, 0x00), 0xFF);
}

class LibusbEdges : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(libusb_init(&ctx), 0);
        handle = libusb_open_device_with_vid_pid(ctx, Vendor, Product);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        if (handle) libusb_close(handle);
        libusb_exit(ctx);
    }
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
};

// The calls pyusb and other clients make that the program never does:
// answered with a status, never a crash or a fall through to the system's
// libusb with our objects.
TEST_F(LibusbEdges, ResetHaltAndAlternateSettingAnswerWithAStatus) {
    EXPECT_EQ(libusb_set_interface_alt_setting(handle, 0, 0), LIBUSB_ERROR_NOT_FOUND) << "not claimed";
    EXPECT_EQ(libusb_clear_halt(handle, 0x85), LIBUSB_ERROR_NOT_FOUND) << "no such endpoint";
    ASSERT_EQ(libusb_set_auto_detach_kernel_driver(handle, 1), 0);
    ASSERT_EQ(libusb_claim_interface(handle, 1), 0);
    EXPECT_EQ(libusb_set_interface_alt_setting(handle, 1, 1), LIBUSB_ERROR_NOT_FOUND) << "one setting only";
    EXPECT_EQ(libusb_set_interface_alt_setting(handle, 1, 0), 0);
    EXPECT_EQ(libusb_clear_halt(handle, 0x83), 0);
    EXPECT_EQ(libusb_set_configuration(handle, 1), LIBUSB_ERROR_BUSY) << "an interface is claimed";

    // A halted endpoint stalls transfers until its halt is cleared.
    ASSERT_EQ(libusb_control_transfer(handle, LIBUSB_RECIPIENT_ENDPOINT, LIBUSB_REQUEST_SET_FEATURE, 0, 0x83,
                                      nullptr, 0, 1000), 0);
    unsigned char status[2] = {};
    ASSERT_EQ(libusb_control_transfer(handle, 0x80 | LIBUSB_RECIPIENT_ENDPOINT, LIBUSB_REQUEST_GET_STATUS, 0,
                                      0x83, status, 2, 1000), 2);
    EXPECT_EQ(status[0], 1);
    unsigned char buf[512];
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, buf, sizeof buf, &got, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(handle, 0x83), 0);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x83, buf, sizeof buf, &got, 1000), 0);
    EXPECT_GE(got, 2) << "the modem-status bytes at least";

    // A port reset brings the chip's latency timer back to its 16 ms.
    ASSERT_EQ(libusb_control_transfer(handle, 0x40, 0x09, 2, 2, nullptr, 0, 1000), 0);
    EXPECT_EQ(libusb_reset_device(handle), 0);
    unsigned char latency = 0;
    ASSERT_EQ(libusb_control_transfer(handle, 0xC0, 0x0A, 0, 2, &latency, 1, 1000), 1);
    EXPECT_EQ(latency, 16);
    EXPECT_EQ(libusb_release_interface(handle, 1), 0) << "still claimed after the reset";

    // What a high-speed vendor-class device does not have.
    EXPECT_EQ(libusb_interrupt_transfer(handle, 0x81, buf, 64, &got, 100), LIBUSB_ERROR_NOT_SUPPORTED);
    libusb_bos_descriptor* bos = nullptr;
    EXPECT_EQ(libusb_get_bos_descriptor(handle, &bos), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_alloc_streams(handle, 2, buf, 1), LIBUSB_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(libusb_dev_mem_alloc(handle, 4096), nullptr);
    libusb_hotplug_callback_handle hotplug = 0;
    EXPECT_EQ(libusb_hotplug_register_callback(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0, Vendor, Product,
                                               LIBUSB_HOTPLUG_MATCH_ANY, nullptr, nullptr, &hotplug),
              LIBUSB_ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG));
    libusb_device* dev = libusb_get_device(handle);
    EXPECT_EQ(libusb_get_parent(dev), nullptr);
    EXPECT_EQ(libusb_get_max_iso_packet_size(dev, 0x81), 512);
    EXPECT_EQ(libusb_get_max_iso_packet_size(dev, 0x86), LIBUSB_ERROR_NOT_FOUND);
}

// Strings as libusb hands them out: always terminated, cut to the buffer,
// index 0 (the language list) refused, a missing string stalled.
TEST_F(LibusbEdges, StringDescriptorsAsciiAsLibusbHandsThemOut) {
    unsigned char text[64];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, 0, text, sizeof text), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, 4, text, sizeof text), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_get_string_descriptor_ascii(handle, 2, text, sizeof text), 13);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "Dual RS232-HS");
    std::array<unsigned char, 6> shortBuffer;
    shortBuffer.fill(0xEE);
    ASSERT_EQ(libusb_get_string_descriptor_ascii(handle, 2, shortBuffer.data(), 5), 4);
    EXPECT_STREQ(reinterpret_cast<char*>(shortBuffer.data()), "Dual");
    EXPECT_EQ(shortBuffer[5], 0xEE) << "nothing written past the buffer";

    // The language list itself, by a plain GET_DESCRIPTOR: US English.
    unsigned char langs[8] = {};
    ASSERT_EQ(libusb_get_string_descriptor(handle, 0, 0, langs, sizeof langs), 4);
    EXPECT_EQ(langs[2] | langs[3] << 8, 0x0409);
}

// Every function the system's libusb-1.0 exports, the stand-in exports too,
// so that no call falls through to the real library.
TEST(LibusbStandIn, ExportsTheWholeApiOfTheSystemLibrary) {
    auto exported = [](const std::string& path) {
        std::set<std::string> names;
        const std::string cmd = "nm -D --defined-only '" + path + "'";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return names;
        char line[512];
        while (std::fgets(line, sizeof line, p)) {
            char address[64], type[8], name[256];
            if (std::sscanf(line, "%63s %7s %255s", address, type, name) == 3 &&
                std::string(name).rfind("libusb_", 0) == 0)
                names.insert(name);
        }
        pclose(p);
        return names;
    };
    const std::set<std::string> system = exported(SYSTEM_LIBUSB);
    const std::set<std::string> ours = exported(VESPER_VUSB_LIB);
    ASSERT_GT(system.size(), 80u) << "nm could not read " << SYSTEM_LIBUSB;
    for (const std::string& name : system) EXPECT_TRUE(ours.count(name)) << name << " is missing";
    for (const std::string& name : ours) EXPECT_TRUE(system.count(name)) << name << " is not libusb's";
}

}  // namespace

int main(int argc, char** argv) {
    // The bus is made at the first libusb call, from this variable.
    setenv("VESPER_VUSB_OPTIONS", BusOptions, 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
