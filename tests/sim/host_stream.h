// The byte streams a host sends to drive the I2C bus through the MPSSE, built
// the way the program's I2C master builds them.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/channel_device.h"

namespace simtest {

inline const std::vector<std::uint8_t> kSetup = {0x8A, 0x97, 0x8D, 0x80, 0x13, 0x13, 0x82,
                                                 0x0F, 0x0F, 0x86, 0x95, 0x00, 0x85};

// One host talking to channel A: a command buffer that is sent in batches,
// and the pin bookkeeping of the low GPIO byte.
class Host {
public:
    explicit Host(sim::ChannelDevice& device) : dev_(device) {}

    // Reset, MPSSE mode and the 200 kHz I2C set-up.
    void init() {
        dev_.reset();
        dev_.purgeTransmit();
        dev_.purgeReceive();
        dev_.setBitMode(0, 0);
        dev_.setBitMode(0, 2);
        out = kSetup;
        send();
        pins = 0x13;
    }

    void queue(std::initializer_list<std::uint8_t> bytes) { out.insert(out.end(), bytes); }
    void pin(std::uint8_t dir) { queue({0x80, pins, dir}); }
    void send() {
        if (!out.empty()) dev_.write(out.data(), out.size());
        out.clear();
    }
    std::vector<std::uint8_t> receiveAll() {
        std::vector<std::uint8_t> got(dev_.available());
        got.resize(dev_.read(got.data(), got.size()));
        return got;
    }
    std::vector<std::uint8_t> roundTrip(const std::vector<std::uint8_t>& bytes) {
        dev_.write(bytes.data(), bytes.size());
        return receiveAll();
    }

    void start() {
        out.clear();
        pins |= 0x03;
        for (int i = 0; i < 4; ++i) pin(0x13);
        pins &= ~0x02;
        for (int i = 0; i < 4; ++i) pin(0x13);
        pins &= ~0x01;
        pin(0x13);
    }
    void stop() {
        out.clear();
        pins = static_cast<std::uint8_t>((pins | 0x01) & ~0x02);
        for (int i = 0; i < 4; ++i) pin(0x13);
        pins |= 0x02;
        for (int i = 0; i < 4; ++i) pin(0x13);
        pin(0x10);
        send();
    }
    // True when the slave acknowledged; an answer that never comes is a NACK.
    bool writeByte(std::uint8_t value) {
        queue({0x11, 0x00, 0x00, value});
        pin(0x11);
        queue({0x27, 0x00, 0x87});
        send();
        const auto got = receiveAll();
        pin(0x13);
        return got.size() == 1 && (got[0] & 0x01) == 0;
    }
    std::uint8_t readByte(bool* answered = nullptr) {
        pin(0x11);
        queue({0x25, 0x00, 0x00, 0x87});
        send();
        const auto got = receiveAll();
        pin(0x13);
        if (answered) *answered = got.size() == 1;
        return got.empty() ? 0 : got[0];
    }
    void ackBit() {
        queue({0x13, 0x00, 0x00});
        send();
    }

    // Without retries: all-or-nothing transactions, each acknowledge recorded.
    bool writeRegister(std::uint8_t device, std::uint16_t reg, std::uint8_t value) {
        pins &= ~0x10;
        start();
        bool ok = writeByte(device & 0xFE);
        ok = writeByte(static_cast<std::uint8_t>(reg >> 8)) && ok;
        ok = writeByte(static_cast<std::uint8_t>(reg)) && ok;
        ok = writeByte(value) && ok;
        stop();
        return ok;
    }
    bool readRegister(std::uint8_t device, std::uint16_t reg, std::uint8_t* value) {
        start();
        bool ok = writeByte(device & 0xFE) && writeByte(static_cast<std::uint8_t>(reg >> 8)) &&
                  writeByte(static_cast<std::uint8_t>(reg));
        if (ok) {
            start();
            ok = writeByte(device | 1);
            if (ok) *value = readByte(&ok);
        }
        stop();
        return ok;
    }
    // An 8-bit-addressed write of several bytes from reg on.
    bool writeRegisters8(std::uint8_t device, std::uint8_t reg, const std::vector<std::uint8_t>& values) {
        start();
        bool ok = writeByte(device & 0xFE) && writeByte(reg);
        for (std::uint8_t v : values) ok = ok && writeByte(v);
        stop();
        return ok;
    }
    // Reads n bytes from the slave's current position, acknowledging each.
    std::vector<std::uint8_t> readCurrent(std::uint8_t device, int n, bool* addressed = nullptr) {
        start();
        const bool ok = writeByte(device | 1);
        if (addressed) *addressed = ok;
        std::vector<std::uint8_t> got;
        for (int i = 0; i < n && ok; ++i) {
            got.push_back(readByte());
            ackBit();  // goes out with the SDA-drive command the read left queued
        }
        stop();
        return got;
    }

    std::vector<std::uint8_t> out;
    std::uint8_t pins = 0x13;

private:
    sim::ChannelDevice& dev_;
};

}  // namespace simtest
