#include "sim/vcd_writer.h"

#include <charconv>

namespace sim {

namespace {
// 10 ns resolves a 200 kHz bus with room to spare and keeps the sample count
// of a long trace low enough for sigrok-cli to decode it in reasonable time.
constexpr std::uint64_t kNsPerUnit = 10;
// Written out in blocks of this size: a few hundred transactions, so a viewer
// opened during a run sees recent traffic.
constexpr std::size_t kFlushBytes = 64 * 1024;
}  // namespace

VcdWriter::VcdWriter(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return;
    buffer_.reserve(kFlushBytes + 64);
    buffer_ = "$date vesperbox simulated bench board $end\n"
              "$version vesperbox $end\n"
              "$timescale 10 ns $end\n"
              "$scope module i2c $end\n"
              "$var wire 1 ! SCL $end\n"
              "$var wire 1 \" SDA $end\n"
              "$var wire 1 % CONTENTION $end\n"
              "$upscope $end\n"
              "$enddefinitions $end\n"
              "#0\n"
              "$dumpvars\n1!\n1\"\n0%\n$end\n";
    flush();
}

VcdWriter::~VcdWriter() {
    if (!file_) return;
    // A closing time stamp gives the last change a duration; without it a
    // reader may drop the final edge (the stop of the last transaction).
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, lastUnit_ + 100).ptr;
    buffer_ += '#';
    buffer_.append(text, end);
    buffer_ += '\n';
    flush();
    std::fclose(file_);
}

void VcdWriter::stamp(std::uint64_t timeNs) {
    const std::uint64_t unit = timeNs / kNsPerUnit;
    if (unit > lastUnit_) {
        lastUnit_ = unit;
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, unit).ptr;
        buffer_ += '#';
        buffer_.append(text, end);
        buffer_ += '\n';
    }
}

void VcdWriter::change(std::uint64_t timeNs, bool scl, bool sda) {
    if (!file_ || (scl == scl_ && sda == sda_)) return;
    stamp(timeNs);
    if (scl != scl_) buffer_ += scl ? "1!\n" : "0!\n";
    if (sda != sda_) buffer_ += sda ? "1\"\n" : "0\"\n";
    scl_ = scl;
    sda_ = sda;
    if (buffer_.size() >= kFlushBytes) flush();
}

void VcdWriter::contention(std::uint64_t timeNs, bool on) {
    if (!file_ || on == contention_) return;
    stamp(timeNs);
    buffer_ += on ? "1%\n" : "0%\n";
    contention_ = on;
    if (buffer_.size() >= kFlushBytes) flush();
}

void VcdWriter::flush() {
    if (!file_) return;
    if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
    buffer_.clear();
    std::fflush(file_);
}

}  // namespace sim
