#pragma once

#include <QString>

#include <array>

// Splits a stored dotted address into four boxes by peeling parts off the
// right end: "192.168.1.10" gives 192, 168, 1, 10; a text with fewer dots
// repeats its first part in the leading boxes ("10.5" gives 10, 10, 10, 5),
// and an empty text leaves all four empty. Index 0 is the first octet.
inline std::array<QString, 4> splitDottedAddress(QString s) {
    std::array<QString, 4> parts;
    for (int box = 3; box >= 0; --box) {
        const qsizetype dot = s.lastIndexOf(QLatin1Char('.'));
        parts[static_cast<std::size_t>(box)] = dot < 0 ? s : s.mid(dot + 1);
        if (dot >= 0)
            s.truncate(dot);
    }
    return parts;
}
