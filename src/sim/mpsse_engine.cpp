#include "sim/mpsse_engine.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::uint64_t kTicksPerSecond = 240'000'000;  // 4 per 60 MHz master clock period

// A pin write takes the command processor's own time whatever the clock
// divisor: about 200 ns, so four repeats of one pin state hold it for the
// 600 ns a fast-mode start or stop needs.
constexpr std::uint64_t kPinCommandTicks = 48;

// Between two pins that change in one command (12.5 ns).
constexpr std::uint64_t kPinSkewTicks = 3;

// The chip's transmit buffer of one channel.
constexpr std::size_t kChipBufferSize = 4096;

// GPIOL1 (ADBUS5): the pin the wait and clock-until commands watch.
constexpr std::uint8_t kGpiol1 = 0x20;

// Scales a performance-counter difference to another rate without overflow.
std::uint64_t scaleCounts(std::uint64_t counts, std::uint64_t frequency, std::uint64_t rate) {
    return counts / frequency * rate + counts % frequency * rate / frequency;
}

// Header bytes that follow an opcode, or -1 for an opcode the engine rejects.
int headerLength(std::uint8_t op) {
    if (op >= 0x10 && op <= 0x3F) {
        const bool bitMode = op & 0x02;
        const bool writes = op & 0x10;
        return bitMode ? (writes ? 2 : 1) : 2;
    }
    switch (op) {
    case 0x4A: case 0x4B: case 0x6A: case 0x6B: case 0x6E: case 0x6F:  // clock TMS
    case 0x80: case 0x82: case 0x86: case 0x8F:
        return 2;
    case 0x8E:
        return 1;
    case 0x9C: case 0x9D:  // clock bytes until GPIOL1 or a count
        return 2;
    case 0x81: case 0x83: case 0x84: case 0x85: case 0x87: case 0x8A: case 0x8B:
    case 0x8C: case 0x8D: case 0x96: case 0x97:
    case 0x88: case 0x89:  // wait for GPIOL1 high / low
    case 0x94: case 0x95:  // clock until GPIOL1 high / low
        return 0;
    default:
        return -1;
    }
}

}  // namespace

MpsseEngine::MpsseEngine(I2cBus& bus, usb::Clock* clock, Settings settings)
    : bus_(bus),
      clock_(clock),
      settings_(settings),
      handle_(bus.attach(nullptr, I2cBus::kMainSegment)),
      bridge_(settings.usb, kChipBufferSize),
      host_(bridge_) {}

double MpsseEngine::sclFrequencyHz() const {
    const double base = divideBy5_ ? 12e6 : 60e6;
    return base / ((1.0 + divisor_) * 2.0);
}

std::uint64_t MpsseEngine::halfPeriod() const {
    return (1ull + divisor_) * (divideBy5_ ? 20u : 4u);
}

std::uint64_t MpsseEngine::timeNs() const { return ticks_ * 25 / 6; }

void MpsseEngine::advance(std::uint64_t ticks) {
    ticks_ += ticks;
    bus_.setTime(timeNs());
}

void MpsseEngine::syncToWallClock() {
    // While the host is away the bus idles: real time passes on the trace
    // too, so gaps between transactions show as they were.
    if (!clock_ || !clock_->hasPerformanceCounter()) return;
    const std::int64_t now = clock_->performanceCounter();
    const std::int64_t frequency = clock_->performanceFrequency();
    if (!wallStarted_) {
        wallStarted_ = true;
        wallStart_ = now;
        return;
    }
    if (frequency <= 0 || now <= wallStart_) return;
    const std::uint64_t wall = scaleCounts(static_cast<std::uint64_t>(now - wallStart_),
                                           static_cast<std::uint64_t>(frequency), kTicksPerSecond);
    if (wall > ticks_) advance(wall - ticks_);
}

std::uint64_t MpsseEngine::hostNs() {
    // Without a clock the host is taken to wait as long as it takes.
    if (!clock_ || !clock_->hasPerformanceCounter()) return std::uint64_t{1} << 62;
    if (!wallStarted_) syncToWallClock();
    const std::int64_t now = clock_->performanceCounter();
    const std::int64_t frequency = clock_->performanceFrequency();
    if (frequency <= 0 || now <= wallStart_) return 0;
    return scaleCounts(static_cast<std::uint64_t>(now - wallStart_), static_cast<std::uint64_t>(frequency),
                       1'000'000'000);
}

void MpsseEngine::setReactionDelay() {
    // The trace stamps a slave's reaction a little after the edge that
    // caused it, but never past the master's next pin write, or the two
    // would swap places in the trace.
    bus_.setReactionDelay(std::min(halfPeriod() / 4, kPinCommandTicks / 2) * 25 / 6);
}

bool MpsseEngine::gpiol1() const {
    // An input reads high through the pin's pull-up; nothing on this board
    // drives GPIOL1.
    return (lowDir_ & kGpiol1) ? (lowValue_ & kGpiol1) != 0 : true;
}

void MpsseEngine::updatePins() {
    // Outputs are push-pull: a pin set high drives the line high. Pins that
    // change in one command reach the wire in a fixed order, data (ADBUS1)
    // before clock (ADBUS0), a few nanoseconds apart: a data change in the
    // same command as a clock fall happens while SCL is still high, which
    // the slaves take as a start or stop. (Clock first would turn every stop
    // that follows a released SDA into a start and a stop.)
    using Drive = I2cBus::Drive;
    auto level = [](bool out, bool high) { return !out ? Drive::Released : high ? Drive::High : Drive::Low; };
    const Drive scl = level(lowDir_ & 0x01, sclPin_);
    const Drive sda = level(lowDir_ & 0x02, lowValue_ & 0x02);
    const bool both = scl != sclDrive_ && sda != sdaDrive_;
    if (sda != sdaDrive_) {
        sdaDrive_ = sda;
        bus_.drivePins(handle_, sclDrive_, sdaDrive_);
    }
    if (both) advance(kPinSkewTicks);
    if (scl != sclDrive_) {
        sclDrive_ = scl;
        bus_.drivePins(handle_, sclDrive_, sdaDrive_);
    }
}

std::uint8_t MpsseEngine::pins() {
    const BusLevels bus = bus_.levels();
    // Inputs read high through the pins' internal pull-ups.
    const auto v = static_cast<std::uint8_t>((lowValue_ & lowDir_) | ~lowDir_);
    return static_cast<std::uint8_t>((v & ~0x07) | (bus.scl ? 0x01 : 0) | (bus.sda ? 0x06 : 0));
}

void MpsseEngine::setTdi(bool level) {
    lowValue_ = static_cast<std::uint8_t>(level ? lowValue_ | 0x02 : lowValue_ & ~0x02);
    updatePins();
}

void MpsseEngine::setSclPin(bool level) {
    sclPin_ = level;
    updatePins();
}

void MpsseEngine::enterMpsse() {
    mpsse_ = true;
    stalled_ = false;
    headerNeed_ = -1;
    dataLeft_ = 0;
    lowValue_ = lowDir_ = highValue_ = highDir_ = 0;
    sclPin_ = false;
    divideBy5_ = true;
    adaptive_ = false;
    threePhase_ = false;
    loopback_ = false;
    setReactionDelay();
    updatePins();
}

void MpsseEngine::leaveMpsse() {
    mpsse_ = false;
    stalled_ = false;
    headerNeed_ = -1;
    dataLeft_ = 0;
    lowDir_ = 0;  // every pin an input: the bus is left to its pull-ups
    highDir_ = 0;
    updatePins();
}

void MpsseEngine::setBitMode(std::uint8_t /*mask*/, std::uint8_t mode) {
    if (mode == 0x02) enterMpsse();
    else leaveMpsse();
}

void MpsseEngine::reset() {
    leaveMpsse();
    purgeReceive();
}

void MpsseEngine::purgeReceive() { host_.purge(); }

void MpsseEngine::purgeTransmit() {
    // Commands not yet taken by the engine are dropped with the buffer.
    headerNeed_ = -1;
    dataLeft_ = 0;
}

void MpsseEngine::write(const std::uint8_t* data, std::size_t count) {
    if (!mpsse_) return;  // UART / reset mode: nothing interprets the bytes
    syncToWallClock();
    for (std::size_t i = 0; i < count && !stalled_; ++i) feed(data[i]);
}

void MpsseEngine::feed(std::uint8_t byte) {
    if (dataLeft_ > 0) {
        --dataLeft_;
        clockDataByte(byte);
        return;
    }
    if (headerNeed_ < 0) {
        const int need = headerLength(byte);
        if (need < 0) {
            answer(0xFA);
            answer(byte);
            return;
        }
        op_ = byte;
        headerHave_ = 0;
        headerNeed_ = need;
        if (need == 0) {
            headerNeed_ = -1;
            execute();
        }
        return;
    }
    header_[headerHave_++] = byte;
    if (headerHave_ == headerNeed_) {
        headerNeed_ = -1;
        execute();
    }
}

void MpsseEngine::clockOnly(std::uint32_t bits) {
    const std::uint8_t saved = op_;
    op_ = 0x20;  // no data out; the sampled bits are not kept by clockBit
    for (std::uint32_t i = 0; i < bits; ++i) clockBit(false);
    op_ = saved;
}

bool MpsseEngine::clockBit(bool out) {
    const bool writes = op_ & 0x10;
    const bool idleHigh = lowValue_ & 0x01;
    const bool firstEdgeRises = !idleHigh;
    const bool outOnRising = !(op_ & 0x01);
    const bool inOnRising = !(op_ & 0x04);
    // Data that changes on the second edge of a bit is already on the pin
    // before the first one; it changes half-way through the idle phase.
    const bool setupBefore = outOnRising != firstEdgeRises;
    const std::uint64_t h = halfPeriod();
    bool sample = false;
    auto sense = [&] { return loopback_ ? (lowValue_ & 0x02) != 0 : bus_.levels().sda; };

    if (writes && setupBefore) {
        advance(h / 2);
        setTdi(out);
        advance(h - h / 2);
    } else {
        advance(h);
    }
    if (inOnRising == firstEdgeRises) sample = sense();  // taken at the edge, before anyone reacts
    setSclPin(firstEdgeRises);
    if (writes && !setupBefore) {
        advance(h / 2);
        setTdi(out);
        advance(h - h / 2);
    } else {
        advance(h);
    }
    if (inOnRising != firstEdgeRises) sample = sense();
    setSclPin(idleHigh);
    if (threePhase_) advance(h);  // data held for a third phase after the clock returns
    return sample;
}

void MpsseEngine::clockDataByte(std::uint8_t out) {
    const bool lsbFirst = op_ & 0x08;
    std::uint8_t in = 0;
    for (int i = 0; i < 8; ++i) {
        const int bit = lsbFirst ? i : 7 - i;
        const bool sample = clockBit((out >> bit) & 1);
        in = lsbFirst ? static_cast<std::uint8_t>(in >> 1 | (sample ? 0x80 : 0))
                      : static_cast<std::uint8_t>(in << 1 | (sample ? 1 : 0));
    }
    if (op_ & 0x20) answer(in);
}

void MpsseEngine::execute() {
    const std::uint8_t op = op_;
    if (op >= 0x10 && op <= 0x3F) {
        if (adaptive_) {
            // Adaptive clocking waits for the return clock on GPIOL3, which
            // nothing drives on this board: the engine hangs.
            stalled_ = true;
            return;
        }
        const bool lsbFirst = op & 0x08;
        const bool writes = op & 0x10;
        const bool reads = op & 0x20;
        if (op & 0x02) {  // bits
            const int n = (header_[0] & 0x07) + 1;
            const std::uint8_t out = writes ? header_[1] : 0;
            std::uint8_t in = 0;
            for (int i = 0; i < n; ++i) {
                const int bit = lsbFirst ? i : 7 - i;
                const bool sample = clockBit((out >> bit) & 1);
                // Bits enter at the end the shift starts from, so one bit
                // read MSB first lands in bit 0.
                in = lsbFirst ? static_cast<std::uint8_t>(in >> 1 | (sample ? 0x80 : 0))
                              : static_cast<std::uint8_t>(in << 1 | (sample ? 1 : 0));
            }
            if (reads) answer(in);
            return;
        }
        const std::uint32_t n = (std::uint32_t{header_[0]} | std::uint32_t{header_[1]} << 8) + 1;
        if (writes) {
            dataLeft_ = n;
        } else {
            for (std::uint32_t i = 0; i < n; ++i) clockDataByte(0);
        }
        return;
    }
    switch (op) {
    case 0x4A: case 0x4B: case 0x6A: case 0x6B: case 0x6E: case 0x6F: {
        // TMS is not on the bus; the clock still runs and data out holds bit 7.
        if (adaptive_) {
            stalled_ = true;
            return;
        }
        setTdi(header_[1] & 0x80);
        const int n = (header_[0] & 0x07) + 1;
        std::uint8_t in = 0;
        for (int i = 0; i < n; ++i) in = static_cast<std::uint8_t>(in >> 1 | (clockBit(false) ? 0x80 : 0));
        if (op & 0x20) answer(in);
        return;
    }
    case 0x80:
        advance(kPinCommandTicks);
        lowValue_ = header_[0];
        lowDir_ = header_[1];
        sclPin_ = lowValue_ & 0x01;
        updatePins();
        return;
    case 0x82:
        advance(kPinCommandTicks);
        highValue_ = header_[0];
        highDir_ = header_[1];
        return;
    case 0x81:
        answer(pins());
        return;
    case 0x83:
        answer(static_cast<std::uint8_t>((highValue_ & highDir_) | ~highDir_));
        return;
    case 0x84: loopback_ = true; return;
    case 0x85: loopback_ = false; return;
    case 0x86:
        divisor_ = static_cast<std::uint16_t>(header_[0] | header_[1] << 8);
        setReactionDelay();
        return;
    case 0x87: bridge_.sendImmediate(timeNs()); return;
    case 0x88:
    case 0x89:
        // Waits until GPIOL1 reads high (0x88) or low (0x89).
        if (gpiol1() != (op == 0x88)) stalled_ = true;
        return;
    case 0x94:
    case 0x95:
    case 0x9C:
    case 0x9D: {
        // Clocks until GPIOL1 is high (0x94, 0x9C) or low (0x95, 0x9D); the
        // byte forms give up after their count of bytes.
        const bool wantHigh = op == 0x94 || op == 0x9C;
        if (gpiol1() == wantHigh) return;
        if (op == 0x94 || op == 0x95) {
            stalled_ = true;  // the line never moves: clocks for ever
            return;
        }
        clockOnly(((header_[0] | std::uint32_t{header_[1]} << 8) + 1u) * 8u);
        return;
    }
    case 0x8A: divideBy5_ = false; setReactionDelay(); return;
    case 0x8B: divideBy5_ = true; setReactionDelay(); return;
    case 0x8C: threePhase_ = true; return;
    case 0x8D: threePhase_ = false; return;
    case 0x96: adaptive_ = true; return;
    case 0x97: adaptive_ = false; return;
    case 0x8E:
    case 0x8F: {
        if (adaptive_) {
            stalled_ = true;
            return;
        }
        clockOnly(op == 0x8E ? (header_[0] & 0x07) + 1u
                             : ((header_[0] | std::uint32_t{header_[1]} << 8) + 1u) * 8u);
        return;
    }
    default:
        return;
    }
}

void MpsseEngine::answer(std::uint8_t byte) {
    if (settings_.silent) return;
    // A full transmit buffer would stall the real engine until the host
    // reads; the host here always reads, so the buffer never stays full.
    bridge_.push(timeNs(), &byte, 1);
}

std::size_t MpsseEngine::available() { return host_.available(hostNs()); }

std::size_t MpsseEngine::read(std::uint8_t* dst, std::size_t count) {
    return host_.read(hostNs(), dst, count);
}

}  // namespace sim
