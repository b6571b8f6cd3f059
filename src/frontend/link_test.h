// The NIM tests: the demodulator link test with its error total, the default
// image between its two passes, then the fitted NIM's tuner. Runs on the I2C
// master alone; what the operator sees goes through LinkTestView.
#pragma once

#include <QString>
#include <cstdint>

namespace i2c {
class RegisterAccess;
}

namespace frontend {

class LinkTestView {
public:
    virtual ~LinkTestView() = default;
    virtual void AppendLog(const QString& line) = 0;
    // The text beside "Nb I2C errors:".
    virtual void ShowErrorTotal(const QString& text) = 0;
};

inline constexpr std::uint8_t DemodSharp = 0xD0;
inline constexpr std::uint8_t DemodEardatek = 0xD4;

// Where the demodulator keeps its identity, and what an STV0903 answers.
inline constexpr std::uint16_t RegChipId = 0xF100;
inline constexpr std::uint8_t ChipIdSTV0903 = 0x20;

// What a NIM test found: whether the demodulator answered, the total, and
// whether the tuner took its set-up (and, on the Eardatek NIM, read back).
struct LinkTestResult {
    bool demodFound = false;
    std::int32_t errors = 0;
    bool tunerReady = false;
};

class LinkTest {
public:
    LinkTest(i2c::RegisterAccess& master, LinkTestView& view) : master_(master), view_(view) {}

    // "test I2C Sharp/Samsung" and "test I2C Earda": the link test at that
    // NIM's demodulator address, then its tuner.
    LinkTestResult TestSharp();
    LinkTestResult TestEarda();

    // The link test at DemodAddress; false when nobody answered there.
    bool TestDemod();
    // The default image (counted into the total on failure) and the tuners.
    void InitSTV903();
    // The tuner of the NIM at DemodAddress: the Eardatek NIM's set-up and
    // read-back, or the Sharp/Samsung NIM's STV6110; true when it worked.
    bool SetUpTuner();
    // The Eardatek NIM's tuner set-up and read-back; true when both worked.
    bool SetUpEardaTuner();
    // True when the tuner took every register.
    bool InitSTB6100();
    bool InitSTV6110();

    std::uint8_t DemodAddress = 0;
    std::int32_t I2CErrorCount = 0;

private:
    LinkTestResult testNim(std::uint8_t demodAddress);
    void demodNotFound();

    i2c::RegisterAccess& master_;
    LinkTestView& view_;
};

}  // namespace frontend
