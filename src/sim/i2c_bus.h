// A pin-level I2C bus: two open-drain lines with pull-ups, on which every
// attached party can only pull a line low (wired AND). The bus may be split
// into segments joined by switches, which is how a demodulator's repeater
// connects the tuner behind it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

struct BusLevels {
    bool scl = true;
    bool sda = true;
};

// Something on the bus that watches the lines.
class I2cBusDevice {
public:
    virtual ~I2cBusDevice() = default;
    // Exactly one line differs between before and after. When both lines
    // move at once the bus reports them one at a time, data first while the
    // clock rises and clock first while it falls, so that a simultaneous
    // change never looks like a start or stop condition.
    virtual void busChanged(BusLevels before, BusLevels after) = 0;
};

class I2cBus {
public:
    // Time in nanoseconds and the levels of the main segment after a change.
    using TraceHook = std::function<void(std::uint64_t timeNs, bool scl, bool sda)>;

    static constexpr int kMainSegment = 0;

    I2cBus();

    // A new segment behind a switch, open (isolated, lines at their pull-ups)
    // until setJoined().
    int addSegment();
    void setJoined(int segment, bool joined);
    bool joined(int segment) const { return segments_[segment].joined; }

    // A party that can pull the lines of its segment low; returns its handle.
    // device may be null for a party that only drives (the bus master).
    int attach(I2cBusDevice* device, int segment);
    void drive(int handle, bool sclLow, bool sdaLow);

    BusLevels levels(int segment = kMainSegment) const { return segments_[segment].levels; }

    // The master keeps the time; changes caused by the slaves' reactions are
    // stamped a little later, like a real chip's output delay.
    void setTime(std::uint64_t ns) { nowNs_ = ns; }
    std::uint64_t time() const { return nowNs_; }
    void setReactionDelay(std::uint64_t ns) { reactionNs_ = ns; }

    void setTrace(TraceHook hook) { trace_ = std::move(hook); }

private:
    struct Driver {
        int segment = 0;
        bool sclLow = false;
        bool sdaLow = false;
    };
    struct Segment {
        bool joined = false;  // the main segment is always "joined" to itself
        int sclLow = 0;       // number of drivers pulling each line low
        int sdaLow = 0;
        BusLevels levels;
        std::vector<I2cBusDevice*> devices;
    };

    void settle();

    std::vector<Segment> segments_;
    std::vector<Driver> drivers_;
    TraceHook trace_;
    std::uint64_t nowNs_ = 0;
    std::uint64_t reactionNs_ = 0;
    bool settling_ = false;
};

// Loses a slave's acknowledge now and then: the slave believes it pulled SDA
// low, the master sees the line high. Seeded, so a run can be repeated.
class AckLoss {
public:
    AckLoss(double probability, std::uint64_t seed);
    bool lose();

private:
    std::uint64_t threshold_;  // out of 2^32
    std::uint64_t state_;
};

// The bit-level protocol of an I2C slave on top of the bus: it samples on the
// rising clock edge, changes SDA only while SCL is low, acknowledges during
// the ninth clock and shifts read data out until the master does not
// acknowledge. The chip itself is told about whole bytes.
class I2cSlave : public I2cBusDevice {
public:
    explicit I2cSlave(std::uint8_t address) : address_(address) {}

    void attach(I2cBus& bus, int segment);
    void setAckLoss(AckLoss* loss) { ackLoss_ = loss; }
    std::uint8_t address() const { return address_; }

    void busChanged(BusLevels before, BusLevels after) final;

protected:
    // The 8-bit address byte (read/write in bit 0); true acknowledges it.
    virtual bool acceptsAddress(std::uint8_t byte) const { return (byte & 0xFE) == address_; }
    virtual void addressed(bool read) { (void)read; }
    // A byte the master wrote; true acknowledges it. After a refusal the
    // slave ignores the bus until the next start condition.
    virtual bool received(std::uint8_t byte) = 0;
    // The next byte to send to a reading master.
    virtual std::uint8_t transmit() = 0;

private:
    enum class State : std::uint8_t { Idle, Receive, AckOut, Transmit, AckIn };

    void setSda(bool low);
    void byteComplete();
    void acknowledge();
    void loadTransmit();

    I2cBus* bus_ = nullptr;
    int handle_ = -1;
    AckLoss* ackLoss_ = nullptr;
    std::uint8_t address_;
    State state_ = State::Idle;
    bool addressPhase_ = false;
    bool reading_ = false;
    bool masterAck_ = false;
    bool sdaLow_ = false;
    std::uint8_t bits_ = 0;
    std::uint8_t shift_ = 0;
};

}  // namespace sim
