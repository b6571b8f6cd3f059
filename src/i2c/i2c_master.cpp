#include "i2c/i2c_master.h"

#include <algorithm>
#include <cstring>

#include "i2c/mpsse.h"

namespace i2c {

using namespace mpsse;

I2cMaster::I2cMaster(usb::ChannelLayer& channels, usb::Clock& clock, usb::Dialogs& dialogs)
    : channels_(channels), clock_(clock), dialogs_(dialogs) {
    HasPerfCounter = clock_.hasPerformanceCounter();
    if (HasPerfCounter) {
        PerfFrequency = clock_.performanceFrequency();
        // A counter that claims no frequency cannot time anything.
        if (PerfFrequency <= 0) HasPerfCounter = false;
    }
}

bool I2cMaster::DelayMicroseconds(std::uint32_t us) {
    if (HasPerfCounter) {
        // Split the product so that a long wait on a fast counter cannot overflow.
        const std::int64_t whole = us / 1000000;
        const std::int64_t rest = us % 1000000;
        const std::int64_t counts = whole * PerfFrequency + rest * PerfFrequency / 1000000;
        const std::int64_t start = clock_.performanceCounter();
        for (;;) {
            const std::int64_t now = clock_.performanceCounter();
            const std::int64_t diff = now >= start ? now - start : start - now;
            if (diff >= counts) return true;
        }
    }
    // Coarse fallback: wait for the tick to turn over first, so that even a
    // wait below one millisecond lasts at least one tick.
    const std::uint32_t ms = us / 1000;
    const std::uint32_t t0 = clock_.tickCount();
    while (clock_.tickCount() == t0) {
    }
    while (clock_.tickCount() - t0 <= ms) {
    }
    return false;
}

std::string LinkLoss::text() const { return caption + usb::FT_StatusText(status); }

void I2cMaster::AddToBuffer(std::uint8_t byte) {
    if (OutIndex < 0) OutIndex = 0;
    // No batch comes near the buffer's end; should one ever reach it, what
    // is queued goes out first: the engine runs the commands in order
    // whatever USB packets carry them, and no command is dropped.
    if (OutIndex >= static_cast<std::int32_t>(FT_Out_Buffer.size())) SendBytes(OutIndex);
    if (OutIndex >= static_cast<std::int32_t>(FT_Out_Buffer.size())) return;  // the link is lost: nothing goes out
    FT_Out_Buffer[static_cast<std::size_t>(OutIndex)] = byte;
    ++OutIndex;
}

void I2cMaster::ResetLink() {
    linkLoss_.reset();
    lateAnswers_ = 0;
}

bool I2cMaster::failed(const char* caption, usb::FT_STATUS status) {
    if (status == usb::FT_OK) return false;
    // The first failure is the one the operator saw in the dialog.
    if (!linkLoss_) linkLoss_ = LinkLoss{caption, status};
    return true;
}

void I2cMaster::SendBytes(std::int32_t count) {
    // A lost link stays lost: nothing more goes to the library.
    if (LinkLost()) return;
    count = std::clamp(count, 0, OutIndex);
    if (count == 0) return;
    auto& buffer = FT_Out_Buffer;
    std::uint32_t start = 0;
    bool timing = false;
    std::int32_t left = count;
    while (left > 0) {
        const std::uint32_t sent =
            channels_.Write_USB_Device_Buffer_A(buffer.data(), static_cast<std::uint32_t>(left));
        if (sent > 0) {
            // Keep the unsent rest at the front so the next write resumes
            // exactly where this one stopped.
            std::memmove(buffer.data(), buffer.data() + sent,
                         static_cast<std::size_t>(OutIndex) - sent);
            OutIndex -= static_cast<std::int32_t>(sent);
            left -= static_cast<std::int32_t>(sent);
        }
        if (left == 0 || failed("FT_Write A", channels_.FT_IO_Status)) break;
        if (!timing) {
            start = clock_.tickCount();
            timing = true;
        } else if (clock_.tickCount() - start >= WriteTimeoutMs) {
            // The chip took nothing more for the whole write time-out: the
            // commands cannot reach it, which cuts the link like a failed call.
            failed("FT_Write A", usb::FT_FAILED_TO_WRITE_DEVICE);
            break;
        }
    }
}

bool I2cMaster::queueStatus() {
    return !failed("FT_GetQueueStatus A", channels_.Get_USB_Device_QueueStatus_A());
}

bool I2cMaster::readQueued() {
    channels_.Read_USB_Device_Buffer_A(channels_.FT_Q_Bytes);
    return !failed("FT_Read A", channels_.FT_IO_Status);
}

bool I2cMaster::SyncMPSSE() {
    lateAnswers_ = 0;
    // A failed call ends the synchronisation at once: asking again would
    // only fail again, with a dialog each time.
    if (!queueStatus()) return false;
    // Throw away whatever an earlier session left unread.
    const std::uint32_t drainStart = clock_.tickCount();
    while (channels_.FT_Q_Bytes > 0) {
        if (!readQueued() || !queueStatus()) return false;
        if (clock_.tickCount() - drainStart >= SyncTimeoutMs) return false;
    }

    // An unknown opcode makes the engine answer 0xFA and the opcode; it is
    // sent again on every empty poll in case the engine was not listening.
    // The answers wait in the chip for the latency timer, so many polls go
    // out before the first echo comes back.
    const std::uint32_t start = clock_.tickCount();
    for (;;) {
        OutIndex = 0;
        AddToBuffer(0xAA);
        SendBytes(OutIndex);
        if (LinkLost() || !queueStatus()) return false;
        if (channels_.FT_Q_Bytes > 0) break;
        if (clock_.tickCount() - start >= SyncTimeoutMs) return false;
    }
    if (!readQueued()) return false;

    // The second echo proves the engine is in step with us: 0xFA 0xAB comes
    // back behind the echoes of the first polls that are still on their way,
    // possibly split over several reads.
    OutIndex = 0;
    AddToBuffer(0xAB);
    SendBytes(OutIndex);
    if (LinkLost()) return false;
    const std::uint32_t echoStart = clock_.tickCount();
    bool afterEcho = false;
    for (;;) {
        if (!queueStatus()) return false;
        if (channels_.FT_Q_Bytes > 0) {
            const std::uint32_t n = channels_.Read_USB_Device_Buffer_A(channels_.FT_Q_Bytes);
            if (failed("FT_Read A", channels_.FT_IO_Status)) return false;
            const auto& in = channels_.FT_In_Buffer_A;
            for (std::uint32_t i = 0; i < n; ++i) {
                if (afterEcho && in[i] == 0xAB) return true;
                afterEcho = in[i] == BadCommandEcho;
            }
        }
        if (clock_.tickCount() - echoStart >= SyncTimeoutMs) return false;
    }
}

bool I2cMaster::InitI2CController() {
    // A failed call cuts the link as it does in a bus operation: the set-up
    // stops there, with the one dialog the channel layer showed, instead of
    // calling on into a board that is gone. Only the latency timer has a
    // message of its own and lets the set-up go on: the engine works, if
    // more slowly, at the power-up latency.
    ResetLink();
    if (failed("FT_ResetDeviceA", channels_.Reset_USB_Device_A())) return false;
    if (failed("FT_Purge TX A", channels_.Purge_USB_Device_In_A())) return false;
    if (failed("FT_Purge RX A", channels_.Purge_USB_Device_Out_A())) return false;
    if (failed("FT_SetTimeouts A", channels_.Set_USB_Device_TimeOuts_A(0, WriteTimeoutMs))) return false;
    if (failed("FT_SetUSBParameters A", channels_.Set_USB_Parameters_A(64, 64))) return false;
    if (channels_.Set_USB_Device_LatencyTimer_A(1) != usb::FT_OK)
        dialogs_.messageBox("set latency failed");
    if (failed("FT_SetBitMode A", channels_.Set_USB_Device_BitMode_A(0, 0))) return false;
    if (failed("FT_SetBitMode A", channels_.Set_USB_Device_BitMode_A(0, 2))) return false;

    if (!SyncMPSSE()) return false;

    OutIndex = 0;
    AddToBuffer(DisableDivideBy5);  // run from 60 MHz
    AddToBuffer(DisableAdaptiveClock);
    AddToBuffer(DisableThreePhase);
    LowBytePins = PinSCL | PinSDA | PinGPIOL0;
    AddToBuffer(SetLowByte);
    AddToBuffer(LowBytePins);
    AddToBuffer(DirDriveBoth);
    AddToBuffer(SetHighByte);  // ACBUS0..3 outputs, driven high
    AddToBuffer(0x0F);
    AddToBuffer(0x0F);
    // SCL = 60 MHz / ((1 + divisor) * 2): 200 kHz for 149.
    AddToBuffer(SetDivisor);
    AddToBuffer(static_cast<std::uint8_t>(ClockDivisor & 0xFF));
    AddToBuffer(static_cast<std::uint8_t>((ClockDivisor >> 8) & 0xFF));
    AddToBuffer(LoopbackOff);
    SendBytes(OutIndex);
    return true;
}

void I2cMaster::queuePins(std::uint8_t direction) {
    AddToBuffer(SetLowByte);
    AddToBuffer(LowBytePins);
    AddToBuffer(direction);
}

bool I2cMaster::I2C_Start() {
    if (!ChannelAOpen) return false;
    OutIndex = 0;
    LowBytePins |= PinSCL | PinSDA;
    for (int i = 0; i < EdgeRepeats; ++i) queuePins(DirDriveBoth);
    LowBytePins &= static_cast<std::uint8_t>(~PinSDA);  // SDA falls while SCL is high
    for (int i = 0; i < EdgeRepeats; ++i) queuePins(DirDriveBoth);
    LowBytePins &= static_cast<std::uint8_t>(~PinSCL);
    queuePins(DirDriveBoth);
    DelayMicroseconds(5);
    return true;
}

bool I2cMaster::I2C_Stop() {
    if (!ChannelAOpen) return false;
    // Restarting the batch drops the SDA-drive command the last byte left queued.
    OutIndex = 0;
    LowBytePins |= PinSCL;
    LowBytePins &= static_cast<std::uint8_t>(~PinSDA);
    for (int i = 0; i < EdgeRepeats; ++i) queuePins(DirDriveBoth);
    LowBytePins |= PinSDA;  // SDA rises while SCL is high
    for (int i = 0; i < EdgeRepeats; ++i) queuePins(DirDriveBoth);
    queuePins(DirReleaseBoth);
    DelayMicroseconds(5);
    return true;
}

bool I2cMaster::ClockBitsOut(std::uint32_t count, const std::uint8_t* data) {
    if (!ChannelAOpen) return false;
    const std::uint32_t q = count / 8;
    const std::uint32_t r = count % 8;
    if (q > 0) {
        AddToBuffer(BytesOut);
        AddToBuffer(static_cast<std::uint8_t>((q - 1) & 0xFF));
        AddToBuffer(static_cast<std::uint8_t>(((q - 1) >> 8) & 0xFF));
        for (std::uint32_t i = 0; i < q; ++i) AddToBuffer(data[i]);
    }
    if (r > 0) {
        AddToBuffer(BitsOut);
        AddToBuffer(static_cast<std::uint8_t>(r - 1));
        AddToBuffer(data[q]);
    }
    return true;
}

bool I2cMaster::ClockBitsIn(std::uint32_t count) {
    if (!ChannelAOpen) return false;
    const std::uint32_t q = count / 8;
    const std::uint32_t r = count % 8;
    if (q > 0) {
        AddToBuffer(BytesIn);
        AddToBuffer(static_cast<std::uint8_t>((q - 1) & 0xFF));
        AddToBuffer(static_cast<std::uint8_t>(((q - 1) >> 8) & 0xFF));
    }
    if (r > 0) {
        AddToBuffer(BitsIn);
        AddToBuffer(static_cast<std::uint8_t>(r - 1));
    }
    return true;
}

bool I2cMaster::ReceiveBytes(std::uint8_t* dest, std::uint32_t count) {
    if (LinkLost()) return false;
    std::uint32_t collected = 0;
    const std::uint32_t start = clock_.tickCount();
    while (collected < count) {
        // A failed call will not heal by asking again, and every failure may
        // raise a dialog: the link is lost.
        if (failed("FT_GetQueueStatus A", channels_.Get_USB_Device_QueueStatus_A())) return false;
        if (channels_.FT_Q_Bytes > 0) {
            std::uint32_t n = channels_.Read_USB_Device_Buffer_A(channels_.FT_Q_Bytes);
            if (failed("FT_Read A", channels_.FT_IO_Status)) return false;
            const std::uint8_t* in = channels_.FT_In_Buffer_A.data();
            // Answers of earlier transfers that gave up waiting arrive first,
            // unless they stayed away so long that they are lost for good.
            if (lateAnswers_ > 0 && clock_.tickCount() - lateSinceTick_ >= ReceiveTimeoutMs)
                lateAnswers_ = 0;
            const std::uint32_t late = std::min(n, lateAnswers_);
            lateAnswers_ -= late;
            in += late;
            n -= late;
            // Surplus bytes of the same read are dropped.
            const std::uint32_t take = std::min(n, count - collected);
            std::memcpy(dest + collected, in, take);
            collected += take;
            if (collected >= count) break;
        }
        if (clock_.tickCount() - start >= ReceiveTimeoutMs) {
            // Expected for one more time-out from the first that ran out;
            // an engine that lost them must not eat the answers after them.
            if (lateAnswers_ == 0) lateSinceTick_ = clock_.tickCount();
            lateAnswers_ += count - collected;
            return false;
        }
    }
    return true;
}

bool I2cMaster::I2C_WriteByte(std::uint8_t value) {
    if (LinkLost()) return false;
    SendData[0] = value;
    if (!ClockBitsOut(8, SendData.data())) dialogs_.messageBox("pb scanoutA");
    queuePins(DirReleaseSDA);  // let the slave pull SDA for its acknowledge
    if (!ClockBitsIn(1)) dialogs_.messageBox("pb scanInA");
    AddToBuffer(SendImmediate);
    SendBytes(OutIndex);
    if (LinkLost()) return false;
    DelayMicroseconds(10);
    const bool answered = ReceiveBytes(ReceiveData.data(), 1);
    if (LinkLost()) return false;
    DelayMicroseconds(10);
    // Goes out with the next batch, unless a start or stop restarts it first.
    queuePins(DirDriveBoth);
    const bool acknowledged = answered && (ReceiveData[0] & 0x01) == 0;
    if (!acknowledged) ++notAcknowledged_;
    return acknowledged;
}

bool I2cMaster::I2C_ReadByte(std::uint8_t& out) {
    if (LinkLost()) return false;
    queuePins(DirReleaseSDA);
    ClockBitsIn(8);
    AddToBuffer(SendImmediate);
    SendBytes(OutIndex);
    const bool answered = ReceiveBytes(ReceiveData.data(), 1);
    if (answered) out = ReceiveData[0];
    else ++notAcknowledged_;
    queuePins(DirDriveBoth);
    // No acknowledge is clocked here, so the arrival of the byte is all
    // there is to report.
    return answered;
}

bool I2cMaster::resend(std::span<const int> items) {
    for (const int item : items) {
        if (item == StartCondition) {
            I2C_Start();
        } else if (!I2C_WriteByte(static_cast<std::uint8_t>(item))) {
            return false;
        }
    }
    return true;
}

bool I2cMaster::StartAndAddress(std::uint8_t address, int tries) {
    for (int t = 0; t < tries && !LinkLost(); ++t) {
        I2C_Start();
        if (I2C_WriteByte(address)) return true;
    }
    return false;
}

bool I2cMaster::WriteByteInTransaction(std::span<const int> before, std::uint8_t value, int tries) {
    for (int t = 0; t < tries && !LinkLost(); ++t) {
        if (t > 0 && !resend(before)) continue;
        if (I2C_WriteByte(value)) return true;
    }
    return false;
}

bool I2cMaster::ReadByteInTransaction(std::span<const int> before, std::uint8_t& out, int tries) {
    for (int t = 0; t < tries && !LinkLost(); ++t) {
        if (t > 0 && !resend(before)) continue;
        if (I2C_ReadByte(out)) return true;
    }
    return false;
}

bool I2cMaster::I2C_ReadRegister(std::uint8_t device, std::uint16_t reg, std::uint8_t& out) {
    constexpr int Attempts = 16;
    constexpr int Tries = 16;
    const std::uint8_t writeAddress = device & 0xFE;
    const std::uint8_t readAddress = device | 0x01;
    const auto hi = static_cast<std::uint8_t>(reg >> 8);
    const auto lo = static_cast<std::uint8_t>(reg & 0xFF);
    constexpr int S = StartCondition;
    const int beforeHi[] = {S, writeAddress};
    const int beforeLo[] = {S, writeAddress, hi};
    const int beforeRead[] = {S, writeAddress, hi, lo, S};
    const int beforeData[] = {S, writeAddress, hi, lo, S, readAddress};

    if (LinkLost()) {
        out = 0;
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(BusLock);
    bool dataOk = false;
    for (int attempt = 0; attempt < Attempts && !LinkLost(); ++attempt) {
        OutIndex = 0;
        bool ok = StartAndAddress(writeAddress, Tries);
        // Once a byte has gone unacknowledged the rest of the attempt stays
        // off the bus.
        ok = ok && WriteByteInTransaction(beforeHi, hi, Tries);
        ok = ok && WriteByteInTransaction(beforeLo, lo, Tries);
        // The repeated start is always queued; after a failure the stop below
        // discards it unsent.
        bool bus = I2C_Start();
        ok = ok && bus;
        ok = ok && WriteByteInTransaction(beforeRead, readAddress, Tries);
        out = 0;
        dataOk = ok && ReadByteInTransaction(beforeData, out, Tries);
        if (bus) bus = I2C_Stop();
        SendBytes(OutIndex);
        if (bus && dataOk) break;
    }
    return dataOk && !LinkLost();
}

bool I2cMaster::I2C_WriteRegister(std::uint8_t device, std::uint16_t reg, std::uint8_t value) {
    constexpr int Attempts = 13;
    constexpr int Tries = 11;
    const std::uint8_t writeAddress = device & 0xFE;
    const auto hi = static_cast<std::uint8_t>(reg >> 8);
    const auto lo = static_cast<std::uint8_t>(reg & 0xFF);
    constexpr int S = StartCondition;
    const int beforeHi[] = {S, writeAddress};
    const int beforeLo[] = {S, writeAddress, hi};
    const int beforeValue[] = {S, writeAddress, hi, lo};

    // GPIOL0 goes low with the first pin command of this write and stays low
    // until the next set-up.
    OutIndex = 0;
    LowBytePins &= static_cast<std::uint8_t>(~PinGPIOL0);
    if (LinkLost()) return false;

    std::lock_guard<std::recursive_mutex> lock(BusLock);
    bool done = false;
    for (int attempt = 0; attempt < Attempts && !done && !LinkLost(); ++attempt) {
        bool addrOk = false;
        for (int t = 0; t < Tries && !addrOk && !LinkLost(); ++t) {
            const bool started = I2C_Start();
            addrOk = I2C_WriteByte(writeAddress) && started;
        }
        // Every byte is tried even after an earlier one failed.
        const bool hiOk = WriteByteInTransaction(beforeHi, hi, Tries);
        const bool loOk = WriteByteInTransaction(beforeLo, lo, Tries);
        const bool valueOk = WriteByteInTransaction(beforeValue, value, Tries);
        const bool stopped = I2C_Stop();
        SendBytes(OutIndex);
        done = addrOk && hiOk && loOk && valueOk && stopped;
    }
    return done && !LinkLost();
}

void I2cMaster::Transfer(std::uint8_t device, std::span<RegisterOp> ops, bool stopAtFailure) {
    bool go = true;
    for (RegisterOp& op : ops) {
        op.attempted = go && !LinkLost();
        if (!op.attempted) {
            op.ok = false;
            if (op.kind == RegisterOp::Kind::Read) op.value = 0;
            continue;
        }
        op.ok = op.kind == RegisterOp::Kind::Read ? I2C_ReadRegister(device, op.reg, op.value)
                                                  : I2C_WriteRegister(device, op.reg, op.value);
        if (stopAtFailure && !op.ok) go = false;
    }
}


bool I2cMaster::repeaterOn(std::uint8_t demod, std::uint32_t settleUs) {
    OutIndex = 0;
    if (!I2C_WriteRegister(demod, RepeaterRegister, RepeaterOn)) return false;
    // A coarse timer cannot promise the repeater has settled: that is a failure.
    return DelayMicroseconds(settleUs);
}

bool I2cMaster::repeaterOff(std::uint8_t demod) {
    // The repeater goes off again whatever the tuner did, unless the link
    // is gone.
    if (LinkLost()) return false;
    if (!I2C_WriteRegister(demod, RepeaterRegister, RepeaterOff)) return false;
    return DelayMicroseconds(RepeaterOffUs);
}

bool I2cMaster::stopAndSend() {
    const bool stopped = I2C_Stop();
    SendBytes(OutIndex);
    return stopped;
}

bool I2cMaster::WriteTunerRegister(std::uint8_t demod, std::uint8_t tuner, std::uint8_t reg,
                                   std::uint8_t value) {
    if (!repeaterOn(demod, RepeaterOnBeforeWriteUs)) return false;
    bool ok = false;
    {
        std::lock_guard<std::recursive_mutex> lock(BusLock);
        LowBytePins &= static_cast<std::uint8_t>(~PinGPIOL0);
        constexpr int S = StartCondition;
        const int beforeReg[] = {S, tuner};
        const int beforeValue[] = {S, tuner, reg};
        for (int attempt = 0; attempt < TunerAttempts && !ok && !LinkLost(); ++attempt) {
            // Every phase runs even after an earlier one ran out of tries.
            const bool addrOk = StartAndAddress(tuner, TunerTries);
            const bool regOk = WriteByteInTransaction(beforeReg, reg, TunerTries);
            const bool valueOk = WriteByteInTransaction(beforeValue, value, TunerTries);
            const bool stopped = stopAndSend();
            ok = addrOk && regOk && valueOk && stopped;
        }
    }
    return repeaterOff(demod) && ok;
}

bool I2cMaster::ReadTunerRegisters(std::uint8_t demod, std::uint8_t tuner,
                                   std::span<std::uint8_t, TunerReadBackSize> buffer) {
    if (!repeaterOn(demod, RepeaterOnBeforeReadUs)) return false;
    bool ok = false;
    {
        std::lock_guard<std::recursive_mutex> lock(BusLock);
        for (int attempt = 0; attempt < TunerAttempts && !ok && !LinkLost(); ++attempt) {
            LowBytePins &= static_cast<std::uint8_t>(~PinGPIOL0);
            // No register phase: the tuner answers from its current position.
            const bool addrOk = StartAndAddress(tuner | 0x01, TunerTries);
            bool readsOk = true;
            for (std::uint8_t& byte : buffer) {
                bool got = false;
                for (int t = 0; t < TunerTries && !got && !LinkLost(); ++t) got = I2C_ReadByte(byte);
                readsOk = readsOk && got;
                // Acknowledge every byte, the last one too.
                SendData[0] = 0;
                ClockBitsOut(1, SendData.data());
                SendBytes(OutIndex);
            }
            const bool stopped = stopAndSend();
            ok = addrOk && readsOk && stopped;
        }
    }
    return repeaterOff(demod) && ok;
}

}  // namespace i2c
