#include "store/SettingsRecord.h"

#include "store/CardFields.h"

#include "store/Cp1251.h"

#include <algorithm>
#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "the record is stored little-endian and read in place");

QByteArray SettingsRecord::bytes(TextField f) const {
    const auto* begin = reinterpret_cast<const char*>(raw_.data() + f.offset);
    const void* nul = std::memchr(begin, 0, static_cast<std::size_t>(f.width));
    const auto len = nul ? static_cast<const char*>(nul) - begin : f.width;
    return QByteArray(begin, static_cast<qsizetype>(len));
}

void SettingsRecord::setBytes(TextField f, QByteArrayView value) {
    auto* begin = raw_.data() + f.offset;
    std::memset(begin, 0, static_cast<std::size_t>(f.width));
    // A zero byte inside the value ends the text, and nothing of the value
    // after it is stored: the field is zero from there to its end.
    const auto* zero = value.empty()
                           ? nullptr
                           : std::memchr(value.data(), 0, static_cast<std::size_t>(value.size()));
    const qsizetype text = zero ? static_cast<const char*>(zero) - value.data() : value.size();
    const auto len = std::min<qsizetype>(text, f.width - 1);
    if (len > 0) // an empty view may have no data at all
        std::memcpy(begin, value.data(), static_cast<std::size_t>(len));
}

QString SettingsRecord::text(TextField f) const {
    return Cp1251::decode(bytes(f));
}

void SettingsRecord::setText(TextField f, const QString& value) {
    setBytes(f, Cp1251::encode(value));
}

SettingsRecord SettingsRecord::MakeTemplate() const {
    SettingsRecord t;
    std::memcpy(t.raw_.data(), raw_.data(), DeviceImageSize);
    t.setCodeUoo(0);
    std::memset(t.raw_.data(), 0, 10); // Pin1Edit and Pin2Edit
    return t;
}

std::array<std::uint8_t, SettingsRecord::DeviceImageSize> SettingsRecord::DeviceImage() const {
    std::array<std::uint8_t, DeviceImageSize> image{};
    std::memcpy(image.data(), raw_.data(), DeviceImageSize);
    return image;
}

void SettingsRecord::StampProgrammed(std::uint16_t frameCrc, double now) {
    setProgDate(now);
    setProgID2(ProgID1());
    setProgID1(frameCrc);
}

std::uint16_t SettingsRecord::u16(int off) const {
    std::uint16_t v;
    std::memcpy(&v, raw_.data() + off, sizeof v);
    return v;
}

void SettingsRecord::setU16(int off, std::uint16_t v) {
    std::memcpy(raw_.data() + off, &v, sizeof v);
}

std::uint32_t SettingsRecord::u32(int off) const {
    std::uint32_t v;
    std::memcpy(&v, raw_.data() + off, sizeof v);
    return v;
}

void SettingsRecord::setU32(int off, std::uint32_t v) {
    std::memcpy(raw_.data() + off, &v, sizeof v);
}

double SettingsRecord::f64(int off) const {
    double v;
    std::memcpy(&v, raw_.data() + off, sizeof v);
    return v;
}

void SettingsRecord::setF64(int off, double v) {
    std::memcpy(raw_.data() + off, &v, sizeof v);
}

std::array<std::uint8_t, SettingsRecord::DeviceImageSize> SettingsRecord::sentImage() const {
    std::array<std::uint8_t, DeviceImageSize> image = DeviceImage();
    if (!balEnable()) {
        for (const TextField f : BalanceTexts)
            std::memset(image.data() + f.offset, 0, static_cast<std::size_t>(f.width));
    }
    return image;
}
