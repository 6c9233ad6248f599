#include "SNP_NSDateAdditions.h"

#include <QTimeZone>

#include <cstdlib>
#include <optional>

namespace SNP_NSDateAdditions {
namespace {

QString pad(qint64 value, int width)
{
    const QString digits = QString::number(value < 0 ? -value : value).rightJustified(width, u'0');
    return value < 0 ? QStringLiteral("-") + digits : digits;
}

bool isPatternLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// "+HHMM", "+HH:MM", with seconds when asked for and present.
QString offsetText(int offsetSeconds, bool colon, bool minutesAlways, bool allowSeconds)
{
    const QChar sign = offsetSeconds < 0 ? u'-' : u'+';
    const int total = std::abs(offsetSeconds);
    const int hours = total / 3600, minutes = (total / 60) % 60, seconds = total % 60;
    QString text = QString(sign) + pad(hours, 2);
    if (minutesAlways || minutes != 0 || (allowSeconds && seconds != 0)) {
        if (colon)
            text += u':';
        text += pad(minutes, 2);
    }
    if (allowSeconds && seconds != 0) {
        if (colon)
            text += u':';
        text += pad(seconds, 2);
    }
    return text;
}

QString localizedGMT(int offsetSeconds, bool longForm)
{
    if (offsetSeconds == 0)
        return QStringLiteral("GMT");
    const QChar sign = offsetSeconds < 0 ? u'-' : u'+';
    const int total = std::abs(offsetSeconds);
    const int hours = total / 3600, minutes = (total / 60) % 60;
    if (longForm)
        return QStringLiteral("GMT") + sign + pad(hours, 2) + u':' + pad(minutes, 2);
    QString text = QStringLiteral("GMT") + sign + QString::number(hours);
    if (minutes)
        text += u':' + pad(minutes, 2);
    return text;
}

QString monthText(const QLocale& locale, int month, int count, bool standalone)
{
    if (count <= 2)
        return pad(month, count);
    const QLocale::FormatType type = count == 3 ? QLocale::ShortFormat
                                   : count == 4 ? QLocale::LongFormat : QLocale::NarrowFormat;
    return standalone ? locale.standaloneMonthName(month, type) : locale.monthName(month, type);
}

QString dayText(const QLocale& locale, int dayOfWeek, int count)
{
    const QLocale::FormatType type = count <= 3 ? QLocale::ShortFormat
                                   : count == 4 ? QLocale::LongFormat : QLocale::NarrowFormat;
    return locale.dayName(dayOfWeek, type);
}

// The fields of the calendar date: era, years, quarters, months, days and weekdays.
std::optional<QString> dateField(const QDate& date, QChar letter, int n, const QLocale& locale)
{
    switch (letter.unicode()) {
    case 'G':
        if (n <= 3) return date.year() > 0 ? QStringLiteral("AD") : QStringLiteral("BC");
        if (n == 4) return date.year() > 0 ? QStringLiteral("Anno Domini") : QStringLiteral("Before Christ");
        return date.year() > 0 ? QStringLiteral("A") : QStringLiteral("B");
    case 'y': {
        const int year = date.year() > 0 ? date.year() : 1 - date.year(); // year of era
        if (n == 2)
            return pad(year % 100, 2);
        return pad(year, n);
    }
    case 'u':
        return pad(date.year(), n);
    case 'Q':
    case 'q': {
        const int quarter = (date.month() - 1) / 3 + 1;
        return n <= 2 ? pad(quarter, n) : QStringLiteral("Q%1").arg(quarter);
    }
    case 'M':
        return monthText(locale, date.month(), n, false);
    case 'L':
        return monthText(locale, date.month(), n, true);
    case 'd':
        return pad(date.day(), n);
    case 'D':
        return pad(date.dayOfYear(), n);
    case 'E':
        return dayText(locale, date.dayOfWeek(), n);
    case 'e':
    case 'c':
        if (n <= 2) {
            const int first = int(locale.firstDayOfWeek());
            return pad((date.dayOfWeek() - first + 7) % 7 + 1, n);
        }
        return dayText(locale, date.dayOfWeek(), n);
    default:
        return std::nullopt;
    }
}

// The fields of the time of day: period, hours, minutes, seconds and their fractions.
std::optional<QString> timeField(const QTime& time, QChar letter, int n, const QLocale& locale)
{
    switch (letter.unicode()) {
    case 'a':
        return time.hour() < 12 ? locale.amText() : locale.pmText();
    case 'h': {
        const int h = time.hour() % 12;
        return pad(h == 0 ? 12 : h, n);
    }
    case 'H':
        return pad(time.hour(), n);
    case 'k':
        return pad(time.hour() == 0 ? 24 : time.hour(), n);
    case 'K':
        return pad(time.hour() % 12, n);
    case 'm':
        return pad(time.minute(), n);
    case 's':
        return pad(time.second(), n);
    case 'S': {
        QString fraction = pad(time.msec(), 3);
        if (n < 3)
            fraction.truncate(n);
        else
            fraction = fraction.leftJustified(n, u'0');
        return fraction;
    }
    case 'A':
        return pad(time.msecsSinceStartOfDay(), n);
    default:
        return std::nullopt;
    }
}

// The fields of the time zone: offsets from UTC and the zone's names.
std::optional<QString> zoneField(const QDateTime& dt, QChar letter, int n, const QLocale& locale)
{
    const int offset = dt.offsetFromUtc();
    switch (letter.unicode()) {
    case 'Z':
        if (n <= 3) return offsetText(offset, false, true, false);
        if (n == 4) return localizedGMT(offset, true);
        return offset == 0 ? QStringLiteral("Z") : offsetText(offset, true, true, true);
    case 'O':
        return localizedGMT(offset, n >= 4);
    case 'x':
    case 'X': {
        if (letter == u'X' && offset == 0)
            return QStringLiteral("Z");
        switch (n) {
        case 1: return offsetText(offset, false, false, false);
        case 2: return offsetText(offset, false, true, false);
        case 3: return offsetText(offset, true, true, false);
        case 4: return offsetText(offset, false, true, true);
        default: return offsetText(offset, true, true, true);
        }
    }
    case 'z': {
        if (n <= 3) {
            const QString abbreviation = dt.timeZoneAbbreviation();
            return abbreviation.isEmpty() ? localizedGMT(offset, false) : abbreviation;
        }
        const QString name = dt.timeZone().displayName(dt, QTimeZone::LongName, locale);
        return name.isEmpty() ? localizedGMT(offset, true) : name;
    }
    default:
        return std::nullopt;
    }
}

QString field(const QDateTime& dt, QChar letter, int n, const QLocale& locale)
{
    if (auto text = dateField(dt.date(), letter, n, locale))
        return *text;
    if (auto text = timeField(dt.time(), letter, n, locale))
        return *text;
    if (auto text = zoneField(dt, letter, n, locale))
        return *text;
    return QString(n, letter);
}

} // namespace

QString formatUTS(const QDateTime& date, const QString& pattern, const QLocale& locale)
{
    QString out;
    const qsizetype length = pattern.size();
    qsizetype i = 0;
    while (i < length) {
        const QChar c = pattern.at(i);
        if (c == u'\'') {
            if (i + 1 < length && pattern.at(i + 1) == u'\'') {
                out += u'\'';
                i += 2;
                continue;
            }
            qsizetype j = i + 1;
            while (j < length) {
                if (pattern.at(j) == u'\'') {
                    if (j + 1 < length && pattern.at(j + 1) == u'\'') {
                        out += u'\'';
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                out += pattern.at(j++);
            }
            i = j;
        } else if (isPatternLetter(c)) {
            qsizetype j = i;
            while (j < length && pattern.at(j) == c)
                ++j;
            out += field(date, c, int(j - i), locale);
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

QString stringWithUTSFormat(const QDateTime& date, const QString& pattern)
{
    return formatUTS(date.toLocalTime(), pattern, QLocale());
}

} // namespace SNP_NSDateAdditions
