#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/KERMIT: polynomial 0x1021 reflected (0x8408), initial value 0, no
// final XOR, least significant bit first. Stored low byte first after the
// data it covers, it makes the CRC over data and CRC together 0.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t count);

// The bitwise form the table is derived from; kept for tests and benchmarks.
std::uint16_t Crc16Bitwise(const std::uint8_t* data, std::size_t count);

// Two's complement of the byte sum: a packet whose bytes, checksum included,
// add up to 0 modulo 256 is intact.
std::uint8_t Checksum8(const std::uint8_t* data, std::size_t count);
