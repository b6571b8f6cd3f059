// Push-pull pins against open-drain slaves: when the master drives a line
// high while a slave pulls it low, the low side wins, and the bus counts the
// contention once it has lasted longer than a slave's output delay.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "host_stream.h"
#include "sim/i2c_bus.h"
#include "sim/mpsse_engine.h"

namespace {

using Drive = sim::I2cBus::Drive;

struct TwoParties {
    sim::I2cBus bus;
    int master = bus.attach(nullptr, sim::I2cBus::kMainSegment);
    int slave = bus.attach(nullptr, sim::I2cBus::kMainSegment);
    std::vector<std::pair<std::uint64_t, bool>> shown;
    TwoParties() {
        bus.setContentionTrace([this](std::uint64_t t, bool on) { shown.emplace_back(t, on); });
    }
};

TEST(Contention, ALowPullAgainstAHighDriveWinsAndCountsOnceItOutlastsTheOutputDelay) {
    TwoParties p;
    p.bus.drivePins(p.master, Drive::High, Drive::High);
    EXPECT_TRUE(p.bus.levels().sda);

    // A brief overlap: the slave would not have started pulling yet.
    p.bus.setTime(1000);
    p.bus.drive(p.slave, false, true);
    EXPECT_FALSE(p.bus.levels().sda) << "the low side wins";
    p.bus.setTime(1000 + sim::I2cBus::SlaveOutputDelayNs - 1);
    p.bus.drivePins(p.master, Drive::High, Drive::Released);
    EXPECT_EQ(p.bus.contentions(), 0u);
    EXPECT_TRUE(p.shown.empty());

    // A long one counts once, and shows from the output delay on.
    p.bus.setTime(5000);
    p.bus.drivePins(p.master, Drive::High, Drive::High);
    p.bus.setTime(5100);
    p.bus.drivePins(p.master, Drive::Low, Drive::High);  // the clock moves: still the same contention
    p.bus.setTime(9000);
    p.bus.drive(p.slave, false, false);
    EXPECT_EQ(p.bus.contentions(), 1u);
    EXPECT_FALSE(p.bus.inContention());
    EXPECT_EQ(p.shown, (std::vector<std::pair<std::uint64_t, bool>>{{5300, true}, {9000, false}}));

    // Driving low or releasing against a low pull is no contention.
    p.bus.drivePins(p.master, Drive::Released, Drive::Released);
    p.bus.drive(p.slave, false, true);
    p.bus.setTime(20000);
    p.bus.drivePins(p.master, Drive::Low, Drive::Low);
    p.bus.setTime(30000);
    p.bus.drivePins(p.master, Drive::Released, Drive::Released);
    p.bus.setTime(40000);
    p.bus.drive(p.slave, false, false);
    EXPECT_EQ(p.bus.contentions(), 1u);
}

// A slave that keeps sending after the master acknowledged the byte it
// meant to be the last: the stop drives SDA high against the slave's zero.
class Talker : public sim::I2cSlave {
public:
    Talker() : I2cSlave(0xC0) {}

protected:
    bool received(std::uint8_t) override { return true; }
    std::uint8_t transmit() override { return 0x00; }
};

TEST(Contention, AStopAgainstASlaveStillSendingIsCounted) {
    simtest::ManualClock clock;
    sim::I2cBus bus;
    Talker talker;
    talker.attach(bus, sim::I2cBus::kMainSegment);
    sim::MpsseEngine engine(bus, &clock);
    engine.setBitMode(0, 2);
    simtest::Host host(engine);
    host.init();
    // One byte read and acknowledged, as the tuner read-back does for its
    // last byte; the slave then drives the first bit of the next, a zero.
    const auto got = host.readCurrent(0xC0, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(bus.contentions(), 1u);
    EXPECT_FALSE(bus.levels().sda) << "the slave keeps SDA low: the stop never happens";
}

}  // namespace
