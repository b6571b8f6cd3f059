#include "vusb/ft2232h_eeprom.h"

#include <algorithm>

namespace vusb {

namespace {

constexpr std::uint16_t kVendor = 0x0403;
constexpr std::uint16_t kProduct = 0x6010;
constexpr std::uint16_t kRelease = 0x0700;  // bcdDevice of every FT2232H
// Byte 0x08 is the configuration's bmAttributes (bit 7 always set, 6
// self-powered, 5 remote wake-up), byte 0x09 its bMaxPower in 2 mA units.
constexpr std::uint8_t kBusPowered = 0x80;
constexpr std::uint8_t kMaxPower500mA = 250;
constexpr std::uint8_t kUseSerial = 0x08;  // in byte 0x0A
constexpr std::uint16_t kEnglishUs = 0x0409;

void put16(std::uint8_t* at, std::uint16_t v) {
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint16_t get16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | at[1] << 8); }

std::vector<std::uint8_t> stringDescriptor(const std::string& text) {
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

// Interface: vendor class, two bulk endpoints, the product string.
void appendInterface(std::vector<std::uint8_t>& d, std::uint8_t number, std::uint8_t in, std::uint8_t out,
                     std::uint16_t packet) {
    d.insert(d.end(), {9, 0x04, number, 0, 2, 0xFF, 0xFF, 0xFF, 2});
    for (std::uint8_t ep : {in, out})
        d.insert(d.end(), {7, 0x05, ep, 0x02, static_cast<std::uint8_t>(packet),
                           static_cast<std::uint8_t>(packet >> 8), 0});
}

std::vector<std::uint8_t> configDescriptor(std::uint8_t type, std::uint16_t packet, std::uint8_t attributes,
                                           std::uint8_t maxPower) {
    std::vector<std::uint8_t> d{9, type, 0, 0, 2, 1, 0, attributes, maxPower};
    appendInterface(d, 0, 0x81, 0x02, packet);
    appendInterface(d, 1, 0x83, 0x04, packet);
    put16(d.data() + 2, static_cast<std::uint16_t>(d.size()));
    return d;
}

}  // namespace

Ft2232hEeprom::Ft2232hEeprom(const EepromContents& c) {
    std::uint8_t* b = bytes_.data();
    b[0x00] = ModeUart;
    b[0x01] = ModeFifo245;
    put16(b + 0x02, kVendor);
    put16(b + 0x04, kProduct);
    put16(b + 0x06, kRelease);
    b[0x08] = kBusPowered;
    b[0x09] = kMaxPower500mA;
    b[0x0A] = c.serial.empty() ? 0 : kUseSerial;
    b[0x18] = ChipType;
    // The three strings as USB string descriptors, one after the other;
    // bytes 0x0E..0x13 give each one's place (with bit 7 set, as the chip
    // wants it) and length. The legacy port name and plug-and-play bytes
    // follow, as the vendor's tools write them.
    std::size_t at = StringArea;
    const std::string* texts[] = {&c.manufacturer, &c.product, &c.serial};
    for (int i = 0; i < 3; ++i) {
        const std::string text = texts[i]->substr(0, std::min(texts[i]->size(), MaxStringChars));
        const std::vector<std::uint8_t> d = stringDescriptor(text);
        const std::size_t room = 2 * Words - 2 - 3 - at;
        const std::size_t n = std::min(d.size(), room & ~std::size_t{1});
        std::copy(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(n), b + at);
        b[at] = static_cast<std::uint8_t>(n);
        b[0x0E + 2 * i] = static_cast<std::uint8_t>(at | 0x80);
        b[0x0F + 2 * i] = static_cast<std::uint8_t>(n);
        at += n;
    }
    b[at++] = 0x02;
    b[at++] = 0x03;
    b[at++] = 0x00;
    put16(b + 2 * Words - 2, checksum(bytes_));
}

std::uint16_t Ft2232hEeprom::word(unsigned address) const {
    return get16(bytes_.data() + 2 * (address % Words));
}

void Ft2232hEeprom::write(unsigned address, std::uint16_t value) {
    put16(bytes_.data() + 2 * (address % Words), value);
}

void Ft2232hEeprom::erase() { bytes_.fill(0xFF); }

std::uint16_t Ft2232hEeprom::checksum(const std::array<std::uint8_t, 2 * Words>& bytes) {
    std::uint16_t sum = 0xAAAA;
    for (int i = 0; i < Words - 1; ++i) {
        sum ^= get16(bytes.data() + 2 * i);
        sum = static_cast<std::uint16_t>(sum << 1 | sum >> 15);
    }
    return sum;
}

bool Ft2232hEeprom::checksumValid() const {
    return get16(bytes_.data() + 2 * Words - 2) == checksum(bytes_);
}

UsbDescriptors UsbDescriptors::fromEeprom(const Ft2232hEeprom& eeprom) {
    const auto& b = eeprom.bytes();
    const bool programmed = eeprom.checksumValid();
    UsbDescriptors u;
    std::uint16_t vendor = kVendor, product = kProduct, release = kRelease;
    std::uint8_t attributes = kBusPowered, maxPower = kMaxPower500mA;
    u.strings.push_back({4, 0x03, static_cast<std::uint8_t>(kEnglishUs), static_cast<std::uint8_t>(kEnglishUs >> 8)});
    if (programmed) {
        vendor = get16(b.data() + 0x02);
        product = get16(b.data() + 0x04);
        release = get16(b.data() + 0x06);
        attributes = static_cast<std::uint8_t>(0x80 | (b[0x08] & 0x60));
        maxPower = b[0x09];
        for (int i = 0; i < 3; ++i) {
            const std::size_t at = b[0x0E + 2 * i] & (b.size() - 1);
            const std::size_t length = std::min<std::size_t>(b[0x0F + 2 * i], b.size() - at);
            u.strings.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(at),
                                   b.begin() + static_cast<std::ptrdiff_t>(at + length));
        }
        if (!(b[0x0A] & kUseSerial)) u.strings[3].clear();
    } else {
        u.strings.push_back(stringDescriptor("FTDI"));
        u.strings.push_back(stringDescriptor("Dual RS232-HS"));
    }
    u.selfPowered = attributes & 0x40;
    u.remoteWakeup = attributes & 0x20;

    const bool serial = u.string(3) != nullptr;
    u.device = {18, 0x01, 0x00, 0x02, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 1, 2,
                static_cast<std::uint8_t>(serial ? 3 : 0), 1};
    put16(u.device.data() + 8, vendor);
    put16(u.device.data() + 10, product);
    put16(u.device.data() + 12, release);
    u.qualifier = {10, 0x06, 0x00, 0x02, 0, 0, 0, 64, 1, 0};
    u.config = configDescriptor(0x02, 512, attributes, maxPower);
    u.otherSpeedConfig = configDescriptor(0x07, 64, attributes, maxPower);
    return u;
}

}  // namespace vusb
