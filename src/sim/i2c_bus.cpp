#include "sim/i2c_bus.h"

#include <algorithm>
#include <cmath>

namespace sim {

I2cBus::I2cBus() { segments_.emplace_back(); }

int I2cBus::addSegment() {
    segments_.emplace_back();
    return static_cast<int>(segments_.size()) - 1;
}

void I2cBus::setJoined(int segment, bool joined) {
    if (segment == kMainSegment || segments_[segment].joined == joined) return;
    segments_[segment].joined = joined;
    settle();
    checkContention();
}

int I2cBus::attach(I2cBusDevice* device, int segment) {
    drivers_.push_back(Driver{segment, false, false});
    if (device) segments_[segment].devices.push_back(device);
    return static_cast<int>(drivers_.size()) - 1;
}

void I2cBus::drive(int handle, bool sclLow, bool sdaLow) {
    Driver& d = drivers_[handle];
    if (d.sclLow == sclLow && d.sdaLow == sdaLow) return;
    Segment& s = segments_[d.segment];
    s.sclLow += (sclLow ? 1 : 0) - (d.sclLow ? 1 : 0);
    s.sdaLow += (sdaLow ? 1 : 0) - (d.sdaLow ? 1 : 0);
    d.sclLow = sclLow;
    d.sdaLow = sdaLow;
    settle();
}

void I2cBus::drivePins(int handle, Drive scl, Drive sda) {
    Driver& d = drivers_[handle];
    const bool sclHigh = scl == Drive::High;
    const bool sdaHigh = sda == Drive::High;
    if (d.sclHigh != sclHigh || d.sdaHigh != sdaHigh) {
        Segment& s = segments_[d.segment];
        s.sclHigh += (sclHigh ? 1 : 0) - (d.sclHigh ? 1 : 0);
        s.sdaHigh += (sdaHigh ? 1 : 0) - (d.sdaHigh ? 1 : 0);
        d.sclHigh = sclHigh;
        d.sdaHigh = sdaHigh;
    }
    // drive() settles and looks for contention even when no level moves.
    const bool sclLow = scl == Drive::Low;
    const bool sdaLow = sda == Drive::Low;
    if (d.sclLow == sclLow && d.sdaLow == sdaLow) {
        checkContention();
        return;
    }
    drive(handle, sclLow, sdaLow);
}

void I2cBus::checkContention() {
    int sclLow = 0, sdaLow = 0, sclHigh = 0, sdaHigh = 0;
    bool scl = false;
    bool sda = false;
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        const Segment& s = segments_[i];
        if (i == kMainSegment || s.joined) {
            sclLow += s.sclLow;
            sdaLow += s.sdaLow;
            sclHigh += s.sclHigh;
            sdaHigh += s.sdaHigh;
        } else {
            scl = scl || (s.sclLow > 0 && s.sclHigh > 0);
            sda = sda || (s.sdaLow > 0 && s.sdaHigh > 0);
        }
    }
    scl = scl || (sclLow > 0 && sclHigh > 0);
    sda = sda || (sdaLow > 0 && sdaHigh > 0);
    updateContention(sclContention_, scl);
    updateContention(sdaContention_, sda);
    showContention(nowNs_);
}

void I2cBus::updateContention(LineContention& line, bool now) {
    if (now && !line.active) {
        line = LineContention{true, false, nowNs_};
        return;
    }
    if (!line.active) return;
    const std::uint64_t due = line.sinceNs + SlaveOutputDelayNs;
    if (!line.counted && nowNs_ >= due) {
        line.counted = true;
        ++contentions_;
        showContention(due);
    }
    if (!now) line.active = false;
}

void I2cBus::showContention(std::uint64_t timeNs) {
    const bool any = (sclContention_.active && sclContention_.counted) ||
                     (sdaContention_.active && sdaContention_.counted);
    if (any == contending_) return;
    contending_ = any;
    if (contentionTrace_) contentionTrace_(timeNs, any);
}

void I2cBus::settle() {
    // A device reacting to a change drives the bus again from inside its
    // callback; the outer loop picks that up, so every device sees the
    // changes in the order they happened.
    if (settling_) return;
    settling_ = true;
    bool first = true;
    for (int guard = 0; guard < 256; ++guard) {
        // The main segment and every segment switched onto it form one wire pair.
        int groupScl = 0;
        int groupSda = 0;
        for (std::size_t i = 0; i < segments_.size(); ++i) {
            const Segment& s = segments_[i];
            if (i == kMainSegment || s.joined) {
                groupScl += s.sclLow;
                groupSda += s.sdaLow;
            }
        }
        int changed = -1;
        BusLevels before;
        BusLevels after;
        for (std::size_t i = 0; i < segments_.size(); ++i) {
            const Segment& s = segments_[i];
            const bool grouped = i == kMainSegment || s.joined;
            const BusLevels want{(grouped ? groupScl : s.sclLow) == 0, (grouped ? groupSda : s.sdaLow) == 0};
            const BusLevels cur = s.levels;
            if (want.scl == cur.scl && want.sda == cur.sda) continue;
            changed = static_cast<int>(i);
            before = cur;
            after = cur;
            if (want.scl != cur.scl && want.sda != cur.sda) {
                if (want.scl) after.sda = want.sda;  // data settles before the clock rises
                else after.scl = want.scl;           // the clock falls before data moves
            } else {
                after = want;
            }
            break;
        }
        if (changed < 0) break;
        Segment& s = segments_[changed];
        s.levels = after;
        if (changed == kMainSegment && trace_)
            trace_(first ? nowNs_ : nowNs_ + reactionNs_, after.scl, after.sda);
        first = false;
        for (I2cBusDevice* d : s.devices) d->busChanged(before, after);
    }
    settling_ = false;
    checkContention();
}

AckLoss::AckLoss(double probability, std::uint64_t seed) : state_(seed) {
    const double p = std::clamp(probability, 0.0, 1.0);
    threshold_ = static_cast<std::uint64_t>(std::llround(p * 4294967296.0));
}

bool AckLoss::lose() {
    if (threshold_ == 0) return false;
    // splitmix64: the same sequence on every platform and library.
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return (z >> 32) < threshold_;
}

void I2cSlave::attach(I2cBus& bus, int segment) {
    bus_ = &bus;
    handle_ = bus.attach(this, segment);
}

void I2cSlave::setSda(bool low) {
    if (sdaLow_ == low) return;
    sdaLow_ = low;
    bus_->drive(handle_, false, low);
}

void I2cSlave::busChanged(BusLevels before, BusLevels after) {
    if (before.sda != after.sda) {
        if (!after.scl) return;  // data moving while the clock is low: ordinary bit change
        setSda(false);
        if (!after.sda) {  // start (or repeated start)
            state_ = State::Receive;
            addressPhase_ = true;
            bits_ = 0;
            shift_ = 0;
        } else {  // stop
            state_ = State::Idle;
        }
        return;
    }
    if (after.scl) {  // rising edge: the receiver samples
        if (state_ == State::Receive) {
            shift_ = static_cast<std::uint8_t>(shift_ << 1 | (after.sda ? 1 : 0));
            ++bits_;
        } else if (state_ == State::AckIn) {
            masterAck_ = !after.sda;
        }
        return;
    }
    // Falling edge: the transmitter moves on to its next bit.
    switch (state_) {
    case State::Idle:
        break;
    case State::Receive:
        if (bits_ == 8) byteComplete();
        break;
    case State::AckOut:
        setSda(false);
        if (reading_) {
            loadTransmit();
        } else {
            state_ = State::Receive;
            bits_ = 0;
            shift_ = 0;
        }
        break;
    case State::Transmit:
        if (++bits_ < 8) {
            setSda(!(shift_ & (0x80 >> bits_)));
        } else {
            setSda(false);
            state_ = State::AckIn;
            masterAck_ = false;
        }
        break;
    case State::AckIn:
        if (masterAck_) {
            loadTransmit();
        } else {
            setSda(false);
            state_ = State::Idle;  // the master has read enough
        }
        break;
    }
}

void I2cSlave::byteComplete() {
    if (addressPhase_) {
        if (!acceptsAddress(shift_)) {
            state_ = State::Idle;
            return;
        }
        addressPhase_ = false;
        reading_ = (shift_ & 1) != 0;
        addressed(reading_);
        acknowledge();
        return;
    }
    if (received(shift_)) acknowledge();
    else state_ = State::Idle;
}

void I2cSlave::acknowledge() {
    state_ = State::AckOut;
    if (!(ackLoss_ && ackLoss_->lose())) setSda(true);
}

void I2cSlave::loadTransmit() {
    state_ = State::Transmit;
    shift_ = transmit();
    bits_ = 0;
    setSda(!(shift_ & 0x80));
}

}  // namespace sim
