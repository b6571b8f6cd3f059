// The few libftdi1 and libusb calls the libftdi backend needs, behind an
// interface so that everything above them can be tested without a board.
// Results are the libraries' own: 0 or a byte count on success, a negative
// libftdi or libusb error code on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// One USB device of FTDI's as the bus shows it (not yet split into channels).
struct UsbDeviceInfo {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t bcdDevice = 0;     // tells the chip generation apart
    std::uint8_t bus = 0;
    std::uint8_t address = 0;        // changes on every replug
    std::vector<std::uint8_t> ports; // port path from the root hub
    bool highSpeed = false;
    bool stringsRead = false;        // false when the device could not be opened to ask
    std::string product;             // empty when the EEPROM has none
    std::string serial;
};

// Receives payload bytes of the stream, modem-status bytes already removed.
using StreamSink = std::function<void(const std::uint8_t* data, std::size_t count)>;

// One opened interface (channel) of a device. Control calls may come from
// another thread than the one running the stream.
class FtdiChannel {
public:
    virtual ~FtdiChannel() = default;  // closes the interface, as close() does

    // ftdi_read_data: what the chip has sent, 0 when nothing waits.
    virtual int readData(std::uint8_t* buffer, int size) = 0;
    // Bulk write; *written counts what went out, also when the result is
    // LIBUSB_ERROR_TIMEOUT.
    virtual int writeData(const std::uint8_t* data, int size, int* written) = 0;
    virtual int setBitmode(std::uint8_t mask, std::uint8_t mode) = 0;
    virtual int setLatencyTimer(std::uint8_t ms) = 0;
    virtual int purgeReceive() = 0;   // ftdi_tciflush
    virtual int purgeTransmit() = 0;  // ftdi_tcoflush
    virtual int reset() = 0;          // ftdi_usb_reset
    // 0 leaves that size as it is.
    virtual int setChunkSizes(unsigned readSize, unsigned writeSize) = 0;
    // Bounds bulk writes and every control request.
    virtual void setWriteTimeout(int ms) = 0;

    // Queued bulk-in reads for a channel that has to keep up with its chip.
    // The sink may be called from any thread that handles USB events on the
    // channel (a control request on another thread can do it too).
    virtual int startStream(int transferSize, int transfers, StreamSink sink) = 0;
    // Waits up to timeoutMs for transfers to finish, hands their payload to
    // the sink and submits them again. A negative result means the stream
    // broke (unplugged board, transfer error).
    virtual int pollStream(int timeoutMs) = 0;
    // Cancels the queued reads and waits, bounded, until they are back; what
    // they had received still goes to the sink. False when some are still
    // out when the wait ends.
    virtual bool stopStream() = 0;
    // Stops the stream and closes the interface. False when reads were still
    // out after the bounded wait: they point into the channel's USB context,
    // so that context is left open for the rest of the program rather than
    // closed under them.
    virtual bool close() = 0;
};

class FtdiApi {
public:
    virtual ~FtdiApi() = default;
    // The FTDI devices on the bus; a negative result when USB is unavailable.
    virtual int findAll(std::vector<UsbDeviceInfo>* devices) = 0;
    // Opens interface 0 (A), 1 (B), ... of the device, detaching the kernel's
    // serial driver from it. Negative libftdi open codes; -3: no such device.
    virtual int open(const UsbDeviceInfo& device, int interface,
                     std::unique_ptr<FtdiChannel>* channel) = 0;
};

// The real one, over libftdi1 and libusb-1.0.
std::unique_ptr<FtdiApi> makeLibFtdiApi();

}  // namespace platform
