// The register catalogue as the register commands use it: finding a
// register by name or address, the image's value for it, and the CSV.
#include <gtest/gtest.h>

#include "frontend/demod_image.h"
#include "frontend/link_test.h"
#include "frontend/register_dump.h"
#include "catalogues/stv0903_signal.h"

using frontend::FindRegister;

TEST(FindRegister, ByNameAnyCaseOrByHexAddressOnly) {
    ASSERT_NE(FindRegister("MID"), nullptr);
    EXPECT_EQ(FindRegister("MID")->Address, 0xF100);
    EXPECT_EQ(FindRegister("tstdisrx")->Address, 0xFF67);
    EXPECT_EQ(FindRegister("0xF536")->Name, "VTH34");
    EXPECT_EQ(FindRegister("0xff67")->Name, "TSTDISRX");
    // Addresses between catalogue rows, past the end, malformed or without
    // their 0x are refused, as are names that merely start like one.
    for (const char* bad : {"0xF101", "0xF0FF", "0x1F100", "0x", "0xF10G", "F100", "MI", "MIDX", ""})
        EXPECT_EQ(FindRegister(bad), nullptr) << bad;
}

TEST(ImageValue, ConstantsAndTheTwoRegistersThatTakeTheChipsAddress) {
    EXPECT_EQ(frontend::ImageValue(0xF536, frontend::DemodEardatek), 0x22);
    EXPECT_EQ(frontend::ImageValue(0xF12A, frontend::DemodSharp), 0x44);
    EXPECT_EQ(frontend::ImageValue(0xF166, frontend::DemodEardatek), frontend::DemodEardatek);
    EXPECT_EQ(frontend::ImageValue(0xF534, frontend::DemodSharp), frontend::DemodSharp);
    EXPECT_FALSE(frontend::ImageValue(0xF100, frontend::DemodSharp));  // the identity is not written
    std::size_t imaged = 0;
    for (const auto& reg : STV0903Registers::STV0903RegisterTable)
        imaged += frontend::ImageValue(reg.Address, frontend::DemodEardatek).has_value();
    EXPECT_EQ(imaged, frontend::DemodImageSize);
}

TEST(RegisterCsv, FailedReadsCountAsDifferingOnlyWhereTheImageHasAValue) {
    std::vector<frontend::RegisterReading> rows(4);
    rows[0] = {"MID", 0xF100, true, 0x20, std::nullopt};
    rows[1] = {"VTH34", 0xF536, true, 0x00, 0x22};
    rows[2] = {"VTH23", 0xF535, false, 0x00, 0x11};
    rows[3] = {"FSKRAGC", 0xF17C, false, 0x00, std::nullopt};
    EXPECT_EQ(frontend::RegisterCsv(rows),
              "name,address,value,image,differs\n"
              "MID,0xF100,0x20,,\n"
              "VTH34,0xF536,0x00,0x22,yes\n"
              "VTH23,0xF535,,0x11,yes\n"
              "FSKRAGC,0xF17C,,,\n");
    EXPECT_EQ(frontend::RegisterLine(*FindRegister("MID"), 0x20), "MID (0xF100) = 0x20");
}

// What the demodulator measures itself only has to be readable: the image
// merely starts its search there.
TEST(RegisterReading, MeasurementsNeedOnlyBeReadable) {
    frontend::RegisterReading sfr{"SFR3", 0xF464, true, 0x34, 0x07, true};
    EXPECT_TRUE(sfr.differs());
    EXPECT_FALSE(sfr.mismatch());
    sfr.read = false;
    EXPECT_TRUE(sfr.mismatch());
    const frontend::RegisterReading vth{"VTH34", 0xF536, true, 0x00, 0x22, false};
    EXPECT_TRUE(vth.mismatch());
    const frontend::RegisterReading mid{"MID", 0xF100, false, 0x00, std::nullopt, false};
    EXPECT_FALSE(mid.mismatch());
}

// The signal figures scale with the master clock the default image sets up:
// its PLL settings must be the ones the chip's facts assume.
TEST(ImageValue, PllSettingsGiveTheMasterClockTheSignalFiguresAssume) {
    EXPECT_EQ(frontend::ImageValue(STV0903Signal::NCOARSE, 0xD4), STV0903Signal::ImageNcoarse);
    EXPECT_EQ(frontend::ImageValue(STV0903Signal::SYNTCTRL, 0xD4), STV0903Signal::ImageSyntctrl);
}
