#include "vusb/virtual_chip.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <thread>

#include "sim/option_text.h"

namespace vusb {

namespace {

// FTDI's vendor requests (the numbers libftdi1 sends).
constexpr std::uint8_t kReset = 0x00;
constexpr std::uint8_t kPollModemStatus = 0x05;
constexpr std::uint8_t kSetLatencyTimer = 0x09;
constexpr std::uint8_t kGetLatencyTimer = 0x0A;
constexpr std::uint8_t kSetBitMode = 0x0B;
constexpr std::uint8_t kReadPins = 0x0C;
constexpr std::uint8_t kReadEeprom = 0x90;
constexpr std::uint8_t kWriteEeprom = 0x91;
constexpr std::uint8_t kEraseEeprom = 0x92;
// wValue of the reset request. The names are the chip's: "purge RX" empties
// what the host sent and the chip has not yet taken, "purge TX" what waits to
// go to the host.
constexpr std::uint16_t kResetSio = 0;
constexpr std::uint16_t kPurgeFromHost = 1;
constexpr std::uint16_t kPurgeToHost = 2;
// Modem status as an idle FT2232H reports it in every packet: CTS and DSR
// high, transmitter empty.
constexpr std::uint8_t kModemStatus[kStatusBytes] = {sim::UsbBridge::ModemStatus0,
                                                     sim::UsbBridge::ModemStatus1};

// The standard requests every USB device answers on endpoint 0, and what they name.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;
constexpr std::uint16_t kEndpointHalt = 0;
constexpr std::uint8_t kToDevice = 0, kToInterface = 1, kToEndpoint = 2;

// Copies what the chip answers, cut to the host's wLength as the chip cuts it.
int answer(const std::uint8_t* bytes, std::size_t size, std::uint8_t* data, std::uint16_t length) {
    const std::size_t n = std::min<std::size_t>(size, length);
    std::copy(bytes, bytes + n, data);
    return static_cast<int>(n);
}

}  // namespace

int interfaceOfEndpoint(unsigned endpoint) {
    for (int i = 0; i < 2; ++i)
        if (endpoint == kEndpoints[i][0] || endpoint == kEndpoints[i][1]) return i;
    return -1;
}

class VirtualChip::SteadyClock final : public usb::Clock {
public:
    bool hasPerformanceCounter() override { return true; }
    std::int64_t performanceFrequency() override { return 1000000000; }
    std::int64_t performanceCounter() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    std::uint32_t tickCount() override {
        return static_cast<std::uint32_t>(performanceCounter() / 1000000);
    }
    void sleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    usb::LocalDateTime localNow() override {
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        localtime_r(&t, &tm);
        return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    }
};

bool parseVusbOptions(const std::string& text, VusbOptions* options, std::string* error) {
    std::istringstream words(text);
    std::string arg;
    while (words >> arg) {
        std::string v;
        std::uint64_t n = 0;
        if (sim::optionValue(arg, "--unplug-after-ms=", &v)) {
            if (!sim::parseDecimal(v, &n)) return *error = "--unplug-after-ms wants milliseconds: " + arg, false;
            options->unplugAfterMs = static_cast<std::int64_t>(n);
        } else if (sim::optionValue(arg, "--unplug-after-writes=", &v)) {
            if (!sim::parseDecimal(v, &n) || n == 0) return *error = "--unplug-after-writes wants a count above 0: " + arg, false;
            options->unplugAfterWrites = n;
        } else if (sim::optionValue(arg, "--unplug-after-ts-bytes=", &v)) {
            if (!sim::parseDecimal(v, &n) || n == 0) return *error = "--unplug-after-ts-bytes wants a count above 0: " + arg, false;
            options->unplugAfterTsBytes = n;
        } else if (sim::optionValue(arg, "--slow-host-us=", &v)) {
            if (!sim::parseDecimal(v, &n) || n > 10000000) return *error = "--slow-host-us wants 0 to 10000000: " + arg, false;
            options->slowHostUs = static_cast<std::uint32_t>(n);
        } else if (sim::optionValue(arg, "--serial=", &v)) {
            if (v.empty() || v.size() > 14) return *error = "--serial wants 1 to 14 characters: " + arg, false;
            options->serial = v;
        } else {
            switch (sim::parseBoardOption(arg, options->board, error)) {
            case sim::OptionParse::Accepted: break;
            case sim::OptionParse::Malformed: return false;
            case sim::OptionParse::NotMine: return *error = "unknown option '" + arg + "'", false;
            }
        }
    }
    return true;
}

std::string vusbOptionsHelp() {
    return "The virtual FT2232H on USB:\n"
           "  --unplug-after-ms=MS       the board is unplugged MS ms after the first open\n"
           "  --unplug-after-writes=N    ... after the N-th bulk write to channel A\n"
           "  --unplug-after-ts-bytes=N  ... once channel B has sent N stream bytes\n"
           "  --slow-host-us=US          every transfer completes US microseconds late\n"
           "  --serial=TEXT              the EEPROM's serial number (VB2232H1, VB2232H2, ...)\n"
           "  --next-board               the options after it are those of one more board\n"
           "  --boards=N                 N boards in all, the last one given copied (1 to 4)\n" +
           sim::boardOptionsHelp();
}

bool parseVusbBus(const std::string& text, std::vector<VusbOptions>* boards, std::string* error) {
    boards->clear();
    std::vector<std::string> sections(1);
    std::uint64_t copiesTo = 0;
    std::istringstream words(text);
    std::string arg, v;
    while (words >> arg) {
        if (arg == "--next-board") {
            sections.emplace_back();
        } else if (sim::optionValue(arg, "--boards=", &v)) {
            if (!sim::parseDecimal(v, &copiesTo) || copiesTo < 1 || copiesTo > kMaxBoards)
                return *error = "--boards wants 1 to " + std::to_string(kMaxBoards) + ": " + arg, false;
        } else {
            sections.back() += arg + ' ';
        }
    }
    if (sections.size() > static_cast<std::size_t>(kMaxBoards))
        return *error = "at most " + std::to_string(kMaxBoards) + " boards on the bus", false;
    if (copiesTo && copiesTo < sections.size())
        return *error = "--boards=" + std::to_string(copiesTo) + " but " +
                        std::to_string(sections.size()) + " boards are given", false;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        VusbOptions o;
        o.serial = sim::boardSerial(i);
        std::string e;
        if (!parseVusbOptions(sections[i], &o, &e))
            return *error = sections.size() > 1 ? "board " + std::to_string(i + 1) + ": " + e : e, false;
        boards->push_back(std::move(o));
    }
    // Copies of the last board; a serial of its own would make them
    // impossible to tell apart, so they are numbered by place instead.
    while (boards->size() < copiesTo) {
        VusbOptions o = boards->back();
        o.serial = sim::boardSerial(boards->size());
        boards->push_back(std::move(o));
    }
    // Two boards writing one bus trace would leave a file that is neither's.
    for (std::size_t i = 1; i < boards->size(); ++i) {
        const std::string& path = (*boards)[i].board.channelA.i2cTracePath;
        for (std::size_t j = 0; j < i && !path.empty(); ++j)
            if ((*boards)[j].board.channelA.i2cTracePath == path)
                return *error = "boards " + std::to_string(j + 1) + " and " + std::to_string(i + 1) +
                                " would both write the I2C trace " + path,
                       false;
    }
    return true;
}

std::int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

VirtualBus& VirtualBus::instance() {
    static VirtualBus* bus = [] {
        std::vector<VusbOptions> boards;
        std::string error;
        const char* text = std::getenv("VESPER_VUSB_OPTIONS");
        if (!parseVusbBus(text ? text : "", &boards, &error)) {
            std::fprintf(stderr, "vesper_vusb: %s\n", error.c_str());
            std::fflush(stderr);
            std::_Exit(2);
        }
        return new VirtualBus(boards);
    }();
    return *bus;
}

VirtualBus::VirtualBus(const std::vector<VusbOptions>& boards) {
    for (const VusbOptions& o : boards) chips_.push_back(std::make_unique<VirtualChip>(o));
}

VirtualChip::VirtualChip(const VusbOptions& options)
    : options_(options),
      eeprom_(EepromContents{"FTDI", "Dual RS232-HS", options.serial}),
      descriptors_(UsbDescriptors::fromEeprom(eeprom_)),
      clock_(std::make_unique<SteadyClock>()) {
    std::string error, warning;
    // Channel B's packets are made here, from the FIFO's bytes as they come;
    // the FIFO's own packet timing serves the in-process driver only.
    sim::BoardSetup board = options_.board;
    board.channelB.usbTiming = sim::UsbTiming::Ideal;
    if (!sim::makeBoardChannels(board, *clock_, &channels_, &error, &warning)) {
        std::fprintf(stderr, "vesper_vusb: %s\n", error.c_str());
        std::fflush(stderr);
        std::_Exit(2);
    }
    if (!warning.empty()) std::fprintf(stderr, "vesper_vusb: %s\n", warning.c_str());
    pipes_[0].device = channels_.a.get();
    pipes_[1].device = channels_.b.get();
}

void VirtualChip::unplug() {
    if (unplugged_) return;
    unplugged_ = true;
    for (Pipe& p : pipes_) {
        if (p.claimed && p.device) p.device->closed();
        p.claimed = false;
    }
}

void VirtualChip::checkUnplug() {
    if (unplugged_) return;
    if (options_.unplugAfterMs >= 0 && firstClaimUs_ >= 0 &&
        nowUs() - firstClaimUs_ >= options_.unplugAfterMs * 1000)
        unplug();
    if (options_.unplugAfterWrites && writesA_ >= options_.unplugAfterWrites) unplug();
    if (tsLimitReached()) unplug();
}

bool VirtualChip::present() {
    checkUnplug();
    return !unplugged_;
}

int VirtualChip::claim(int iface) {
    if (!present()) return LIBUSB_ERROR_NO_DEVICE;
    // Unconfigured, the chip has no interfaces.
    if (iface < 0 || iface > 1 || configuration_ == 0) return LIBUSB_ERROR_NOT_FOUND;
    if (kernelDriver_[iface]) {
        if (!autoDetach_) return LIBUSB_ERROR_BUSY;
        kernelDriver_[iface] = false;
    }
    Pipe& p = pipes_[iface];
    if (p.claimed) return LIBUSB_ERROR_BUSY;
    p.claimed = true;
    p.lastPacketUs = nowUs();
    if (firstClaimUs_ < 0) firstClaimUs_ = p.lastPacketUs;
    p.device->opened();
    return 0;
}

int VirtualChip::release(int iface) {
    if (iface < 0 || iface > 1) return LIBUSB_ERROR_NOT_FOUND;
    Pipe& p = pipes_[iface];
    if (unplugged_) return LIBUSB_ERROR_NO_DEVICE;
    if (!p.claimed) return LIBUSB_ERROR_NOT_FOUND;
    p.claimed = false;
    p.device->closed();
    return 0;
}

int VirtualChip::detachKernelDriver(int iface) {
    if (!present()) return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface > 1) return LIBUSB_ERROR_NOT_FOUND;
    if (!kernelDriver_[iface]) return LIBUSB_ERROR_NOT_FOUND;
    kernelDriver_[iface] = false;
    return 0;
}

int VirtualChip::attachKernelDriver(int iface) {
    if (!present()) return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface > 1) return LIBUSB_ERROR_NOT_FOUND;
    if (pipes_[iface].claimed) return LIBUSB_ERROR_BUSY;
    kernelDriver_[iface] = true;
    return 0;
}

int VirtualChip::control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::uint8_t* data, std::uint16_t length) {
    if (!present()) return LIBUSB_ERROR_NO_DEVICE;
    const bool in = requestType & LIBUSB_ENDPOINT_IN;
    switch (requestType & (0x03 << 5)) {
    case LIBUSB_REQUEST_TYPE_STANDARD: return standardRequest(requestType, request, value, index, data, length);
    case LIBUSB_REQUEST_TYPE_VENDOR: break;
    default: return LIBUSB_ERROR_PIPE;  // no class requests on a vendor-class chip
    }
    switch (request) {
    case kReadEeprom: {
        // wIndex is the word address; the word comes low byte first.
        if (!in) return LIBUSB_ERROR_PIPE;
        const std::uint16_t w = eeprom_.word(index);
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8)};
        return answer(bytes, 2, data, length);
    }
    case kWriteEeprom:
        // Written now, read by the chip at its next power-up.
        if (in) return LIBUSB_ERROR_PIPE;
        eeprom_.write(index, value);
        return 0;
    case kEraseEeprom:
        if (in) return LIBUSB_ERROR_PIPE;
        eeprom_.erase();
        return 0;
    default: break;
    }
    // The low byte of wIndex names the channel: 1 = A, 2 = B.
    const int iface = (index & 0xFF) - 1;
    if (iface < 0 || iface > 1) return LIBUSB_ERROR_PIPE;
    Pipe& p = pipes_[iface];
    switch (request) {
    case kReset:
        if (value == kResetSio) {
            p.device->reset();
        } else if (value == kPurgeFromHost) {
            p.device->purgeTransmit();
        } else if (value == kPurgeToHost) {
            p.device->purgeReceive();
        }
        return 0;
    case kSetLatencyTimer:
        // The chip takes 1..255 ms; 0 behaves as 1.
        p.latencyMs = static_cast<std::uint8_t>(std::max<std::uint16_t>(value & 0xFF, 1));
        // The MPSSE engine holds its short answers by the same timer.
        p.device->setLatencyTimer(p.latencyMs);
        return 0;
    case kGetLatencyTimer:
        if (!in || length < 1) return LIBUSB_ERROR_PIPE;
        data[0] = p.latencyMs;
        return 1;
    case kSetBitMode:
        p.device->setBitMode(static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8));
        return 0;
    case kPollModemStatus: {
        if (!in) return LIBUSB_ERROR_PIPE;
        const int n = std::min<int>(length, kStatusBytes);
        std::copy(kModemStatus, kModemStatus + n, data);
        return n;
    }
    case kReadPins:
        if (!in || length < 1) return LIBUSB_ERROR_PIPE;
        data[0] = p.device->pins();
        return 1;
    default:
        // Baud rate, data format, flow control, modem lines, event and error
        // characters: accepted, and nothing on this board depends on them.
        if (in) {
            std::fill(data, data + length, 0);
            return length;
        }
        return 0;
    }
}

int VirtualChip::standardRequest(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                                 std::uint16_t index, std::uint8_t* data, std::uint16_t length) {
    const bool in = requestType & LIBUSB_ENDPOINT_IN;
    const std::uint8_t recipient = requestType & 0x1F;
    const bool configured = configuration_ != 0;
    const bool knownInterface = configured && index < 2;
    switch (request) {
    case kGetStatus: {
        if (!in) return LIBUSB_ERROR_PIPE;
        std::uint8_t status[2] = {0, 0};
        if (recipient == kToDevice) {
            status[0] = descriptors_.selfPowered ? 1 : 0;
        } else if (recipient == kToInterface) {
            if (!knownInterface) return LIBUSB_ERROR_PIPE;
        } else if (recipient == kToEndpoint) {
            // Endpoint 0 is never halted: a stall there ends with its request.
            if ((index & 0x7F) != 0) {
                bool* halt = haltOf(index);
                if (!halt || !configured) return LIBUSB_ERROR_PIPE;
                status[0] = *halt ? 1 : 0;
            }
        } else {
            return LIBUSB_ERROR_PIPE;
        }
        return answer(status, 2, data, length);
    }
    case kClearFeature:
    case kSetFeature: {
        // Only an endpoint's halt: the chip has no remote wake-up to arm
        // and no test modes.
        if (in || recipient != kToEndpoint || value != kEndpointHalt || !configured) return LIBUSB_ERROR_PIPE;
        bool* halt = haltOf(index);
        if (!halt) return LIBUSB_ERROR_PIPE;
        *halt = request == kSetFeature;
        return 0;
    }
    case kGetDescriptor:
        if (!in || recipient != kToDevice) return LIBUSB_ERROR_PIPE;
        return getDescriptor(value, data, length);
    case kGetConfiguration:
        if (!in || recipient != kToDevice) return LIBUSB_ERROR_PIPE;
        return answer(&configuration_, 1, data, length);
    case kSetConfiguration:
        if (in || recipient != kToDevice || value > 1) return LIBUSB_ERROR_PIPE;
        configuration_ = static_cast<std::uint8_t>(value);
        for (auto& channel : halted_) channel[0] = channel[1] = false;
        return 0;
    case kGetInterface: {
        if (!in || recipient != kToInterface || !knownInterface) return LIBUSB_ERROR_PIPE;
        const std::uint8_t alternate = 0;
        return answer(&alternate, 1, data, length);
    }
    case kSetInterface:
        // One setting per interface; choosing it again clears its halts.
        if (in || recipient != kToInterface || !knownInterface || value != 0) return LIBUSB_ERROR_PIPE;
        halted_[index][0] = halted_[index][1] = false;
        return 0;
    default:
        // SET_ADDRESS belongs to the host controller, SET_DESCRIPTOR and
        // SYNCH_FRAME the chip does not support.
        return LIBUSB_ERROR_PIPE;
    }
}

int VirtualChip::getDescriptor(std::uint16_t value, std::uint8_t* data, std::uint16_t length) const {
    const std::uint8_t type = static_cast<std::uint8_t>(value >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(value);
    const std::vector<std::uint8_t>* d = nullptr;
    switch (type) {
    case LIBUSB_DT_DEVICE: d = &descriptors_.device; break;
    case LIBUSB_DT_CONFIG: d = index == 0 ? &descriptors_.config : nullptr; break;
    case LIBUSB_DT_STRING: d = descriptors_.string(index); break;
    case 0x06: d = &descriptors_.qualifier; break;  // device qualifier
    case 0x07: d = index == 0 ? &descriptors_.otherSpeedConfig : nullptr; break;
    default: break;  // no BOS: the chip is a USB 2.0 device
    }
    if (!d) return LIBUSB_ERROR_PIPE;
    return answer(d->data(), d->size(), data, length);
}

bool* VirtualChip::haltOf(unsigned endpoint) {
    const int iface = interfaceOfEndpoint(endpoint);
    if (iface < 0) return nullptr;
    return &halted_[iface][(endpoint & LIBUSB_ENDPOINT_IN) ? 0 : 1];
}

int VirtualChip::resetPort() {
    if (!present()) return LIBUSB_ERROR_NO_DEVICE;
    for (int i = 0; i < 2; ++i) {
        Pipe& p = pipes_[i];
        p.device->reset();
        p.device->setBitMode(0, 0);
        p.latencyMs = sim::UsbBridge::PowerUpLatencyMs;
        p.device->setLatencyTimer(p.latencyMs);
        p.lastPacketUs = nowUs();
        halted_[i][0] = halted_[i][1] = false;
    }
    return 0;
}

int VirtualChip::bulkOut(int iface, const std::uint8_t* data, int length) {
    if (!present()) return LIBUSB_ERROR_NO_DEVICE;
    Pipe& p = pipes_[iface];
    if (!p.claimed) return LIBUSB_ERROR_IO;
    if (halted_[iface][1]) return LIBUSB_ERROR_PIPE;
    p.device->write(data, static_cast<std::size_t>(length));
    if (iface == 0) ++writesA_;
    checkUnplug();
    return unplugged_ ? LIBUSB_ERROR_NO_DEVICE : 0;
}

Fill VirtualChip::fillIn(int iface, std::uint8_t* buffer, int length, int* actual) {
    if (!present()) return Fill::NoDevice;
    Pipe& p = pipes_[iface];
    if (!p.claimed) return Fill::NoDevice;
    if (halted_[iface][0]) return Fill::Stall;
    const std::int64_t now = nowUs();
    constexpr int payloadMax = kPacketSize - kStatusBytes;
    while (*actual < length) {
        const std::size_t waiting = p.device->available();
        const bool full = waiting >= static_cast<std::size_t>(payloadMax);
        // MPSSE answers go out as soon as the engine has them: the program
        // ends every command batch with "send immediate". The stream waits
        // for a full packet or the latency timer.
        const bool flushed = iface == 0 && waiting > 0;
        const bool timer = now - p.lastPacketUs >= std::int64_t{p.latencyMs} * 1000;
        if (!full && !flushed && !timer) return Fill::Waiting;
        const int payload = static_cast<int>(std::min<std::size_t>(waiting, payloadMax));
        const int packet = payload + kStatusBytes;
        // The chip sends its packet whatever room the host left.
        if (length - *actual < packet) return Fill::Overflow;
        std::uint8_t* at = buffer + *actual;
        at[0] = kModemStatus[0];
        at[1] = kModemStatus[1];
        const auto got = static_cast<int>(p.device->read(at + kStatusBytes, static_cast<std::size_t>(payload)));
        *actual += got + kStatusBytes;
        p.lastPacketUs = now;
        if (iface == 1) {
            tsBytes_ += static_cast<std::uint64_t>(got);
            if (tsLimitReached()) {
                unplug();
                return Fill::NoDevice;
            }
        }
        if (got + kStatusBytes < kPacketSize) return Fill::Done;
    }
    return Fill::Done;
}

}  // namespace vusb
