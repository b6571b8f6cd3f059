// The MPSSE command processor of an FT2232H channel, at pin level: it parses
// the command stream the host writes, drives ADBUS0 (clock, SCL) and ADBUS1
// (data out, SDA) onto an I2C bus, senses SDA through ADBUS2 (data in) and
// queues its answers for the host.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/channel_device.h"
#include "sim/i2c_bus.h"
#include "sim/usb_bridge.h"
#include "usb/platform_services.h"

namespace sim {

class MpsseEngine : public ChannelDevice {
public:
    struct Settings {
        // How answers travel to the host. Ideal (the default here) makes
        // each answer visible the moment it is made; Real holds them in the
        // chip until 0x87, the latency timer or a full packet.
        UsbTimingSettings usb{UsbTiming::Ideal, 0};
        // The engine takes commands but no answer ever reaches the host.
        bool silent = false;
    };

    // clock may be null: then the host sees every packet as soon as it has
    // left the chip, and the bus time runs on the commands only.
    MpsseEngine(I2cBus& bus, usb::Clock* clock, Settings settings);
    MpsseEngine(I2cBus& bus, usb::Clock* clock) : MpsseEngine(bus, clock, Settings{}) {}

    void write(const std::uint8_t* data, std::size_t count) override;
    std::size_t available() override;
    std::size_t read(std::uint8_t* dst, std::size_t count) override;
    void purgeReceive() override;
    void purgeTransmit() override;
    void reset() override;
    void setBitMode(std::uint8_t mask, std::uint8_t mode) override;
    void setLatencyTimer(std::uint8_t ms) override { bridge_.setLatencyTimerMs(ms); }
    // ADBUS0..7: what the outputs drive, SCL and SDA as the bus carries them
    // (ADBUS2 is wired to SDA), inputs high through their pull-ups.
    std::uint8_t pins() override;

    // State a test may want to look at.
    bool mpsseMode() const { return mpsse_; }
    bool stalled() const { return stalled_; }
    std::uint16_t clockDivisor() const { return divisor_; }
    bool divideBy5() const { return divideBy5_; }
    bool adaptiveClocking() const { return adaptive_; }
    bool threePhaseClocking() const { return threePhase_; }
    bool loopback() const { return loopback_; }
    double sclFrequencyHz() const;
    std::uint8_t lowValue() const { return lowValue_; }
    std::uint8_t lowDirection() const { return lowDir_; }
    std::uint8_t highValue() const { return highValue_; }
    std::uint8_t highDirection() const { return highDir_; }
    std::uint64_t timeNs() const;
    const UsbBridge& bridge() const { return bridge_; }

private:
    void enterMpsse();
    void leaveMpsse();
    void feed(std::uint8_t byte);
    void execute();
    void clockDataByte(std::uint8_t out);
    bool clockBit(bool out);
    // Clocks bits with no data out and nothing kept (the clock-only and
    // wait-on-GPIOL1 commands).
    void clockOnly(std::uint32_t bits);
    void updatePins();
    void setTdi(bool level);
    void setSclPin(bool level);
    void advance(std::uint64_t ticks);
    void answer(std::uint8_t byte);
    void syncToWallClock();
    // The host's time on the bus time base: nanoseconds since the first write.
    std::uint64_t hostNs();
    bool gpiol1() const;
    void setReactionDelay();
    std::uint64_t halfPeriod() const;

    I2cBus& bus_;
    usb::Clock* clock_;
    Settings settings_;
    int handle_;

    bool mpsse_ = false;
    bool stalled_ = false;  // waiting for a return clock that never comes

    // Parser: the opcode, its header bytes, and for data-out byte commands
    // the count of data bytes still to come.
    std::uint8_t op_ = 0;
    std::uint8_t header_[2] = {0, 0};
    int headerHave_ = 0;
    int headerNeed_ = -1;  // -1: waiting for an opcode
    std::uint32_t dataLeft_ = 0;

    std::uint8_t lowValue_ = 0;
    std::uint8_t lowDir_ = 0;
    std::uint8_t highValue_ = 0;
    std::uint8_t highDir_ = 0;
    bool sclPin_ = false;  // clock output level (differs from bit 0 while clocking)
    I2cBus::Drive sclDrive_ = I2cBus::Drive::Released;  // what the pins put on the bus
    I2cBus::Drive sdaDrive_ = I2cBus::Drive::Released;
    std::uint16_t divisor_ = 0;
    bool divideBy5_ = true;
    bool adaptive_ = false;
    bool threePhase_ = false;
    bool loopback_ = false;

    std::uint64_t ticks_ = 0;  // bus time in 240 MHz ticks (1/4 of the 60 MHz master clock)
    std::int64_t wallStart_ = 0;
    bool wallStarted_ = false;

    UsbBridge bridge_;
    ReceiveQueue host_;
};

}  // namespace sim
