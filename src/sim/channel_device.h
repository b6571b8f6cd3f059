// What sits behind one channel of the simulated FT2232H: the MPSSE engine on
// channel A, the transport-stream FIFO on channel B. The board forwards the
// host's USB traffic to it and collects what it has to send back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

class ChannelDevice {
public:
    virtual ~ChannelDevice() = default;

    // Bytes the host wrote to the channel (FT_Write).
    virtual void write(const std::uint8_t* data, std::size_t count) = 0;
    // Bytes waiting for the host now (FT_GetQueueStatus).
    virtual std::size_t available() = 0;
    // Moves up to count waiting bytes to dst; returns how many.
    virtual std::size_t read(std::uint8_t* dst, std::size_t count) = 0;

    // Longest the board should sleep before asking available() again while a
    // read waits for data (the device may produce data as time passes).
    virtual std::uint32_t pollIntervalMs() const { return 1; }

    virtual void purgeReceive() {}   // FT_Purge RX: drop what waits for the host
    virtual void purgeTransmit() {}  // FT_Purge TX
    virtual void reset() {}          // FT_ResetDevice
    virtual void setBitMode(std::uint8_t /*mask*/, std::uint8_t /*mode*/) {}
    // FT_SetLatencyTimer: how long the chip holds a short answer (1..255 ms).
    virtual void setLatencyTimer(std::uint8_t /*ms*/) {}
    // FT_StopInTask / FT_RestartInTask: the driver stops or resumes fetching
    // from the chip; the chip's own FIFO goes on filling meanwhile.
    virtual void setInTaskRunning(bool /*running*/) {}
    virtual void opened() {}
    virtual void closed() {}
    // The levels on the channel's low byte of pins now, as the chip's "read
    // pins" request reports them; inputs nobody drives read high.
    virtual std::uint8_t pins() { return 0xFF; }
};

}  // namespace sim
