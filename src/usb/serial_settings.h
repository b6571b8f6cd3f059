// Serial-port parameters for an FTDI channel, held as the D2XX library's own
// codes so they could be handed to it unchanged. Only the settings dialog
// writes them; the values below are what they hold before it has run once.
#pragma once

#include <cstdint>

namespace usb {

struct SerialSettings {
    std::uint32_t SerialBaudRate = 0;     // bits per second
    std::uint8_t SerialDataBits = 0;      // 7 or 8
    std::uint8_t SerialStopBits = 0;      // 0 = one stop bit, 2 = two
    std::uint8_t SerialParity = 0;        // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint16_t SerialFlowControl = 0;  // 0x0000 none, 0x0100 RTS/CTS, 0x0200 DTR/DSR, 0x0400 X-On/X-Off
    bool SerialRtsOn = false;
    bool SerialDtrOn = false;
    bool SerialEventCharOn = false;
    bool SerialErrorCharOn = false;
    std::uint8_t SerialXonChar = 0x11;
    std::uint8_t SerialXoffChar = 0x13;
    std::uint8_t SerialEventChar = 0x00;
    std::uint8_t SerialErrorChar = 0x00;
    // Set by OK when a list text matched none of its choices or a character
    // field was not two hexadecimal digits; the caller decides what to do.
    bool SerialSettingsError = false;
};

}  // namespace usb
