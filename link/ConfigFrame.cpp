#include "link/ConfigFrame.h"

#include "link/Crc.h"
#include "store/SettingsRecord.h"

#include <QRandomGenerator>

#include <cstring>

int BuildConfigFrame(const SettingsRecord* record, std::uint8_t* frame, std::uint16_t* crc,
                     std::uint8_t versionCode, QRandomGenerator& random) {
    if (!record || !frame || !crc || versionCode != 0)
        return 0;
    const auto image = record->sentImage();
    std::memcpy(frame, image.data(), image.size());
    frame[260] = static_cast<std::uint8_t>(random.bounded(255));
    frame[261] = static_cast<std::uint8_t>(random.bounded(255));
    const std::uint16_t value = Crc16(frame, 262);
    frame[262] = static_cast<std::uint8_t>(value & 0xFF);
    frame[263] = static_cast<std::uint8_t>(value >> 8);
    *crc = value;
    return ConfigFrameSize;
}

bool AcceptConfigFrame(const std::uint8_t* bytes, int count, std::uint8_t* frame,
                       int* versionCode) {
    if (!bytes || !frame || !versionCode || count != ConfigFrameSize)
        return false;
    std::memcpy(frame, bytes, ConfigFrameSize);
    *versionCode = 0;
    return true;
}

bool isValidFrame(const std::uint8_t* bytes, int count) {
    if (count < 0 || (count > 0 && !bytes))
        return false;
    return Crc16(bytes, static_cast<std::size_t>(count)) == 0 && count == ConfigFrameSize;
}
