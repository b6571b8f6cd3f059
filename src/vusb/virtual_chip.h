// The FT2232H of the simulated board as the USB bus sees it: descriptors,
// FTDI's vendor requests and the chip's bulk packets, with the board's chip
// models behind its two interfaces (the MPSSE engine and I2C bus on A, the
// transport-stream FIFO on B). The libusb stand-in in this folder puts it
// under libftdi1 and the program's libftdi backend.
//
// A bus may carry several boards, each its own chip with its own options.
// Everything here is guarded by the bus's one lock: the program polls
// channel A on its own thread while the reader thread streams channel B.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/board_setup.h"
#include "sim/usb_bridge.h"
#include "usb/platform_services.h"
#include "vusb/ft2232h_eeprom.h"

namespace vusb {

// Packet sizes of the chip's high-speed bulk endpoints and the bus's
// microframe, as the in-process board models them.
inline constexpr int kPacketSize = static_cast<int>(sim::UsbBridge::PacketSize);
inline constexpr int kStatusBytes = static_cast<int>(sim::UsbBridge::StatusBytes);
inline constexpr int kMicroframeUs = static_cast<int>(sim::UsbBridge::MicroframeNs / 1000);

struct VusbOptions {
    sim::BoardSetup board;
    std::string serial = "VB2232H1";   // as the EEPROM holds it; the channels add A / B
    std::int64_t unplugAfterMs = -1;   // from the first interface claim; -1: never
    std::uint64_t unplugAfterWrites = 0;   // bulk writes to channel A; 0: never
    std::uint64_t unplugAfterTsBytes = 0;  // payload bytes sent on channel B; 0: never
    std::uint32_t slowHostUs = 0;      // every transfer completes this much later
};

// The most boards a bus carries here; as many as the in-process simulation.
inline constexpr int kMaxBoards = 4;

// Whitespace-separated options of one board.
bool parseVusbOptions(const std::string& text, VusbOptions* options, std::string* error);
// The whole bus, as in VESPER_VUSB_OPTIONS: "--next-board" ends one board's
// options and starts the next one's; "--boards=N" (N at least the boards
// given) adds copies of the last board. A board without --serial is
// VB2232H1, VB2232H2, ... by its place on the bus.
bool parseVusbBus(const std::string& text, std::vector<VusbOptions>* boards, std::string* error);
std::string vusbOptionsHelp();

// Microseconds on the steady clock, the time base of every chip.
std::int64_t nowUs();

// What a bulk IN transfer got from the chip so far.
enum class Fill {
    Waiting,   // room left and no packet due yet
    Done,      // a short packet ended it, or it is full
    Overflow,  // the chip sent a packet larger than the room left
    Stall,     // the endpoint is halted
    NoDevice,
};

// The chip's bulk endpoints: IN then OUT for each channel.
inline constexpr std::uint8_t kEndpoints[2][2] = {{0x81, 0x02}, {0x83, 0x04}};
// The channel (interface) of a bulk endpoint, or -1.
int interfaceOfEndpoint(unsigned endpoint);

class VirtualChip {
public:
    explicit VirtualChip(const VusbOptions& options);

    std::uint32_t slowHostUs() const { return options_.slowHostUs; }
    const std::string& serial() const { return options_.serial; }
    // What the chip made of its EEPROM at power-up; fixed from then on.
    const UsbDescriptors& descriptors() const { return descriptors_; }

    // The rest is called with lock() held.
    bool present();
    int claim(int iface);    // 0 or a libusb error
    int release(int iface);
    bool kernelDriverActive(int iface) const { return kernelDriver_[iface]; }
    int detachKernelDriver(int iface);
    int attachKernelDriver(int iface);
    void setAutoDetach(bool on) { autoDetach_ = on; }

    // A vendor or standard request; bytes moved or a libusb error
    // (LIBUSB_ERROR_PIPE where the chip stalls the request).
    int control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                std::uint16_t index, std::uint8_t* data, std::uint16_t length);
    // A reset of the USB port: both channels start over as at power-up
    // (latency timer, bit mode, buffers, halts); the EEPROM and what the
    // host claimed stay.
    int resetPort();
    std::uint8_t configuration() const { return configuration_; }
    // Host to chip on iface's OUT endpoint.
    int bulkOut(int iface, const std::uint8_t* data, int length);
    // Chip to host: adds the packets due now to buffer (filled up to *actual).
    Fill fillIn(int iface, std::uint8_t* buffer, int length, int* actual);

private:
    class SteadyClock;
    struct Pipe {
        sim::ChannelDevice* device = nullptr;
        std::uint8_t latencyMs = sim::UsbBridge::PowerUpLatencyMs;
        std::int64_t lastPacketUs = 0;
        bool claimed = false;
    };

    int standardRequest(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index, std::uint8_t* data, std::uint16_t length);
    int getDescriptor(std::uint16_t value, std::uint8_t* data, std::uint16_t length) const;
    // The halt flag of an endpoint address, null for an address the chip
    // does not have (endpoint 0 has none: a stall there ends with the request).
    bool* haltOf(unsigned endpoint);
    void checkUnplug();
    bool tsLimitReached() const {
        return options_.unplugAfterTsBytes && tsBytes_ >= options_.unplugAfterTsBytes;
    }
    void unplug();

    VusbOptions options_;
    Ft2232hEeprom eeprom_;
    UsbDescriptors descriptors_;
    std::uint8_t configuration_ = 1;  // the kernel configures the chip at plug-in
    bool halted_[2][2] = {};          // [channel][0: IN, 1: OUT]
    std::unique_ptr<usb::Clock> clock_;
    sim::BoardChannels channels_;
    Pipe pipes_[2];
    bool kernelDriver_[2] = {true, true};  // ftdi_sio binds both at plug-in
    bool autoDetach_ = false;
    bool unplugged_ = false;
    std::int64_t firstClaimUs_ = -1;
    std::uint64_t writesA_ = 0;
    std::uint64_t tsBytes_ = 0;
};

// The boards plugged in, in bus order, made once from VESPER_VUSB_OPTIONS;
// a bad option ends the process with a message, as a typo would otherwise
// test the wrong board. Never destroyed: the program's threads may still be
// closing channels while static destructors run.
class VirtualBus {
public:
    static VirtualBus& instance();

    std::mutex& lock() { return m_; }
    std::size_t size() const { return chips_.size(); }
    VirtualChip& chip(std::size_t i) { return *chips_[i]; }

private:
    explicit VirtualBus(const std::vector<VusbOptions>& boards);

    std::vector<std::unique_ptr<VirtualChip>> chips_;
    std::mutex m_;
};

}  // namespace vusb
