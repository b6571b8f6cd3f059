// The configuration EEPROM of the virtual FT2232H (a 93C56, 128 words) in
// the layout the chip reads at power-up, and the USB descriptors the chip
// makes of it. A real FT2232H takes its IDs, power figures, channel modes
// and strings from this memory, so a host that reads the EEPROM
// (ftdi_read_eeprom, FT_EE_Read) and one that reads the descriptors must
// agree on every one of them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vusb {

// What a board maker writes into the EEPROM of this board.
struct EepromContents {
    std::string manufacturer = "FTDI";
    std::string product = "Dual RS232-HS";
    std::string serial;  // empty: the chip reports no serial number
};

class Ft2232hEeprom {
public:
    static constexpr int Words = 128;   // 93C56
    static constexpr std::uint8_t ChipType = 0x56;
    // Channel modes in the low bits of bytes 0 (A) and 1 (B).
    static constexpr std::uint8_t ModeUart = 0x00;
    static constexpr std::uint8_t ModeFifo245 = 0x01;
    // Where the chip's layout starts the strings.
    static constexpr std::size_t StringArea = 0x9A;
    // Room for the three strings' characters in all.
    static constexpr std::size_t MaxStringChars = 43;

    // A programmed EEPROM: channel A as a UART (the program switches it to
    // MPSSE), channel B as a 245 FIFO, bus-powered at up to 500 mA, and the
    // strings given (at most MaxStringChars characters in all).
    explicit Ft2232hEeprom(const EepromContents& contents);

    // The word at a word address; the part ignores the address bits above
    // its size, so addresses wrap at Words.
    std::uint16_t word(unsigned address) const;
    void write(unsigned address, std::uint16_t value);
    void erase();  // every word back to 0xFFFF

    const std::array<std::uint8_t, 2 * Words>& bytes() const { return bytes_; }
    // The checksum the chip expects in the last word for the words before it.
    static std::uint16_t checksum(const std::array<std::uint8_t, 2 * Words>& bytes);
    bool checksumValid() const;

private:
    std::array<std::uint8_t, 2 * Words> bytes_{};
};

// The descriptors the chip answers GET_DESCRIPTOR with, as it made them from
// its EEPROM at power-up. A blank or corrupt EEPROM (checksum wrong) gives
// the chip's built-in defaults: FTDI, Dual RS232-HS, no serial number.
struct UsbDescriptors {
    std::vector<std::uint8_t> device;         // 18 bytes
    std::vector<std::uint8_t> qualifier;      // 10 bytes: the device at full speed
    std::vector<std::uint8_t> config;         // high speed: 512-byte bulk packets
    std::vector<std::uint8_t> otherSpeedConfig;  // full speed: 64-byte packets
    std::vector<std::vector<std::uint8_t>> strings;  // [0]: language IDs; then by index
    bool selfPowered = false;
    bool remoteWakeup = false;

    static UsbDescriptors fromEeprom(const Ft2232hEeprom& eeprom);
    // The string descriptor at index, if the chip has one there.
    const std::vector<std::uint8_t>* string(std::uint8_t index) const {
        return index < strings.size() && !strings[index].empty() ? &strings[index] : nullptr;
    }
};

}  // namespace vusb
