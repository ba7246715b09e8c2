#include "store/NumberText.h"

std::int32_t parseNumber(QStringView text, std::int32_t fallback) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    bool hex = false;
    if (i < n && text[i] == QLatin1Char('$')) {
        hex = true;
        ++i;
    } else if (i < n && (text[i] == QLatin1Char('x') || text[i] == QLatin1Char('X'))) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == QLatin1Char('0') &&
               (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X'))) {
        hex = true;
        i += 2;
    }
    if (i >= n)
        return fallback;

    std::uint64_t value = 0;
    const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    for (; i < n; ++i) {
        const char16_t c = text[i].unicode();
        unsigned digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (hex && c >= u'a' && c <= u'f')
            digit = 10 + (c - u'a');
        else if (hex && c >= u'A' && c <= u'F')
            digit = 10 + (c - u'A');
        else
            return fallback;
        value = value * (hex ? 16 : 10) + digit;
        if (value > limit)
            return fallback;
    }
    const auto bits = static_cast<std::uint32_t>(value);
    const auto result = static_cast<std::int32_t>(bits);
    return negative ? static_cast<std::int32_t>(0u - bits) : result;
}
