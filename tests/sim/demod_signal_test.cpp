// The simulated demodulator's signal registers read as a driver reads them,
// and the transport stream that follows the lock. The raw values are
// checked with the chip's own tables, the way the program will read them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "catalogues/stv0903_signal.h"
#include "sim/board_setup.h"
#include "sim/demod_signal.h"
#include "sim/rf_signal.h"
#include "sim/ts_source.h"
#include "support/test_support.h"

using namespace sim;
namespace S = STV0903Signal;

namespace {

SignalConditions parsed(std::initializer_list<std::string> args) {
    SignalConditions c;
    for (const std::string& a : args) {
        std::string error;
        EXPECT_EQ(parseSignalOption(a, c, &error), OptionParse::Accepted) << a << ": " << error;
    }
    return c;
}

// The demodulator's signal side on a clock the test moves.
struct Chip {
    testing_support::FakeClock clock;
    std::shared_ptr<RfInput> rf;
    std::unique_ptr<DemodSignal> demod;

    explicit Chip(const SignalConditions& c) {
        rf = std::make_shared<RfInput>(c, clock);
        demod = std::make_unique<DemodSignal>(rf);
    }
    std::uint8_t read(std::uint16_t reg, std::uint8_t stored = 0) {
        const auto v = demod->read(reg, stored);
        EXPECT_TRUE(v.has_value()) << std::hex << reg;
        return v.value_or(0);
    }
    std::uint32_t word(std::initializer_list<std::uint16_t> regs) {
        std::uint32_t v = 0;
        for (std::uint16_t r : regs) v = v << 8 | read(r);
        return v;
    }
    // Error counter 2 and the count it looked at, each latched by its top byte.
    std::uint32_t errors() { return word({S::ERRCNT22, S::ERRCNT21, S::ERRCNT20}); }
    std::uint64_t counted() {
        const std::uint64_t top = read(S::FBERCPT4);
        return top << 32 | word({S::FBERCPT3, S::FBERCPT2, S::FBERCPT1, S::FBERCPT0});
    }
    double meanNoise(std::uint16_t high, std::uint16_t low) {
        double sum = 0;
        for (int i = 0; i < S::NoiseReadingsAveraged; ++i) sum += word({high, low});
        return sum / S::NoiseReadingsAveraged;
    }
    void at(double ms) { clock.nowUs = static_cast<std::int64_t>(ms * 1000); }
};

TEST(SignalOptions, DefaultsAndEveryOption) {
    const SignalConditions d;
    EXPECT_EQ(d.course, SignalCourse::Locked);
    EXPECT_EQ(d.system(), DeliverySystem::DvbS2);
    EXPECT_EQ(d.modcod(), (TransponderModcod{S::Modulation::Qpsk, {3, 4}}));
    EXPECT_DOUBLE_EQ(d.cnDb, 10);
    EXPECT_DOUBLE_EQ(d.levelDbm, -40);
    EXPECT_DOUBLE_EQ(d.symbolRateMsps, 27.5);

    const SignalConditions c = parsed({"--signal=locks-after=1500", "--modcod=16apsk-9/10", "--cn=-2.5",
                                       "--level=-62", "--ber=1e-6", "--carrier-offset=-1250.5",
                                       "--symbol-rate=4"});
    EXPECT_EQ(c.course, SignalCourse::LocksAfter);
    EXPECT_EQ(c.afterMs, 1500u);
    EXPECT_EQ(c.modcod(), (TransponderModcod{S::Modulation::Apsk16, {9, 10}}));
    EXPECT_DOUBLE_EQ(c.cnDb, -2.5);
    EXPECT_DOUBLE_EQ(c.levelDbm, -62);
    EXPECT_DOUBLE_EQ(c.ber, 1e-6);
    EXPECT_DOUBLE_EQ(c.carrierOffsetKhz, -1250.5);
    EXPECT_DOUBLE_EQ(c.symbolRateMsps, 4);
    EXPECT_EQ(parsed({"--signal=drops-after=0"}).course, SignalCourse::DropsAfter);
    EXPECT_EQ(parsed({"--signal=none"}).course, SignalCourse::None);

    // A DVB-S-only code rate decides the system; an ambiguous one follows --system.
    EXPECT_EQ(parsed({"--modcod=qpsk-7/8"}).system(), DeliverySystem::DvbS);
    EXPECT_EQ(parsed({"--modcod=qpsk-1/2"}).system(), DeliverySystem::DvbS2);
    EXPECT_EQ(parsed({"--system=dvbs", "--modcod=qpsk-1/2"}).system(), DeliverySystem::DvbS);
    EXPECT_EQ(parsed({"--modcod=qpsk-2/3", "--system=dvbs"}).system(), DeliverySystem::DvbS);
}

TEST(SignalOptions, BadValuesAndMismatchesAreRefusedWithTheReason) {
    const char* bad[] = {"--signal=maybe", "--signal=locks-after=", "--signal=locks-after=1e3",
                         "--signal=drops-after=-5", "--system=dvbt", "--modcod=qpsk", "--modcod=8psk-1/2",
                         "--modcod=64apsk-3/4", "--modcod=qpsk-3/4x", "--cn=ten", "--cn=61", "--cn=0x10",
                         "--level=5", "--level=-40dBm", "--ber=0.6", "--ber=-1e-3", "--ber=1e", "--carrier-offset=20000",
                         "--symbol-rate=0.5", "--symbol-rate=46", "--symbol-rate=27,5", "--cn=.5", "--cn=5."};
    for (const char* arg : bad) {
        SignalConditions c;
        std::string error;
        EXPECT_EQ(parseSignalOption(arg, c, &error), OptionParse::Malformed) << arg;
        EXPECT_FALSE(error.empty()) << arg;
    }
    SignalConditions c;
    std::string error;
    ASSERT_EQ(parseSignalOption("--system=dvbs", c, &error), OptionParse::Accepted);
    EXPECT_EQ(parseSignalOption("--modcod=8psk-2/3", c, &error), OptionParse::Malformed);
    EXPECT_EQ(error, "--modcod=8psk-2/3 is not carried by --system=dvbs");
    c = SignalConditions{};
    ASSERT_EQ(parseSignalOption("--modcod=qpsk-7/8", c, &error), OptionParse::Accepted);
    EXPECT_EQ(parseSignalOption("--system=dvbs2", c, &error), OptionParse::Malformed);
    EXPECT_EQ(error, "--system=dvbs2 does not carry --modcod=qpsk-7/8");
    EXPECT_EQ(parseSignalOption("--ts-rate=8", c, &error), OptionParse::NotMine);
    EXPECT_EQ(parseSignalOption("--fault=ts-none", c, &error), OptionParse::NotMine);

    // The board offers every argument to each part; --help lists them.
    BoardSetup setup;
    EXPECT_EQ(parseBoardOption("--cn=7.5", setup, &error), OptionParse::Accepted);
    EXPECT_DOUBLE_EQ(setup.signal.cnDb, 7.5);
    for (const char* option : {"--signal=", "--system=", "--modcod=", "--cn=", "--level=", "--ber=",
                               "--carrier-offset=", "--symbol-rate="})
        EXPECT_NE(boardOptionsHelp().find(option), std::string::npos) << option;
}

// The registers a driver reads, locked, as its own conversions see them.
TEST(SimulatedDemodulator, LockedDvbS2ReadsBackEveryFigure) {
    Chip chip(parsed({"--modcod=8psk-2/3", "--cn=7.5", "--level=-47.5", "--carrier-offset=-1500",
                      "--symbol-rate=22"}));
    chip.at(100);
    EXPECT_EQ(chip.read(S::DSTATUS), 0xE8);  // carrier and timing locked, lock final
    EXPECT_EQ(S::HEADER_MODE.get(chip.read(S::DMDSTATE)), 2);
    EXPECT_EQ(chip.read(S::PDELSTATUS1), 0x03);
    EXPECT_EQ(chip.read(S::VSTATUSVIT), 0x00);
    EXPECT_EQ(S::TSFIFO_LINEOK.get(chip.read(S::TSSTATUS)), 1);
    // MODCOD 13 (8PSK 2/3), normal frames, no pilots; the manual bit stays the host's.
    EXPECT_EQ(chip.read(S::DMDMODCOD, 0x80), 0x80 | 13 << 2);
    EXPECT_NEAR(S::Lookup(S::RfLevelTable, chip.word({S::AGCIQIN1, S::AGCIQIN0})), -47.5, 0.01);
    EXPECT_NEAR(S::CarrierOffsetHz(chip.word({S::CFR2, S::CFR1, S::CFR0})), -1.5e6, 10);
    EXPECT_NEAR(S::SymbolRateHz(chip.word({S::SFR3, S::SFR2, S::SFR1, S::SFR0})), 22e6, 1);
    // 22 Msym/s of 8PSK 2/3 in normal frames: 22e6 x (43040 - 80) / (21600 + 90).
    EXPECT_NEAR(S::TsBitRate(static_cast<std::uint16_t>(chip.word({S::TSBITRATE1, S::TSBITRATE0}))),
                22e6 * 42960 / 21690, 8300);
    EXPECT_NEAR(S::Lookup(S::Dvbs2CnTable, chip.meanNoise(S::NNOSPLHT1, S::NNOSPLHT0)), 7.5, 0.2);
}

TEST(SimulatedDemodulator, LockedDvbSShowsTheViterbiDecoderAndItsRate) {
    Chip chip(parsed({"--system=dvbs", "--modcod=qpsk-5/6", "--cn=12"}));
    EXPECT_EQ(S::HEADER_MODE.get(chip.read(S::DMDSTATE)), 3);
    EXPECT_EQ(chip.read(S::VSTATUSVIT), 0x18);
    EXPECT_EQ(chip.read(S::PDELSTATUS1), 0x00);
    EXPECT_EQ(S::ViterbiRate(S::VIT_CURPUN.get(chip.read(S::VITCURPUN))), (S::CodeRate{5, 6}));
    EXPECT_EQ(chip.read(S::DMDMODCOD, 0x1C), 0x1C);  // DVB-S has no MODCOD: the host's value stays
    EXPECT_NEAR(S::Lookup(S::DvbsCnTable, chip.meanNoise(S::NOSDATAT1, S::NOSDATAT0)), 12, 0.2);
    // 27.5 Msym/s QPSK 5/6 with 204-byte Reed-Solomon packets.
    EXPECT_NEAR(S::TsBitRate(static_cast<std::uint16_t>(chip.word({S::TSBITRATE1, S::TSBITRATE0}))),
                27.5e6 * 2 * 5 / 6 * 188 / 204, 8300);
}

// Sixteen readings average to the set C/N within 0.2 dB over the range a
// bench sees, while single readings scatter as the chip's do.
TEST(SimulatedDemodulator, NoiseReadingsJitterAndAverageToTheSetCn) {
    for (double cn = 0; cn <= 25; cn += 0.5) {
        for (const char* system : {"--system=dvbs", "--system=dvbs2"}) {
            Chip chip(parsed({system, "--cn=" + std::to_string(cn)}));
            const bool s2 = std::string(system) == "--system=dvbs2";
            const auto& table = s2 ? S::Dvbs2CnTable : S::DvbsCnTable;
            const std::uint16_t high = s2 ? S::NNOSPLHT1 : S::NOSDATAT1, low = s2 ? S::NNOSPLHT0 : S::NOSDATAT0;
            EXPECT_NEAR(S::Lookup(table, chip.meanNoise(high, low)), cn, 0.2) << system << " " << cn;
            std::vector<std::uint32_t> readings;
            for (int i = 0; i < 8; ++i) readings.push_back(chip.word({high, low}));
            EXPECT_NE(*std::min_element(readings.begin(), readings.end()),
                      *std::max_element(readings.begin(), readings.end()));
        }
    }
    // Before anyone reads them the registers hold the settled value, so that
    // one byte read alone belongs to it.
    Chip chip(parsed({"--cn=7.5"}));
    EXPECT_EQ(chip.read(S::NNOSPLHT0), std::lround(S::InverseLookup(S::Dvbs2CnTable, 7.5)) & 0xFF);
}

TEST(SimulatedDemodulator, LockStagesFollowTheSignalOverTime) {
    Chip locks(parsed({"--signal=locks-after=1000"}));
    locks.at(500);
    EXPECT_EQ(locks.read(S::DSTATUS), 0x00);
    EXPECT_EQ(S::HEADER_MODE.get(locks.read(S::DMDSTATE)), 0);
    EXPECT_EQ(locks.read(S::TSSTATUS), 0x00);
    EXPECT_EQ(locks.read(S::TSBITRATE1), 0x00);
    // The carrier is there before the lock: the AGC sees its level.
    EXPECT_NEAR(S::Lookup(S::RfLevelTable, locks.word({S::AGCIQIN1, S::AGCIQIN0})), -40, 0.01);
    // While nothing is locked, SFR and CFR show where the host started the search.
    EXPECT_EQ(locks.read(S::SFR3, 0x07), 0x07);
    locks.at(975);  // the carrier first, then the PL header, then the FEC, then the stream
    EXPECT_EQ(locks.read(S::DSTATUS), 0xE0);
    EXPECT_EQ(S::HEADER_MODE.get(locks.read(S::DMDSTATE)), 1);
    locks.at(985);
    EXPECT_EQ(locks.read(S::DSTATUS), 0xE8);
    EXPECT_EQ(locks.read(S::PDELSTATUS1), 0x00);
    locks.at(995);
    EXPECT_EQ(locks.read(S::PDELSTATUS1), 0x03);
    EXPECT_EQ(locks.read(S::TSSTATUS), 0x00);
    locks.at(1000);
    EXPECT_EQ(locks.read(S::TSSTATUS), 0x80);

    Chip drops(parsed({"--signal=drops-after=1500"}));
    drops.at(1499);
    EXPECT_EQ(drops.read(S::DSTATUS), 0xE8);
    drops.at(1500);
    EXPECT_EQ(drops.read(S::DSTATUS), 0x00);
    EXPECT_EQ(drops.read(S::TSSTATUS), 0x00);
    // No carrier: the AGC reads below the level table.
    EXPECT_FALSE(S::WithinTable(S::RfLevelTable, drops.word({S::AGCIQIN1, S::AGCIQIN0})));

    Chip none(parsed({"--signal=none"}));
    EXPECT_EQ(none.read(S::DSTATUS), 0x00);
    EXPECT_EQ(none.read(S::PDELSTATUS1), 0x00);
    EXPECT_FALSE(S::WithinTable(S::RfLevelTable, none.word({S::AGCIQIN1, S::AGCIQIN0})));
    // Without a final lock the noise readings sit at the table's worst end.
    EXPECT_LT(S::Lookup(S::Dvbs2CnTable, none.meanNoise(S::NNOSPLHT1, S::NNOSPLHT0)), 0);
}

TEST(SimulatedDemodulator, ErrorCountersCountAtTheSetRateAndRestartOnWrite) {
    // DVB-S counts bits: 27.5 Msym/s x 2 x 3/4 = 41.25 Mbit/s at the Viterbi decoder.
    Chip s(parsed({"--system=dvbs", "--ber=1e-4"}));
    s.demod->written(S::ERRCTRL2, 0xC0);
    s.demod->written(S::FBERCPT4, 0);
    s.at(200);
    const double errors = s.errors(), counted = static_cast<double>(s.counted());
    EXPECT_NEAR(counted, 41.25e6 * 0.2, 2);
    EXPECT_NEAR(errors / counted, 1e-4, 1e-6);
    // A write restarts each counter.
    s.demod->written(S::ERRCTRL2, 0xC0);
    EXPECT_EQ(s.errors(), 0u);
    EXPECT_NEAR(static_cast<double>(s.counted()), 41.25e6 * 0.2, 2);
    s.demod->written(S::FBERCPT4, 0);
    EXPECT_EQ(s.counted(), 0u);

    // DVB-S2 counts packets, each in error when any of its 1504 bits is.
    Chip s2(parsed({"--ber=1e-5", "--signal=drops-after=100"}));
    s2.at(1000);  // counting stops with the lock
    const double packets = static_cast<double>(s2.counted());
    EXPECT_NEAR(packets, SignalConditions{}.tsBitRate() / 1504 * 0.1, 1);
    EXPECT_NEAR(s2.errors() / packets, 1 - std::pow(1 - 1e-5, 1504), 2e-3);

    // A clean signal counts no errors; the 23-bit counter saturates.
    Chip clean(parsed({}));
    clean.at(5000);
    EXPECT_EQ(clean.errors(), 0u);
    EXPECT_GT(clean.counted(), 0u);
    Chip awful(parsed({"--system=dvbs", "--ber=0.5"}));
    awful.at(60000);
    EXPECT_EQ(awful.errors(), S::ErrorCounterMax);
}

// The share of I/Q samples that fall within a quarter of the closest pair's
// distance of a constellation point.
double clustered(Chip& chip, int samples) {
    const auto points = DemodSignal::constellation(chip.rf->conditions());
    double spacing = std::numeric_limits<double>::max();
    for (std::size_t a = 0; a < points.size(); ++a)
        for (std::size_t b = a + 1; b < points.size(); ++b)
            spacing = std::min(spacing, std::hypot(points[a].first - points[b].first,
                                                   points[a].second - points[b].second));
    int near = 0;
    for (int k = 0; k < samples; ++k) {
        const double i = static_cast<std::int8_t>(chip.read(S::ISYMB));
        const double q = static_cast<std::int8_t>(chip.read(S::QSYMB));
        for (const auto& [pi, pq] : points)
            if (std::hypot(i - pi, q - pq) < spacing / 4) {
                ++near;
                break;
            }
    }
    return static_cast<double>(near) / samples;
}

TEST(SimulatedDemodulator, IqPointsGatherOnTheConstellationOnlyWhileLocked) {
    struct Case {
        std::vector<std::string> args;
        std::size_t points;
    };
    const Case cases[] = {{{"--system=dvbs"}, 4},
                          {{"--modcod=8psk-2/3"}, 8},
                          {{"--modcod=16apsk-3/4"}, 16},
                          {{"--modcod=32apsk-5/6"}, 32}};
    for (const Case& c : cases) {
        SignalConditions conditions;
        std::string error;
        for (const auto& a : c.args) parseSignalOption(a, conditions, &error);
        EXPECT_EQ(DemodSignal::constellation(conditions).size(), c.points);
        // Every point fits a signed byte with room for the noise.
        for (const auto& [i, q] : DemodSignal::constellation(conditions))
            EXPECT_LT(std::hypot(i, q), 100);
    }
    Chip clear(parsed({"--modcod=8psk-2/3", "--cn=20"}));
    EXPECT_GT(clustered(clear, 2000), 0.9);
    Chip noisy(parsed({"--modcod=8psk-2/3", "--cn=3"}));
    EXPECT_LT(clustered(noisy, 2000), 0.5);
    Chip searching(parsed({"--modcod=8psk-2/3", "--cn=20", "--signal=locks-after=1000"}));
    EXPECT_LT(clustered(searching, 2000), 0.3);
}

TEST(SimulatedDemodulator, OtherRegistersAreLeftToTheRegisterFile) {
    Chip chip(parsed({}));
    for (std::uint16_t reg : {0xF100, 0xF12A, 0xF536, 0xF59C, 0xF1B3, 0xF45E})
        EXPECT_FALSE(chip.demod->read(reg, 0x5A).has_value()) << std::hex << reg;
}

// Channel B carries the stream only while the demodulator's TS stage is
// locked; the stream resumes at the packet due, as after a relock.
TEST(SignalOnChannelB, StreamFlowsOnlyWhileLocked) {
    testing_support::FakeClock clock;
    ChannelBOptions eight;
    auto locks = std::make_shared<RfInput>(parsed({"--signal=locks-after=500"}), clock);
    TsFifo fifo(eight, clock, {}, locks);
    fifo.opened();
    clock.nowUs = 400'000;
    EXPECT_EQ(fifo.available(), 0u);
    clock.nowUs = 550'000;  // 50 ms at 8 Mbit/s after the lock: 265 or 266 packets
    EXPECT_NEAR(static_cast<double>(fifo.available()), 265.5 * TsPacketSize, TsPacketSize);
    EXPECT_EQ(fifo.droppedBytes(), 0u);

    auto drops = std::make_shared<RfInput>(parsed({"--signal=drops-after=100"}), clock);
    clock.nowUs = 0;
    TsFifo dropping(eight, clock, {}, drops);
    dropping.opened();
    clock.nowUs = 1'000'000;
    EXPECT_NEAR(static_cast<double>(dropping.available()), 531.9 * TsPacketSize, TsPacketSize);

    ChannelBOptions max;
    max.rateMbit = 0;
    auto none = std::make_shared<RfInput>(parsed({"--signal=none"}), clock);
    TsFifo silent(max, clock, {}, none);
    silent.opened();
    std::uint8_t chunk[1316];
    EXPECT_EQ(silent.read(chunk, sizeof chunk), 0u);
}

}  // namespace
