// The bus trace as a logic analyser's protocol decoder reads it: sigrok-cli
// on the VCD file the simulated board wrote, its I2C decoder's "addr-data"
// rows (start, stop, acknowledges, addresses, data).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool sigrokInstalled() { return std::system("command -v sigrok-cli > /dev/null 2>&1") == 0; }

// The rows without the decoder prefix. Idle stretches (the byte master's
// waits, the tuner's settling) are squeezed to 10 us, far longer than any
// bit, or decoding a long trace takes minutes.
inline std::vector<std::string> decodeI2c(const std::filesystem::path& vcd) {
    const std::filesystem::path out = vcd.string() + ".txt";
    const std::string cmd = "sigrok-cli -I vcd:compress=1000 -i '" + vcd.string() +
                            "' -P i2c:scl=SCL:sda=SDA -A i2c=addr-data > '" + out.string() + "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << slurp(out);
    std::vector<std::string> rows;
    std::istringstream in(slurp(out));
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) rows.push_back(line.substr(colon + 2));
    }
    std::filesystem::remove(out);
    return rows;
}

}  // namespace testing_support
