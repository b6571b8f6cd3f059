#include "frontend/register_dump.h"

#include <charconv>

#include "catalogues/stv0903_signal.h"
#include "frontend/demod_image.h"
#include "i2c/register_access.h"

namespace frontend {

namespace {

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

QString Hex(unsigned value, int digits) {
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

std::optional<std::uint8_t> ImageValue(std::uint16_t reg, std::uint8_t demodAddress) {
    for (const DemodImageEntry& e : DemodImage)
        if (e.reg == reg) return e.isAddress ? demodAddress : e.value;
    return std::nullopt;
}

const STV0903Registers::RegisterContent* FindRegister(std::string_view text) {
    using STV0903Registers::STV0903RegisterTable;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        unsigned address = 0;
        const char* end = text.data() + text.size();
        auto [p, ec] = std::from_chars(text.data() + 2, end, address, 16);
        if (ec != std::errc() || p != end) return nullptr;
        for (const auto& row : STV0903RegisterTable)
            if (row.Address == address) return &row;
        return nullptr;
    }
    for (const auto& row : STV0903RegisterTable)
        if (equalNoCase(row.Name, text)) return &row;
    return nullptr;
}

std::vector<RegisterReading> ReadAllRegisters(i2c::RegisterAccess& bus, std::uint8_t demodAddress) {
    std::vector<i2c::RegisterOp> ops;
    ops.reserve(STV0903Registers::RegisterCount);
    for (const auto& reg : STV0903Registers::STV0903RegisterTable) ops.push_back(i2c::RegisterOp::read(reg.Address));
    bus.Transfer(demodAddress, ops);
    std::vector<RegisterReading> rows;
    rows.reserve(ops.size());
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const auto& reg = STV0903Registers::STV0903RegisterTable[i];
        RegisterReading r;
        r.name = reg.Name;
        r.address = reg.Address;
        r.read = ops[i].ok;
        r.value = ops[i].value;
        r.image = ImageValue(reg.Address, demodAddress);
        r.measured = STV0903Signal::SetByDemodulator(reg.Address);
        rows.push_back(r);
    }
    return rows;
}

QString RegisterCsv(const std::vector<RegisterReading>& rows) {
    QString csv = QStringLiteral("name,address,value,image,differs\n");
    for (const RegisterReading& r : rows) {
        csv += QString::fromLatin1(r.name.data(), static_cast<qsizetype>(r.name.size()));
        csv += QLatin1Char(',') + Hex(r.address, 4) + QLatin1Char(',');
        if (r.read) csv += Hex(r.value, 2);
        csv += QLatin1Char(',');
        if (r.image) csv += Hex(*r.image, 2);
        csv += QLatin1Char(',');
        if (r.image) csv += r.differs() ? QStringLiteral("yes") : QStringLiteral("no");
        csv += QLatin1Char('\n');
    }
    return csv;
}

QString RegisterLine(const STV0903Registers::RegisterContent& reg, std::uint8_t value) {
    return QString::fromLatin1(reg.Name.data(), static_cast<qsizetype>(reg.Name.size())) +
           QStringLiteral(" (") + Hex(reg.Address, 4) + QStringLiteral(") = ") + Hex(value, 2);
}

}  // namespace frontend
