#include "store/DateTime.h"

#include <cmath>

namespace {

const QDate kEpoch(1899, 12, 30);
constexpr qint64 kMsPerDay = 86'400'000;
// 1 January 0001 to 31 December 9999, in days from the epoch.
constexpr double kMinDays = -693593.0;
constexpr double kMaxDays = 2958466.0;

// Removes time-zone fields ("t", "tt", ...) and the blanks before them from
// a Qt time format, leaving quoted text alone.
QString withoutTimeZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    return out.trimmed();
}

} // namespace

namespace TDateTime {

double fromDateTime(const QDateTime& local) {
    const qint64 days = kEpoch.daysTo(local.date());
    const double fraction = static_cast<double>(local.time().msecsSinceStartOfDay()) / kMsPerDay;
    // Before the epoch the whole part counts back while the fraction is
    // still the time of day.
    return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

std::optional<QDateTime> toDateTime(double value) {
    if (!std::isfinite(value) || value < kMinDays || value >= kMaxDays)
        return std::nullopt;
    double whole = std::trunc(value);
    qint64 ms = std::llround(std::fabs(value - whole) * kMsPerDay);
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        whole += 1;
    }
    // Rounded, the value must still be in the range.
    if (whole >= kMaxDays)
        return std::nullopt;
    const QDate date = kEpoch.addDays(static_cast<qint64>(whole));
    if (!date.isValid())
        return std::nullopt;
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)));
}

double now() {
    return fromDateTime(QDateTime::currentDateTime());
}

} // namespace TDateTime

DateTimeText::DateTimeText(const QLocale& locale)
    : locale_(locale), dateFormat_(locale.dateFormat(QLocale::ShortFormat)),
      timeFormat_(withoutTimeZone(locale.timeFormat(QLocale::LongFormat))) {}

QString DateTimeText::operator()(double value) const {
    const auto dt = TDateTime::toDateTime(value);
    if (!dt)
        return {};
    QString text = locale_.toString(dt->date(), dateFormat_);
    const QTime t = dt->time();
    if (t.hour() != 0 || t.minute() != 0 || t.second() != 0) {
        text += QLatin1Char(' ');
        text += locale_.toString(t, timeFormat_);
    }
    return text;
}

QString timeOfDayText(const QTime& time, const QLocale& locale) {
    return locale.toString(time, withoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
}

QLocale operatorLocale() {
    const QLocale system = QLocale::system();
    if (system.language() == QLocale::C)
        return QLocale(QLocale::Russian, QLocale::Russia);
    return system;
}
