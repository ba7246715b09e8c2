#pragma once

#include <array>
#include <cstdint>

class QRandomGenerator;
class SettingsRecord;

// The unit the device is programmed with and read back as: the 260-byte
// device image, two random bytes 0..254, and the CRC-16 of the 262 bytes
// before it, low byte first.
inline constexpr int ConfigFrameSize = 264;
using ConfigFrame = std::array<std::uint8_t, ConfigFrameSize>;

// Fills `frame` from the record and hands back its CRC. Balance codes and
// phones are blanked in the frame when the record's balance check is off.
// Returns 264, or 0 without touching the outputs when the record or an
// output is missing or the version code is not 0.
int BuildConfigFrame(const SettingsRecord* record, std::uint8_t* frame, std::uint16_t* crc,
                     std::uint8_t versionCode, QRandomGenerator& random);

// Takes exactly 264 received bytes as a frame with version code 0. The CRC is
// the caller's to check first (CRC over all received bytes must be 0).
bool AcceptConfigFrame(const std::uint8_t* bytes, int count, std::uint8_t* frame, int* versionCode);

// Both checks of received bytes: zero CRC over all of them, then the length.
bool isValidFrame(const std::uint8_t* bytes, int count);
