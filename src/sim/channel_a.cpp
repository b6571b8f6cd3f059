#include "sim/channel_a.h"

#include <charconv>
#include <cstdlib>

#include "sim/option_text.h"

namespace sim {

namespace {

bool parseUnsigned(const std::string& text, std::uint64_t* out) {
    if (text.empty()) return false;
    int base = 10;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        begin += 2;
    }
    auto [ptr, ec] = std::from_chars(begin, end, *out, base);
    return ec == std::errc() && ptr == end;
}

bool parseProbability(const std::string& text, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !(v >= 0.0 && v <= 1.0)) return false;
    *out = v;
    return true;
}

OptionParse malformed(std::string* error, const std::string& message) {
    if (error) *error = message;
    return OptionParse::Malformed;
}

OptionParse parseFault(const std::string& text, ChannelAFaults& f, std::string* error) {
    const auto eq = text.find('=');
    const std::string name = text.substr(0, eq);
    const bool hasValue = eq != std::string::npos;
    const std::string value = hasValue ? text.substr(eq + 1) : std::string();
    auto flag = [&](bool& target) {
        if (hasValue) return malformed(error, "--fault=" + name + " takes no value");
        target = true;
        return OptionParse::Accepted;
    };
    if (name == "demod-absent") return flag(f.demodAbsent);
    if (name == "tuner-absent") return flag(f.tunerAbsent);
    if (name == "scratch-stuck") return flag(f.scratchStuck);
    if (name == "mpsse-silent") return flag(f.mpsseSilent);
    if (name == "wrong-chip-id") {
        std::uint64_t id = 0x30;
        if (hasValue && (!parseUnsigned(value, &id) || id > 0xFF || id == Demodulator::kChipId))
            return malformed(error, "--fault=wrong-chip-id wants a byte other than 0x20, not '" +
                                        value + "'");
        f.chipId = static_cast<std::uint8_t>(id);
        return OptionParse::Accepted;
    }
    if (name == "nack-rate") {
        if (!parseProbability(value, &f.nackRate))
            return malformed(error, "--fault=nack-rate wants a probability from 0 to 1, not '" +
                                        value + "'");
        return OptionParse::Accepted;
    }
    if (name == "image-fails-at") {
        std::uint64_t k = 0;
        if (!parseUnsigned(value, &k) || k == 0 || k > 0xFFFFFFFFu)
            return malformed(error, "--fault=image-fails-at wants a count from 1 on, not '" +
                                        value + "'");
        f.imageFailsAt = static_cast<std::uint32_t>(k);
        return OptionParse::Accepted;
    }
    return OptionParse::NotMine;
}

}  // namespace

OptionParse parseChannelAOption(const std::string& arg, ChannelAOptions& options,
                                std::string* error) {
    std::string value;
    if (optionValue(arg, "--nim=", &value)) {
        if (value == "earda") options.nim = Nim::Earda;
        else if (value == "sharp") options.nim = Nim::Sharp;
        else return malformed(error, "--nim wants earda or sharp, not '" + value + "'");
        return OptionParse::Accepted;
    }
    if (optionValue(arg, "--fault=", &value)) return parseFault(value, options.faults, error);
    if (optionValue(arg, "--i2c-trace=", &value)) {
        if (value.empty()) return malformed(error, "--i2c-trace wants a file name");
        options.i2cTracePath = value;
        return OptionParse::Accepted;
    }
    if (optionValue(arg, "--usb-latency-us=", &value)) {
        std::uint64_t us = 0;
        if (!parseUnsigned(value, &us) || us > 10'000'000)
            return malformed(error, "--usb-latency-us wants microseconds (0 to 10000000), not '" +
                                        value + "'");
        options.usbLatencyUs = static_cast<std::uint32_t>(us);
        return OptionParse::Accepted;
    }
    if (optionValue(arg, "--usb-timing=", &value)) {
        if (value == "real") options.usbTiming = UsbTiming::Real;
        else if (value == "ideal") options.usbTiming = UsbTiming::Ideal;
        else return malformed(error, "--usb-timing wants real or ideal, not '" + value + "'");
        return OptionParse::Accepted;
    }
    if (optionValue(arg, "--i2c-seed=", &value)) {
        if (!parseUnsigned(value, &options.seed))
            return malformed(error, "--i2c-seed wants a number, not '" + value + "'");
        return OptionParse::Accepted;
    }
    return OptionParse::NotMine;
}

std::string channelAOptionsHelp() {
    return "  --nim=earda|sharp         fitted NIM: Eardatek (demodulator 0xD4, STB6100 tuner,\n"
           "                            default) or Sharp/Samsung (0xD0, STV6110)\n"
           "  --i2c-trace=FILE          write every SCL/SDA change as a VCD file\n"
           "                            (sigrok-cli -i FILE -P i2c:scl=SCL:sda=SDA); a third\n"
           "                            wire, CONTENTION, marks a pin driven high while a\n"
           "                            chip pulls it low (counted, on stderr at the end)\n"
           "  --usb-timing=real|ideal   real (default): answers wait in the chip until 0x87,\n"
           "                            the latency timer (16 ms until set) or a full 512-byte\n"
           "                            packet, and reach the host on 125 us microframes;\n"
           "                            ideal: every answer reaches the host at once;\n"
           "                            channel B's FIFO follows the same packet rules\n"
           "  --usb-latency-us=N        host latency added to every USB packet with\n"
           "                            --usb-timing=real (default 0)\n"
           "  --i2c-seed=N              seed of the lost acknowledges of nack-rate (default 1)\n"
           "  --fault=demod-absent      nothing answers at the demodulator's address\n"
           "  --fault=wrong-chip-id[=V] identity register 0xF100 reads V (default 0x30), not 0x20\n"
           "  --fault=scratch-stuck     register 0xF536 acknowledges writes but keeps its value\n"
           "  --fault=nack-rate=P       each acknowledge a chip gives is lost with probability P\n"
           "  --fault=tuner-absent      nothing answers behind the demodulator's repeater\n"
           "  --fault=image-fails-at=K  counting demodulator register writes from the first\n"
           "                            write to 0xF113, the register of the K-th refuses every\n"
           "                            write (not acknowledged) until 0xF113 is written again\n"
           "  --fault=mpsse-silent      the MPSSE engine takes commands but never answers\n";
}

ChannelA::ChannelA(const ChannelAOptions& options, usb::Clock& clock, std::shared_ptr<RfInput> signal) {
    if (!options.i2cTracePath.empty()) {
        trace_ = std::make_unique<VcdWriter>(options.i2cTracePath);
        if (trace_->isOpen()) {
            VcdWriter* writer = trace_.get();
            bus_.setTrace([writer](std::uint64_t t, bool scl, bool sda) { writer->change(t, scl, sda); });
            bus_.setContentionTrace([writer](std::uint64_t t, bool on) { writer->contention(t, on); });
        } else {
            traceError_ = "cannot create the I2C trace file " + options.i2cTracePath;
            trace_.reset();
        }
    }
    const ChannelAFaults& f = options.faults;
    if (f.nackRate > 0.0) ackLoss_ = std::make_unique<AckLoss>(f.nackRate, options.seed);

    const int tunerSegment = bus_.addSegment();
    if (!f.demodAbsent) {
        Demodulator::Faults df;
        df.chipId = f.chipId;
        df.scratchStuck = f.scratchStuck;
        df.imageFailsAt = f.imageFailsAt;
        const std::uint8_t address = options.nim == Nim::Earda ? 0xD4 : 0xD0;
        if (!signal) signal = std::make_shared<RfInput>(SignalConditions{}, clock);
        demod_ = std::make_unique<Demodulator>(address, bus_, tunerSegment, df, std::move(signal));
        demod_->setAckLoss(ackLoss_.get());
        demod_->attach(bus_, I2cBus::kMainSegment);
    }
    if (!f.tunerAbsent) {
        if (options.nim == Nim::Earda) tuner_ = std::make_unique<Stb6100Tuner>();
        else tuner_ = std::make_unique<Stv6110Tuner>();
        tuner_->setAckLoss(ackLoss_.get());
        tuner_->attach(bus_, tunerSegment);
    }
    MpsseEngine::Settings settings;
    settings.usb = UsbTimingSettings{options.usbTiming, options.usbLatencyUs};
    settings.silent = f.mpsseSilent;
    engine_ = std::make_unique<MpsseEngine>(bus_, &clock, settings);
}

ChannelA::~ChannelA() = default;

void ChannelA::closed() {
    if (trace_) trace_->flush();
}

std::unique_ptr<ChannelDevice> makeChannelA(const ChannelAOptions& options, usb::Clock& clock,
                                             std::string* error, std::shared_ptr<RfInput> signal) {
    auto channel = std::make_unique<ChannelA>(options, clock, std::move(signal));
    if (error) *error = channel->traceError();
    return channel;
}

}  // namespace sim
