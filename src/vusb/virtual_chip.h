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
    NoDevice,
};

class VirtualChip {
public:
    explicit VirtualChip(const VusbOptions& options);

    std::uint32_t slowHostUs() const { return options_.slowHostUs; }
    const std::string& serial() const { return options_.serial; }

    // The rest is called with lock() held.
    bool present();
    int claim(int iface);    // 0 or a libusb error
    int release(int iface);
    bool kernelDriverActive(int iface) const { return kernelDriver_[iface]; }
    int detachKernelDriver(int iface);
    int attachKernelDriver(int iface);
    void setAutoDetach(bool on) { autoDetach_ = on; }

    // A vendor or standard request; bytes moved or a libusb error.
    int control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                std::uint16_t index, std::uint8_t* data, std::uint16_t length);
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

    void checkUnplug();
    bool tsLimitReached() const {
        return options_.unplugAfterTsBytes && tsBytes_ >= options_.unplugAfterTsBytes;
    }
    void unplug();

    VusbOptions options_;
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
