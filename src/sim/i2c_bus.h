// A pin-level I2C bus: two lines with pull-ups. The slaves can only pull a
// line low (open drain, wired AND); the FT2232H's pins are push-pull, so the
// master may also drive a line high. A line driven high by one party while
// another pulls it low is a contention: the series resistors on the board
// limit the current and the low side wins, and the bus counts it. The bus
// may be split into segments joined by switches, which is how a
// demodulator's repeater connects the tuner behind it.
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
    // Time and whether any line is in contention now, on every change of that.
    using ContentionHook = std::function<void(std::uint64_t timeNs, bool contention)>;

    enum class Drive : std::uint8_t { Released, Low, High };

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
    // A push-pull party: each line released, pulled low or driven high.
    void drivePins(int handle, Drive scl, Drive sda);

    // Times a line was in contention (a party driving it high while another
    // pulled it low), and whether one is now. A slave starts pulling a line
    // only its output delay after the clock edge that tells it to, so an
    // overlap that a master ends sooner never happens on the wire: it counts
    // (and shows in the trace) from that delay on.
    static constexpr std::uint64_t SlaveOutputDelayNs = 300;
    std::uint64_t contentions() const { return contentions_; }
    bool inContention() const { return contending_; }
    void setContentionTrace(ContentionHook hook) { contentionTrace_ = std::move(hook); }

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
        bool sclHigh = false;
        bool sdaHigh = false;
    };
    struct Segment {
        bool joined = false;  // the main segment is always "joined" to itself
        int sclLow = 0;       // number of drivers pulling each line low
        int sdaLow = 0;
        int sclHigh = 0;      // number of drivers driving each line high
        int sdaHigh = 0;
        BusLevels levels;
        std::vector<I2cBusDevice*> devices;
    };

    void settle();
    void checkContention();

    std::vector<Segment> segments_;
    std::vector<Driver> drivers_;
    TraceHook trace_;
    ContentionHook contentionTrace_;
    std::uint64_t contentions_ = 0;
    bool contending_ = false;
    struct LineContention {
        bool active = false;   // driven high and pulled low right now
        bool counted = false;  // lasted longer than a slave's output delay
        std::uint64_t sinceNs = 0;
    };
    void updateContention(LineContention& line, bool now);
    void showContention(std::uint64_t timeNs);
    LineContention sclContention_;
    LineContention sdaContention_;
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
