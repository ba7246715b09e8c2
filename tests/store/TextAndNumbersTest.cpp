#include "store/Cp1251.h"
#include "store/DateTime.h"
#include "store/NumberText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(NumberText, FollowsTheTypedNumberRules) {
    const struct {
        const char16_t* text;
        std::int32_t fallback;
        std::int32_t expected;
    } cases[] = {
        {u"123", 0, 123},
        {u"  42", 0, 42},
        {u"+7", 0, 7},
        {u"-1", 0, -1},
        {u"007", 0, 7},
        {u"$1F", 0, 31},
        {u"x1f", 0, 31},
        {u"X10", 0, 16},
        {u"0x10", 0, 16},
        {u"0XfF", 0, 255},
        {u"-$10", 0, -16},
        {u"$FFFFFFFF", 0, -1},
        {u"$80000000", 0, std::numeric_limits<std::int32_t>::min()},
        {u"$100000000", 9, 9},
        {u"2147483647", 0, 2147483647},
        {u"2147483648", 9, 9},
        {u"-2147483648", 0, std::numeric_limits<std::int32_t>::min()},
        {u"-2147483649", 9, 9},
        {u"99999999999999999999", 9, 9},
        {u"", 60, 60},
        {u"   ", 60, 60},
        {u"-", 5, 5},
        {u"$", 5, 5},
        {u"0x", 5, 5},
        {u"12a", 5, 5},
        {u"12 ", 5, 5},
        {u"1.5", 5, 5},
        {u"ABC", 1, 1},
        {u"\u0661", 3, 3}, // an Arabic-Indic digit is not a digit here
        {u"12\u0430", 3, 3},
    };
    for (const auto& c : cases) {
        const QString text = QString::fromUtf16(c.text);
        EXPECT_EQ(parseNumber(text, c.fallback), c.expected) << text.toStdString();
    }
}

TEST(Cp1251, EveryByteSurvivesDecodeAndEncode) {
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    EXPECT_EQ(Cp1251::encode(Cp1251::decode(all)), all);
}

TEST(Cp1251, RussianLettersMapToTheirBytes) {
    EXPECT_EQ(Cp1251::encode(u"АЯаяЁё№"), QByteArray::fromHex("C0DFE0FFA8B8B9"));
    EXPECT_EQ(Cp1251::decode(QByteArray::fromHex("CFF0E8E2E5F2")), QStringLiteral("Привет"));
}

TEST(Cp1251, CharactersOutsideTheCodePageBecomeQuestionMarks) {
    EXPECT_EQ(Cp1251::encode(u"a\u4E2Db"), QByteArray("a?b"));
    EXPECT_FALSE(Cp1251::canEncode(u"\u4E2D"));
    EXPECT_TRUE(Cp1251::canEncode(u"Ёлка €"));
}

TEST(DateTime, EpochAndKnownDates) {
    EXPECT_EQ(TDateTime::fromDateTime(QDateTime(QDate(1899, 12, 30), QTime(0, 0))), 0.0);
    EXPECT_EQ(TDateTime::fromDateTime(QDateTime(QDate(1900, 1, 1), QTime(18, 0))), 2.75);
    EXPECT_EQ(TDateTime::fromDateTime(QDateTime(QDate(2025, 12, 9), QTime(0, 0))), 46000.0);
    const auto dt = TDateTime::toDateTime(46000.75);
    ASSERT_TRUE(dt);
    EXPECT_EQ(dt->date(), QDate(2025, 12, 9));
    EXPECT_EQ(dt->time(), QTime(18, 0));
}

TEST(DateTime, RoundTripsToTheMillisecond) {
    const QDateTime t(QDate(2026, 12, 8), QTime(14, 22, 38, 123));
    EXPECT_EQ(*TDateTime::toDateTime(TDateTime::fromDateTime(t)), t);
}

TEST(DateTime, ImpossibleValuesGiveNoDate) {
    // The last half millisecond of 31.12.9999 rounds into a year that is not.
    for (double v : {std::nan(""), std::numeric_limits<double>::infinity(), -1e300, 1e300,
                     3000000.0, 2958466.0 - 0.4 / 86'400'000}) {
        EXPECT_FALSE(TDateTime::toDateTime(v)) << v;
    }
    EXPECT_EQ(TDateTime::toDateTime(2958466.0 - 1.0 / 86'400)->date(), QDate(9999, 12, 31));
}

TEST(DateTime, ShortDateAndTimeWithSecondsInRussian) {
    const DateTimeText text(QLocale(QLocale::Russian, QLocale::Russia));
    EXPECT_EQ(text(46000.0), QStringLiteral("09.12.2025"));
    EXPECT_EQ(text(46000.75), QStringLiteral("09.12.2025 18:00:00"));
    EXPECT_EQ(text(46000.0 + 1.0 / 86400),
              QStringLiteral("09.12.2025 0:00:01")
                  .replace(QStringLiteral(" 0:"), QStringLiteral(" 00:")));
    EXPECT_EQ(text(std::nan("")), QString());
}

TEST(DateTime, NoTimeZoneInAnyLocale) {
    const DateTimeText text(QLocale(QLocale::English, QLocale::UnitedStates));
    const QString s = text(46000.75);
    EXPECT_TRUE(s.startsWith(QStringLiteral("12/9/25"))) << s.toStdString();
    EXPECT_TRUE(s.endsWith(QStringLiteral("6:00:00\u202FPM")) ||
                s.endsWith(QStringLiteral("6:00:00 PM")))
        << s.toStdString();
}

} // namespace
