#include "store/Cp1251.h"

#include <array>
#include <cstdint>

namespace {

// Unicode of the bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order.
constexpr std::array<char16_t, 64> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
};

char16_t toUnicode(std::uint8_t b) {
    if (b < 0x80)
        return b;
    if (b >= 0xC0)
        return static_cast<char16_t>(0x0410 + (b - 0xC0));
    return kHigh[b - 0x80];
}

// Returns -1 for a character outside the code page.
int fromUnicode(char16_t c) {
    if (c < 0x80)
        return c;
    if (c >= 0x0410 && c <= 0x044F)
        return 0xC0 + (c - 0x0410);
    for (int i = 0; i < 64; ++i) {
        if (kHigh[static_cast<std::size_t>(i)] == c)
            return 0x80 + i;
    }
    return -1;
}

} // namespace

namespace Cp1251 {

QString decode(QByteArrayView bytes) {
    QString out(bytes.size(), Qt::Uninitialized);
    auto* dst = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        dst[i] = QChar(toUnicode(static_cast<std::uint8_t>(bytes[i])));
    return out;
}

QByteArray encode(QStringView text) {
    QByteArray out(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int b = fromUnicode(text[i].unicode());
        out[i] = static_cast<char>(b < 0 ? '?' : b);
    }
    return out;
}

bool canHold(char16_t c) {
    return fromUnicode(c) >= 0;
}

bool canEncode(QStringView text) {
    for (QChar c : text) {
        if (fromUnicode(c.unicode()) < 0)
            return false;
    }
    return true;
}

} // namespace Cp1251
