// A scripted board for the front-end tests: a demodulator at 0xD0 or 0xD4
// whose repeater (0xF12A bit 7) connects a tuner at 0xC0, on the scripted
// channel A of the I2C tests; and a readable summary of the bus traffic.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "i2c/fake_mpsse.h"

namespace frontend_test {

struct Board : fake::Rig {
    fake::RegisterChip demod;
    fake::TunerChip tuner;

    explicit Board(std::uint8_t demodAddress = 0xD4, std::size_t tunerRegisters = 12)
        : demod(demodAddress), tuner(0xC0, tunerRegisters) {
        demod.regs[0xF100] = 0x20;
        tuner.reachable = [this] { return (demod.reg(0xF12A) & 0x80) != 0; };
        lib.slaves = {&demod, &tuner};
    }
};

// Every complete, fully acknowledged write transaction, as "D4:F12A=C8"
// (16-bit register) or "C0:01=E1" (tuner).
inline std::vector<std::string> completedWrites(const fake::Mpsse& lib) {
    std::vector<std::string> out;
    for (const fake::Transaction& t : lib.transactions) {
        if (!t.stopped || t.written.empty() || (t.written[0] & 1)) continue;
        bool allAcked = true;
        for (bool a : t.acked) allAcked = allAcked && a;
        if (!allAcked) continue;
        char text[32];
        if (t.written.size() == 4) {
            std::snprintf(text, sizeof text, "%02X:%02X%02X=%02X", t.written[0], t.written[1],
                          t.written[2], t.written[3]);
        } else if (t.written.size() == 3) {
            std::snprintf(text, sizeof text, "%02X:%02X=%02X", t.written[0], t.written[1],
                          t.written[2]);
        } else {
            continue;
        }
        out.emplace_back(text);
    }
    return out;
}

}  // namespace frontend_test
