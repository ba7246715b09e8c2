#pragma once

#include <QStringList>

// What the record's codes mean, as the lists of both windows offer them: the
// code is the position in the list.
namespace CodeTexts {

// Loop modes: loop 1 ends with the entry loop; loops 2 to 5 have a separator
// at 5 and the pass-through loop at 6.
inline QStringList loopModes(int loop) {
    QStringList items = {
        QStringLiteral("Отключен"),          QStringLiteral("Охранный шлейф"),
        QStringLiteral("Пожарный шлейф"),    QStringLiteral("Шлейф КТС"),
        QStringLiteral("Управляющий шлейф"),
    };
    if (loop == 1) {
        items << QStringLiteral("Входной охранный шлейф");
    } else {
        items << QStringLiteral("---------------------------")
              << QStringLiteral("Проходной охранный шлейф");
    }
    return items;
}

inline QStringList outputProfiles() {
    return {
        QStringLiteral("Выключен"),
        QStringLiteral("Тревога (Свет)"),
        QStringLiteral("Тревога (Звук)"),
        QStringLiteral("Пожар (Свет)"),
        QStringLiteral("Пожар (Звук)"),
        QStringLiteral("Тревога + Пожар (Свет)"),
        QStringLiteral("Тревога + Пожар (Звук)"),
    };
}

inline QString versionItem() {
    return QStringLiteral("56.00 и выше");
}

} // namespace CodeTexts
