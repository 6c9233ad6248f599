// Date formatting with Unicode (UTS #35) date patterns, the pattern language of the log
// time stamp "[yyyy/MM/dd HH:mm:ss.SSS Z]". Qt's own date formats use a different pattern
// language (for instance "z" is milliseconds there, a zone name here), hence this
// formatter.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace SNP_NSDateAdditions {

// Formats the instant in the default (local) time zone and the default locale.
QString stringWithUTSFormat(const QDateTime& date, const QString& pattern);

// Formats the date in its own time zone / offset with the given locale.
// Supported fields: G, y, yy, yyyy (and longer), u, Q/q, M..MMMMM, L..LLLLL, d, D, E..EEEEE,
// e/c, a, h, H, k, K, m, s, S.. (fraction, truncated), A, Z..ZZZZZ, O/OOOO, x..xxxxx,
// X..XXXXX, z..zzzz. Text in single quotes is literal, "''" is one quote; other
// non-letters are literal. An unknown pattern letter is copied as it stands.
QString formatUTS(const QDateTime& date, const QString& pattern, const QLocale& locale);

} // namespace SNP_NSDateAdditions
