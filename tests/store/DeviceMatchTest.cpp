#include "store/DeviceMatch.h"
#include "store/DateTime.h"

#include <gtest/gtest.h>

namespace {

TEST(DeviceMatch, TheVerdictNamesTheCardItsRowAndWhatDiffers) {
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    SettingsRecord card;
    card.setText(Field::NCardEdit, QStringLiteral("Склад"));
    card.setProgDate(46001.25);
    const QString date = DateTimeText(russian)(46001.25);
    const CardField* two[] = {&fieldNamed("APN1Edit"), &fieldNamed("Cord1")};
    using Case = DeviceMatch::Case;
    const struct {
        Case found;
        int differing;
        QString said;
    } cases[] = {
        {Case::Same, 0,
         QStringLiteral("Совпадает с карточкой «Склад» (строка 5), запрограммированной %1.")
             .arg(date)},
        {Case::Changed, 2,
         QStringLiteral("Записана карточка «Склад» (строка 5) от %1; с тех пор в базе изменено "
                        "полей: 2.")
             .arg(date)},
        {Case::Previous, 1,
         QStringLiteral("Записана предыдущая версия карточки «Склад» (строка 5); полей, "
                        "отличающихся от базы: 1.")},
        {Case::SameCode, 0, QStringLiteral("Настройки совпадают с карточкой «Склад» (строка 5).")},
        {Case::SameCode, 2,
         QStringLiteral("Код УО есть в базе: карточка «Склад» (строка 5); полей, отличающихся от "
                        "базы: 2.")},
        {Case::Unknown, 0, QStringLiteral("Этого УОО нет в базе.")},
    };
    for (const auto& c : cases) {
        DeviceMatch match;
        match.found = c.found;
        match.slot = c.found == Case::Unknown ? -1 : 4;
        match.differing.assign(two, two + c.differing);
        EXPECT_EQ(verdictText(match, card, russian), c.said) << static_cast<int>(c.found);
    }
}

} // namespace
