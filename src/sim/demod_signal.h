// The STV0903's status and measurement registers as the chip fills them
// from the signal at its input: lock stages, AGC, noise, carrier offset,
// symbol rate, MODCOD, error counters, TS bit rate and the I/Q of the
// current symbol. The raw values are what the chip's own tables and clock
// make of the signal; readings that jitter on the chip jitter here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "sim/rf_signal.h"

namespace sim {

class DemodSignal {
public:
    // seed: the noise of the readings and of the I/Q points, so that a run
    // can be repeated.
    explicit DemodSignal(std::shared_ptr<RfInput> rf, std::uint64_t seed = 1);

    // What a read of reg returns, if the demodulator sets that register
    // itself; stored is what the register file holds (the host's last
    // write), which some registers show while the demodulator has no lock.
    std::optional<std::uint8_t> read(std::uint16_t reg, std::uint8_t stored);
    // A host write; some restart what the chip counts.
    void written(std::uint16_t reg, std::uint8_t value);

    RfInput& rf() { return *rf_; }

    // The constellation of a modulation, scaled to an RMS amplitude of
    // RmsAmplitude: the points the I/Q samples scatter around.
    static std::vector<std::pair<double, double>> constellation(const SignalConditions& c);
    static constexpr double RmsAmplitude = 64.0;
    // Spread of single noise readings: in dB of C/N while locked (sixteen
    // of them average to within a few hundredths of a dB), as a share of
    // the raw value while the estimator has nothing to hold on to.
    static constexpr double NoiseJitterDb = 0.2;
    static constexpr double UnlockedNoiseJitter = 0.015;

private:
    std::uint16_t noiseReading(const STV0903Signal::LookupTable& table, bool locked);
    void nextSymbol(bool locked);
    std::uint64_t counted(double fromMs, double toMs) const;

    std::shared_ptr<RfInput> rf_;
    std::mt19937_64 random_;
    std::vector<std::pair<double, double>> points_;
    double noiseSigma_;  // per dimension, from the C/N

    // The chip latches the low byte of a 16-bit reading (and Q with I) when
    // the first byte is read, so that the pair belongs together.
    std::uint16_t nnosplht_;
    std::uint16_t nosdatat_;
    std::int8_t iLatch_ = 0;
    std::int8_t qLatch_ = 0;
    std::uint32_t errorsLatch_ = 0;
    std::uint64_t countLatch_ = 0;
    double errorsSinceMs_ = 0;  // the counters restart with a write
    double countSinceMs_ = 0;
};

}  // namespace sim
