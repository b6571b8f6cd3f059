// Channel A of the simulated bench board as one device: the MPSSE engine,
// the I2C bus with the fitted NIM's demodulator and tuner, the optional bus
// trace, and the faults chosen on the command line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sim/channel_device.h"
#include "sim/i2c_bus.h"
#include "sim/i2c_slaves.h"
#include "sim/mpsse_engine.h"
#include "sim/option_text.h"
#include "sim/vcd_writer.h"
#include "usb/platform_services.h"

namespace sim {

enum class Nim {
    Earda,  // demodulator at 0xD4, STB6100 tuner
    Sharp,  // demodulator at 0xD0, STV6110 tuner
};

struct ChannelAFaults {
    bool demodAbsent = false;           // nothing answers at the demodulator's address
    bool tunerAbsent = false;           // nothing behind the repeater
    std::optional<std::uint8_t> chipId; // identity register reads this instead of 0x20
    bool scratchStuck = false;          // 0xF536 acknowledges writes but keeps its value
    double nackRate = 0.0;              // probability that a slave's acknowledge is lost
    std::uint32_t imageFailsAt = 0;     // 0: off
    bool mpsseSilent = false;           // the engine never answers
};

struct ChannelAOptions {
    Nim nim = Nim::Earda;
    ChannelAFaults faults;
    std::uint64_t seed = 1;     // for nack-rate
    std::string i2cTracePath;   // empty: no trace
    std::uint32_t usbLatencyUs = 0;
    // Ideal keeps the unit tests fast; the command line starts from
    // commandLineDefaults(), which has the real chip's timing.
    UsbTiming usbTiming = UsbTiming::Ideal;

    static ChannelAOptions commandLineDefaults() {
        ChannelAOptions o;
        o.usbTiming = UsbTiming::Real;
        return o;
    }
};

// One command-line argument: --nim=earda|sharp, --fault=NAME[=VALUE] for the
// channel A faults, --i2c-trace=FILE, --usb-latency-us=N, --usb-timing=real|ideal,
// --i2c-seed=N.
OptionParse parseChannelAOption(const std::string& arg, ChannelAOptions& options,
                                std::string* error);

// The lines --help shows for these options, each ending in a newline.
std::string channelAOptionsHelp();

class ChannelA : public ChannelDevice {
public:
    // When the trace file cannot be created the channel works without it and
    // traceError() says so. The demodulator receives signal, or, without
    // one, the default signal (locked from power-up).
    ChannelA(const ChannelAOptions& options, usb::Clock& clock, std::shared_ptr<RfInput> signal = nullptr);
    ~ChannelA() override;

    void write(const std::uint8_t* data, std::size_t count) override { engine_->write(data, count); }
    std::size_t available() override { return engine_->available(); }
    std::size_t read(std::uint8_t* dst, std::size_t count) override { return engine_->read(dst, count); }
    void purgeReceive() override { engine_->purgeReceive(); }
    void purgeTransmit() override { engine_->purgeTransmit(); }
    void reset() override { engine_->reset(); }
    void setBitMode(std::uint8_t mask, std::uint8_t mode) override { engine_->setBitMode(mask, mode); }
    void setLatencyTimer(std::uint8_t ms) override { engine_->setLatencyTimer(ms); }
    void closed() override;
    std::uint8_t pins() override { return engine_->pins(); }

    MpsseEngine& engine() { return *engine_; }
    I2cBus& bus() { return bus_; }
    const I2cBus& bus() const { return bus_; }
    Demodulator* demodulator() { return demod_.get(); }        // null when absent
    RegisterFile8Slave* tuner() { return tuner_.get(); }       // null when absent
    VcdWriter* trace() { return trace_.get(); }                // null without a trace
    const std::string& traceError() const { return traceError_; }

private:
    // Declared so that the trace outlives everything that writes to it.
    std::unique_ptr<VcdWriter> trace_;
    std::string traceError_;
    std::unique_ptr<AckLoss> ackLoss_;
    I2cBus bus_;
    std::unique_ptr<Demodulator> demod_;
    std::unique_ptr<RegisterFile8Slave> tuner_;
    std::unique_ptr<MpsseEngine> engine_;
};

// What the application installs as channel A of the simulated board. If
// error is given it receives a warning for a trace file that could not be
// created (empty otherwise).
std::unique_ptr<ChannelDevice> makeChannelA(const ChannelAOptions& options, usb::Clock& clock,
                                             std::string* error = nullptr,
                                             std::shared_ptr<RfInput> signal = nullptr);

}  // namespace sim
