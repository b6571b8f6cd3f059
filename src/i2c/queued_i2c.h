// Register access at bus speed: whole register transactions queued as MPSSE
// commands, many per USB write, with the slave's acknowledge of every byte
// clocked in as an answer that is looked at only once the batch is back.
// Two batches are in flight at a time, so that the bus works through one
// while the host reads the answers of the other.
//
// The bytes on the bus are those of the byte-by-byte master (I2cMaster):
// the same start and stop pin sequences, SDA released for every bit a slave
// drives, GPIOL0 cleared by writes. Only the waits between bytes are gone,
// and a register read ends with the master's not-acknowledge before its
// stop.
//
// A transaction with a byte that was not acknowledged is redone whole from a
// new start, ahead of everything not sent yet. What went out behind it on the
// same register and saw the wrong value goes again after it (the reads up to
// the next write behind a failed write; a failed read gets the register's
// earlier value written back for its redo), and the register's final value
// is written back after such a redo, so that every read sees what a
// one-at-a-time run would have shown it. No more transactions go out than
// the ops' attempts add up to.
//
// A tuner transaction goes out in one batch with the repeater writes around
// it; the repeater's settling times are clocked by the engine with both
// lines released. Anything not acknowledged there falls back to the byte
// master's order: repeater on, the tuner's transaction until acknowledged,
// repeater off.
//
// The engine assumes that I2cMaster::InitI2CController has set channel A's
// MPSSE up as the I2C master, and keeps its own pin state from then on. It
// is used from one thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "i2c/register_access.h"
#include "usb/channel_layer.h"
#include "usb/platform_services.h"

namespace i2c {

class QueuedI2c : public RegisterAccess {
public:
    // The low pins as the set-up leaves them: SCL, SDA and GPIOL0 high.
    static constexpr std::uint8_t PinsAfterSetUp = 0x13;
    // The bus clock the set-up gives: the answer time-outs and the settling
    // times the engine clocks depend on it.
    static constexpr std::uint32_t BusHz = 200'000;

    // One USB write of commands holds at most half the chip's 4 kB command
    // buffer, so that the batch on the bus and the next one fit in it
    // together; their answers are far fewer bytes than their commands.
    static constexpr std::size_t MaxBatchBytes = 2048;
    static constexpr std::size_t MaxBatchesInFlight = 2;
    // A batch's answers are given up on after twice its bus time plus this.
    static constexpr std::uint32_t AnswerMarginMs = 100;
    static constexpr std::uint32_t WriteTimeoutMs = 1000;
    // Bound on finding the engine's answers in step again after a time-out.
    static constexpr std::uint32_t ResyncTimeoutMs = 500;
    // USB transfer sizes asked for: a whole batch in one bulk transfer.
    static constexpr std::uint32_t UsbTransferSize = 4096;

    QueuedI2c(usb::ChannelLayer& channels, usb::Clock& clock, std::uint8_t pins = PinsAfterSetUp);

    void Transfer(std::uint8_t device, std::span<RegisterOp> ops, bool stopAtFailure = false) override;
    bool WriteTunerRegister(std::uint8_t demod, std::uint8_t tuner, std::uint8_t reg,
                            std::uint8_t value) override;
    bool ReadTunerRegisters(std::uint8_t demod, std::uint8_t tuner,
                            std::span<std::uint8_t, TunerReadBackSize> buffer) override;
    // Sleeps whole milliseconds, rounded up; the bus is idle meanwhile, as
    // every operation has its answers back before it returns.
    bool Delay(std::uint32_t us) override;

    const std::optional<LinkLoss>& linkLoss() const override { return linkLoss_; }
    std::uint64_t NotAcknowledged() const override { return notAcknowledged_; }
    usb::Clock& clock() override { return clock_; }

    // After a new set-up of the engine: the pins it left, a link that works
    // again, and the USB transfer sizes asked for once more.
    void Restart(std::uint8_t pins = PinsAfterSetUp);

    struct Stats {
        std::uint64_t batches = 0;       // USB writes of transactions
        std::uint64_t transactions = 0;  // put on the bus, redone ones included
        std::uint64_t redone = 0;        // put on the bus again: a lost acknowledge, or behind one
        std::uint64_t timeouts = 0;      // batches whose answers did not come in time
    };
    const Stats& stats() const { return stats_; }

    std::uint8_t pins() const { return pins_; }

    // Commands and answers of one USB write.
    struct Slot;
    struct Batch;
    class Encoder;

private:
    class Run;
    enum class Io { Ok, TimedOut, Lost };

    // Latches the link as lost when status is a failure; true if it was.
    bool failed(const char* caption, usb::FT_STATUS status);
    bool prepare();
    Io writeBatch(Batch& batch);
    Io readAnswers(Batch& batch);
    bool setReadTimeout(std::uint32_t ms);
    void restoreTimeouts();
    // After answers went missing: drops whatever is late and finds the
    // engine's answers in step again by the echo of two bad commands.
    bool resync();
    // One batch written and answered on its own.
    Io runAlone(Batch& batch);
    // Whether every byte of the slot was acknowledged; counts those that were not.
    bool acknowledged(const Batch& batch, const Slot& slot);
    bool repeater(std::uint8_t demod, std::uint8_t value, std::uint32_t settleUs);
    // A tuner transaction behind the repeater of the demodulator at demod:
    // its steps, how many acknowledges lead its answers, where its data go.
    using TunerSteps = std::function<void(Encoder&)>;
    bool behindRepeater(std::uint8_t demod, std::uint32_t settleUs, const TunerSteps& steps, std::uint32_t acks,
                        std::span<std::uint8_t> data);
    bool stepByStep(std::uint8_t demod, std::uint32_t settleUs, const TunerSteps& steps, std::uint32_t acks,
                    std::span<std::uint8_t> data, int attempts);

    usb::ChannelLayer& channels_;
    usb::Clock& clock_;
    std::uint8_t pins_;
    bool prepared_ = false;
    // The engine stopped answering and could not be found in step again.
    bool stalled_ = false;
    std::optional<std::uint32_t> readTimeoutMs_;
    std::optional<LinkLoss> linkLoss_;
    std::uint64_t notAcknowledged_ = 0;
    Stats stats_;
};

}  // namespace i2c
