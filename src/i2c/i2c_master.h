// Channel A's MPSSE engine as a 200 kHz I2C bus master: the command stream,
// the synchronisation with the engine, its set-up, start and stop conditions,
// byte transfers with acknowledge, and 16-bit-addressed register access with
// retries under one bus lock.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "i2c/register_access.h"
#include "usb/channel_layer.h"
#include "usb/platform_services.h"

namespace i2c {

class I2cMaster : public RegisterAccess {
public:
    I2cMaster(usb::ChannelLayer& channels, usb::Clock& clock, usb::Dialogs& dialogs);

    // Command stream and engine set-up.
    bool DelayMicroseconds(std::uint32_t us);
    void AddToBuffer(std::uint8_t byte);
    void SendBytes(std::int32_t count);
    bool SyncMPSSE();
    bool InitI2CController();

    // Bus transactions.
    bool I2C_Start();
    bool I2C_Stop();
    bool ClockBitsOut(std::uint32_t count, const std::uint8_t* data);
    bool ClockBitsIn(std::uint32_t count);
    // False when the answers did not arrive within the bounded wait.
    bool ReceiveBytes(std::uint8_t* dest, std::uint32_t count);
    bool I2C_WriteByte(std::uint8_t value);
    bool I2C_ReadByte(std::uint8_t& out);
    bool I2C_ReadRegister(std::uint8_t device, std::uint16_t reg, std::uint8_t& out);
    bool I2C_WriteRegister(std::uint8_t device, std::uint16_t reg, std::uint8_t value);

    // Register access, one byte per USB round trip: each op is one
    // I2C_ReadRegister or I2C_WriteRegister.
    void Transfer(std::uint8_t device, std::span<RegisterOp> ops, bool stopAtFailure = false) override;
    bool WriteTunerRegister(std::uint8_t demod, std::uint8_t tuner, std::uint8_t reg,
                            std::uint8_t value) override;
    bool ReadTunerRegisters(std::uint8_t demod, std::uint8_t tuner,
                            std::span<std::uint8_t, TunerReadBackSize> buffer) override;
    bool Delay(std::uint32_t us) override { return DelayMicroseconds(us); }

    // A fresh start and the address byte, up to `tries` times until the
    // address is acknowledged (the start's result is not examined).
    bool StartAndAddress(std::uint8_t address, int tries);

    // A transaction retried byte by byte: `before` lists what precedes the
    // byte since the transaction began, StartCondition for a start (the
    // first element) or repeated start, else a byte written. The first try
    // clocks the byte where the bus stands; every further try begins again
    // with a start and everything before the byte, so that no slave ever
    // takes a byte twice within one transaction. A try whose resent bytes
    // are not all acknowledged counts as failed.
    static constexpr int StartCondition = -1;
    bool WriteByteInTransaction(std::span<const int> before, std::uint8_t value, int tries);
    bool ReadByteInTransaction(std::span<const int> before, std::uint8_t& out, int tries);

    // A D2XX call that failed inside a bus operation latches the link as
    // lost: the operation ends at once, and every later one fails at once
    // without calling D2XX (so without another error dialog), until
    // InitI2CController succeeds or channel A is opened or closed again
    // (ResetLink).
    const std::optional<LinkLoss>& linkLoss() const override { return linkLoss_; }
    void ResetLink();
    std::uint64_t NotAcknowledged() const override { return notAcknowledged_; }

    // Channel A is open (the console says so): while it is not, nothing is
    // queued.
    void SetChannelAOpen(bool open) {
        ChannelAOpen = open;
        ResetLink();  // a fresh handle, or none: whatever cut the last link is gone
    }

    // State, under the names the rest of the program uses.
    std::array<std::uint8_t, usb::ChannelABufferSize> FT_Out_Buffer{};
    std::int32_t OutIndex = 0;
    std::uint32_t ClockDivisor = 0;
    std::uint8_t LowBytePins = 0;
    bool HasPerfCounter = false;
    std::int64_t PerfFrequency = 0;
    bool ChannelAOpen = false;
    std::array<std::uint8_t, 64> SendData{};
    std::array<std::uint8_t, 64> ReceiveData{};
    std::recursive_mutex BusLock;

    usb::ChannelLayer& channels() { return channels_; }
    usb::Clock& clock() override { return clock_; }

    // Longest waits for the engine, in milliseconds of the tick counter.
    static constexpr std::uint32_t SyncTimeoutMs = 500;
    static constexpr std::uint32_t ReceiveTimeoutMs = 100;
    static constexpr std::uint32_t WriteTimeoutMs = 1000;

private:
    // Queues 0x80, LowBytePins, direction: one write of the low GPIO byte.
    void queuePins(std::uint8_t direction);
    // Latches the link as lost when status is a failure; true if it was.
    bool failed(const char* caption, usb::FT_STATUS status);
    // Channel A's queue count into FT_Q_Bytes, and a read of all of it; false
    // (the link latched as lost) when the call failed.
    bool queueStatus();
    bool readQueued();
    // Start, then the bytes of `items` (see WriteByteInTransaction).
    bool resend(std::span<const int> items);

    // The repeater of the demodulator at `demod` on (with its settling time)
    // before a tuner transaction; false when the write or the delay failed.
    bool repeaterOn(std::uint8_t demod, std::uint32_t settleUs);
    bool repeaterOff(std::uint8_t demod);
    bool stopAndSend();

    std::optional<LinkLoss> linkLoss_;
    std::uint64_t notAcknowledged_ = 0;
    // Answer bytes of transfers whose wait ran out: they are still on their
    // way and come before the next transfer's answer, which must not be
    // mistaken for them.
    std::uint32_t lateAnswers_ = 0;
    std::uint32_t lateSinceTick_ = 0;

    usb::ChannelLayer& channels_;
    usb::Clock& clock_;
    usb::Dialogs& dialogs_;
};

}  // namespace i2c
