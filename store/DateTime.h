#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <optional>

// TDateTime: a double counting days since 30 December 1899, the time of day
// as its fraction, in local time. Every conversion of the stored dates lives
// here.
namespace TDateTime {

double fromDateTime(const QDateTime& local);
// Empty for values no calendar date can hold (not a number, infinite, or
// beyond the years 1..9999), as a damaged file may carry.
std::optional<QDateTime> toDateTime(double value);
double now();

} // namespace TDateTime

// Renders dates as the records grid shows them: the locale's short date, a
// blank and the locale's time with seconds and without a time zone; the blank
// and the time are left out at 00:00:00. The formats are worked out once.
class DateTimeText {
public:
    explicit DateTimeText(const QLocale& locale = QLocale());
    QString operator()(double value) const;

private:
    QLocale locale_;
    QString dateFormat_;
    QString timeFormat_;
};

// The time of day in the locale's long time format without a time zone,
// e.g. 14:03:27.
QString timeOfDayText(const QTime& time, const QLocale& locale = QLocale());

// The operator's locale, except that a C or POSIX system locale gives
// Russian, the language of the whole interface.
QLocale operatorLocale();
