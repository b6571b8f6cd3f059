// Writes the I2C lines as a Value Change Dump that logic-analyser programs
// (sigrok-cli, PulseView, GTKWave) open and decode: SCL and SDA, and a third
// wire, CONTENTION, high while a line is driven high against a party pulling
// it low; on a 10 ns time scale.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

class VcdWriter {
public:
    // Opens (truncates) the file and writes the header with both lines high.
    explicit VcdWriter(const std::string& path);
    // Ends the dump and closes the file.
    ~VcdWriter();
    VcdWriter(const VcdWriter&) = delete;
    VcdWriter& operator=(const VcdWriter&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }

    // The levels after a change at timeNs; times never go backwards in the
    // file even if a caller's do.
    void change(std::uint64_t timeNs, bool scl, bool sda);
    void contention(std::uint64_t timeNs, bool on);
    void flush();

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    std::string buffer_;
    std::uint64_t lastUnit_ = 0;
    bool scl_ = true;
    bool sda_ = true;
    bool contention_ = false;

    void stamp(std::uint64_t timeNs);
};

}  // namespace sim
