#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "catalogues/stb0899_registers.h"
#include "catalogues/stv0903_registers.h"

namespace {

using STB0899Registers::STB0899RegisterTable;
using STV0903Registers::STV0903RegisterTable;

bool isRegisterName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// Registers of the demodulator's default image, in the order it writes them.
constexpr std::array<std::uint16_t, 275> DefaultImageRegisters{
    0xF113, 0xF114, 0xF11C, 0xF124, 0xF125, 0xF126, 0xF127, 0xF129, 0xF12A, 0xF140,
    0xF141, 0xF142, 0xF143, 0xF144, 0xF145, 0xF146, 0xF147, 0xF148, 0xF149, 0xF14A,
    0xF14B, 0xF14C, 0xF14D, 0xF14E, 0xF14F, 0xF150, 0xF151, 0xF152, 0xF153, 0xF154,
    0xF155, 0xF15A, 0xF165, 0xF166, 0xF167, 0xF168, 0xF169, 0xF16A, 0xF16B, 0xF16C,
    0xF1B3, 0xF1B6, 0xF1B7, 0xF1B8, 0xF1C2, 0xF1C3, 0xF1DF, 0xF1E0, 0xF1E1, 0xF1E2,
    0xF1E3, 0xF170, 0xF171, 0xF172, 0xF173, 0xF174, 0xF175, 0xF176, 0xF177, 0xF178,
    0xF179, 0xF17A, 0xF17B, 0xF17D, 0xF17E, 0xF17F, 0xF182, 0xF183, 0xF186, 0xF187,
    0xF188, 0xF1A0, 0xF1A1, 0xF1A6, 0xF1A7, 0xF1A8, 0xF1A9, 0xF1AA, 0xF1AC, 0xF1AD,
    0xF400, 0xF401, 0xF404, 0xF406, 0xF407, 0xF410, 0xF411, 0xF414, 0xF415, 0xF417,
    0xF41E, 0xF41F, 0xF420, 0xF421, 0xF422, 0xF425, 0xF42C, 0xF42D, 0xF42E, 0xF438,
    0xF439, 0xF43A, 0xF43D, 0xF43E, 0xF43F, 0xF440, 0xF441, 0xF442, 0xF443, 0xF446,
    0xF447, 0xF448, 0xF449, 0xF44A, 0xF44B, 0xF450, 0xF451, 0xF452, 0xF453, 0xF454,
    0xF455, 0xF456, 0xF458, 0xF459, 0xF45A, 0xF45B, 0xF45E, 0xF45F, 0xF460, 0xF461,
    0xF462, 0xF463, 0xF464, 0xF465, 0xF466, 0xF467, 0xF468, 0xF469, 0xF46A, 0xF46F,
    0xF490, 0xF491, 0xF493, 0xF494, 0xF495, 0xF497, 0xF498, 0xF49C, 0xF49D, 0xF4AC,
    0xF4AD, 0xF4AE, 0xF4B0, 0xF4B1, 0xF4B2, 0xF4B3, 0xF4B4, 0xF4B5, 0xF4B6, 0xF4B7,
    0xF4B8, 0xF4B9, 0xF4BA, 0xF4BB, 0xF4BC, 0xF4BD, 0xF4BE, 0xF4BF, 0xF4C0, 0xF4C1,
    0xF4C2, 0xF4C3, 0xF4C6, 0xF4D0, 0xF4D2, 0xF4D4, 0xF4D6, 0xF4D1, 0xF4D3, 0xF4D5,
    0xF4D7, 0xF4D8, 0xF500, 0xF501, 0xF502, 0xF520, 0xF4E0, 0xF4E1, 0xF4E4, 0xF4E7,
    0xF4E8, 0xF4E9, 0xF4EA, 0xF4EB, 0xF4EC, 0xF4ED, 0xF4EE, 0xF532, 0xF533, 0xF534,
    0xF535, 0xF536, 0xF537, 0xF538, 0xF539, 0xF53B, 0xF53C, 0xF53D, 0xF540, 0xF541,
    0xF542, 0xF543, 0xF544, 0xF545, 0xF550, 0xF551, 0xF554, 0xF55E, 0xF55F, 0xF56B,
    0xF56C, 0xF56D, 0xF56E, 0xF56F, 0xFA03, 0xFA04, 0xFA05, 0xFA06, 0xFA07, 0xFA08,
    0xFA09, 0xFA0A, 0xFA0B, 0xFA0C, 0xFA0D, 0xFA0E, 0xFA0F, 0xFA10, 0xFA3F, 0xFA43,
    0xFA44, 0xFA45, 0xFA46, 0xFA47, 0xFA48, 0xFA49, 0xFA4A, 0xFA4B, 0xFA4C, 0xFA4D,
    0xFA4E, 0xFA4F, 0xFA50, 0xFA80, 0xFA86, 0xF570, 0xF572, 0xF573, 0xF574, 0xF576,
    0xF579, 0xF57A, 0xF580, 0xF598, 0xF59C, 0xF5A0, 0xF5A1, 0xF5A2, 0xF5A3, 0xF5B2,
    0xF600, 0xF630, 0xFF11, 0xFF48, 0xFF67,
};

TEST(Stv0903Catalogue, EndsNamesAndAddresses) {
    ASSERT_EQ(STV0903RegisterTable.size(), 405u);
    EXPECT_EQ(STV0903RegisterTable.front().Name, "MID");
    EXPECT_EQ(STV0903RegisterTable.front().Address, 0xF100);
    EXPECT_EQ(STV0903RegisterTable.back().Name, "TSTDISRX");
    EXPECT_EQ(STV0903RegisterTable.back().Address, 0xFF67);

    std::set<std::string_view> names;
    std::set<std::uint16_t> addresses;
    for (const auto& row : STV0903RegisterTable) {
        SCOPED_TRACE(std::string(row.Name));
        EXPECT_TRUE(isRegisterName(row.Name));
        EXPECT_FALSE(row.ReadOnly);
        const auto a = row.Address;
        EXPECT_TRUE((a >= 0xF100 && a <= 0xF1E3) || (a >= 0xF400 && a <= 0xF630) ||
                    (a >= 0xFA03 && a <= 0xFA98) || (a >= 0xFF11 && a <= 0xFF67));
        names.insert(row.Name);
        addresses.insert(a);
    }
    EXPECT_EQ(names.size(), 405u);
    EXPECT_EQ(addresses.size(), 405u);
}

TEST(Stv0903Catalogue, DefaultImageFollowsCatalogueOrder) {
    std::map<std::uint16_t, std::size_t> rowOf;
    for (std::size_t i = 0; i < STV0903RegisterTable.size(); ++i) rowOf[STV0903RegisterTable[i].Address] = i;

    std::set<std::size_t> written;
    std::size_t previous = 0;
    for (std::size_t k = 0; k < DefaultImageRegisters.size(); ++k) {
        const auto found = rowOf.find(DefaultImageRegisters[k]);
        ASSERT_NE(found, rowOf.end()) << "image entry " << k + 1 << " is not a catalogue row";
        if (k > 0) {
            EXPECT_GT(found->second, previous) << "image entry " << k + 1 << " out of catalogue order";
        }
        previous = found->second;
        written.insert(found->second);
    }
    EXPECT_EQ(written.size(), 275u);
    EXPECT_EQ(STV0903RegisterTable.size() - written.size(), 130u);
}

TEST(Stb0899Catalogue, RunsAndDirectRows) {
    ASSERT_EQ(STB0899RegisterTable.size(), 451u);
    EXPECT_EQ(STB0899RegisterTable[1].Name, "DEMOD");
    EXPECT_EQ(STB0899RegisterTable[1].OffsetAddress, 0xF40E);
    EXPECT_EQ(STB0899RegisterTable[69].Name, "PLPARM");
    EXPECT_EQ(STB0899RegisterTable[69].OffsetAddress, 0xF58C);
    EXPECT_EQ(STB0899RegisterTable[267].Name, "ERRCTRL1");
    EXPECT_EQ(STB0899RegisterTable[267].OffsetAddress, 0xF574);
    EXPECT_EQ(STB0899RegisterTable.back().Name, "IRQCFG");

    std::set<std::string_view> names;
    std::map<std::uint16_t, std::vector<std::string_view>> direct;
    std::size_t readOnly = 0;
    for (std::size_t i = 0; i < STB0899RegisterTable.size(); ++i) {
        const auto& row = STB0899RegisterTable[i];
        SCOPED_TRACE(std::string(row.Name));
        EXPECT_TRUE(isRegisterName(row.Name));
        names.insert(row.Name);
        readOnly += row.ReadOnly ? 1 : 0;
        // Rows 71..267 counted from 1.
        EXPECT_EQ(row.RegisterPointed, i >= 70 && i <= 266) << "row " << i + 1;
        if (!row.RegisterPointed) {
            EXPECT_EQ(row.Size, 8);
            EXPECT_EQ(row.DeviceAddress, 0);
            EXPECT_EQ(row.BaseAddress, 0u);
            // A direct address inside a pointer window would alias a pointed register.
            EXPECT_FALSE(row.OffsetAddress >= 0xF300 && row.OffsetAddress <= 0xF3FF);
            EXPECT_FALSE(row.OffsetAddress >= 0xFA00 && row.OffsetAddress <= 0xFAFF);
            direct[row.OffsetAddress].push_back(row.Name);
        }
    }
    EXPECT_EQ(names.size(), 451u);
    EXPECT_EQ(readOnly, 171u);
    for (const auto& [address, sharing] : direct) {
        if (address == 0xFF53) {
            EXPECT_EQ(sharing, (std::vector<std::string_view>{"TSTRATE", "TSTRS3"}));
        } else {
            EXPECT_EQ(sharing.size(), 1u) << std::hex << address;
        }
    }
}

TEST(Stb0899Catalogue, PointedBanks) {
    struct Bank {
        std::size_t first, last;  // rows counted from 1
        std::uint16_t pointer;
        std::uint32_t base;
        std::uint16_t windowEnd;
    };
    constexpr Bank banks[] = {
        {71, 98, 0xF3FC, 0x000, 0xF37C},   {99, 108, 0xF3FC, 0x020, 0xF37C},
        {109, 140, 0xF3FC, 0x040, 0xF37C}, {141, 172, 0xF3FC, 0x060, 0xF37C},
        {173, 198, 0xF3FC, 0x400, 0xF37C}, {199, 224, 0xF3FC, 0x440, 0xF37C},
        {225, 246, 0xF3FC, 0x460, 0xF37C}, {247, 255, 0xFAFC, 0x000, 0xFA38},
        {256, 267, 0xFAFC, 0x800, 0xFA38},
    };
    for (const auto& bank : banks) {
        SCOPED_TRACE("bank from row " + std::to_string(bank.first));
        const std::uint16_t windowStart = bank.pointer == 0xF3FC ? 0xF300 : 0xFA00;
        std::uint16_t previous = 0;
        for (std::size_t r = bank.first; r <= bank.last; ++r) {
            const auto& row = STB0899RegisterTable[r - 1];
            SCOPED_TRACE(std::string(row.Name));
            EXPECT_EQ(row.DeviceAddress, bank.pointer);
            EXPECT_EQ(row.BaseAddress, bank.base);
            EXPECT_TRUE(row.Size == 8 || row.Size == 16 || row.Size == 24 || row.Size == 32);
            EXPECT_EQ(row.OffsetAddress % 4, 0);
            EXPECT_GE(row.OffsetAddress, windowStart);
            EXPECT_LE(row.OffsetAddress, bank.windowEnd);
            if (r > bank.first) {
                EXPECT_GT(row.OffsetAddress, previous);
            }
            previous = row.OffsetAddress;
        }
    }
}

TEST(Stb0899Catalogue, TransportBufferRows) {
    for (int n = 0; n < 64; ++n) {
        const auto& row = STB0899RegisterTable[108 + n];
        const std::string name = n == 0 ? "TP_BUFFER" : "TP_BUFFER" + std::to_string(n);
        SCOPED_TRACE(name);
        EXPECT_EQ(row.Name, name);
        EXPECT_EQ(row.Size, 16);
        EXPECT_TRUE(row.ReadOnly);
        EXPECT_EQ(row.OffsetAddress, 0xF300 + 4 * (n % 32));
        EXPECT_EQ(row.BaseAddress, 0x040u + 0x020u * (n / 32));
        EXPECT_EQ(row.DeviceAddress, 0xF3FC);
    }
}

TEST(Stb0899Catalogue, TellingRows) {
    using STB0899Registers::RegisterContent;
    const RegisterContent expected[] = {
        {8, "DEV_ID", 0xF000, true, false, 0, 0},
        {16, "DMD_STATUS", 0xF300, true, true, 0xF3FC, 0x000},
        {32, "CRL_FREQ", 0xF304, true, true, 0xF3FC, 0x000},
        {8, "DMD_CNTRL", 0xF31C, false, true, 0xF3FC, 0x000},
        {8, "FLL_CNTRL", 0xF310, false, true, 0xF3FC, 0x020},
        {24, "ACM_ENABLE", 0xF304, false, true, 0xF3FC, 0x400},
        {32, "EQ_I_OUT_COEFF_0", 0xF300, true, true, 0xF3FC, 0x460},
        {8, "BLOCK_LNGTH", 0xFA04, false, true, 0xFAFC, 0x000},
        {16, "LDPC_STAT", 0xFA04, true, true, 0xFAFC, 0x800},
        {8, "I2CRPT", 0xF12A, false, false, 0, 0},
        {8, "IRQCFG", 0xF128, false, false, 0, 0},
    };
    for (const auto& want : expected) {
        SCOPED_TRACE(std::string(want.Name));
        const auto row = std::find_if(STB0899RegisterTable.begin(), STB0899RegisterTable.end(),
                                      [&](const RegisterContent& r) { return r.Name == want.Name; });
        ASSERT_NE(row, STB0899RegisterTable.end());
        EXPECT_EQ(row->Size, want.Size);
        EXPECT_EQ(row->OffsetAddress, want.OffsetAddress);
        EXPECT_EQ(row->ReadOnly, want.ReadOnly);
        EXPECT_EQ(row->RegisterPointed, want.RegisterPointed);
        EXPECT_EQ(row->DeviceAddress, want.DeviceAddress);
        EXPECT_EQ(row->BaseAddress, want.BaseAddress);
    }
}

}  // namespace
