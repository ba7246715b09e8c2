#include "link/Crc.h"

#include <array>

namespace {

constexpr std::uint16_t kPoly = 0x8408;

constexpr std::array<std::uint16_t, 256> makeTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        std::uint16_t crc = static_cast<std::uint16_t>(b);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ kPoly)
                            : static_cast<std::uint16_t>(crc >> 1);
        table[b] = crc;
    }
    return table;
}

constexpr auto kTable = makeTable();

} // namespace

std::uint16_t Crc16(const std::uint8_t* data, std::size_t count) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < count; ++i)
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFF]);
    return crc;
}

std::uint16_t Crc16Bitwise(const std::uint8_t* data, std::size_t count) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            if ((crc ^ byte) & 1)
                crc = static_cast<std::uint16_t>((crc >> 1) ^ kPoly);
            else
                crc = static_cast<std::uint16_t>(crc >> 1);
            byte = static_cast<std::uint8_t>(byte >> 1);
        }
    }
    return crc;
}

std::uint8_t Checksum8(const std::uint8_t* data, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum = static_cast<std::uint8_t>(sum - data[i]);
    return sum;
}
