// String and byte-range utilities: natural ordering, conversion of zero-terminated byte
// sequences, character deletion, ordered multi-replacement and a printable hex dump.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace SNP_NSStringAdditions {

// Orders the two strings case-insensitively with embedded decimal numbers compared by
// value ("name9" < "NAME10"). Answers -1, 0 or 1.
int numericalCaseInsensitiveCompare(const QString& a, const QString& b);

enum class Encoding {
    ASCII,
    UTF8,
    Latin1,
    UTF16,   // byte order from a leading byte-order mark, else the host's
    UTF16LE,
    UTF16BE,
    UTF32,   // byte order from a leading byte-order mark, else the host's
    UTF32LE,
    UTF32BE,
    Unsupported, // an encoding with no equivalent here: always answers nothing
};

// Makes a string from a zero-terminated byte sequence of at most maxLength bytes (0: no
// limit, the sequence must then be terminated). The unit width is that of the encoding
// (1, 2 or 4 bytes); the string ends before the first zero unit. A UTF-8 byte-order mark
// is skipped when maxLength is 0 or at least 4; for UTF-16/UTF-32 a leading byte-order
// mark sets the byte order and is dropped. Answers nothing for an unsupported encoding,
// a limit smaller than one unit, or bytes not valid in the encoding; the empty string for
// a zero-length sequence. (There is no separate mutable variant: a QString is a value.)
std::optional<QString> stringWithCString(const char* bytes, size_t maxLength, Encoding encoding);

// A character set as a predicate over code points.
using CharacterSet = std::function<bool(char32_t)>;
CharacterSet decimalDigitCharacterSet();
CharacterSet whitespaceCharacterSet();
CharacterSet characterSetWithCharactersInString(const QString& characters);

// The string without any character of the set.
QString stringByDeletingCharactersInSet(const QString& text, const CharacterSet& set);

// Inside the range [location, location + length) of the text (UTF-16 units, clipped to
// the text), replaces every occurrence of targets[i] by values[i] (the empty string when
// there is no values[i]), in array order, each on the result of the previous ones. An
// empty target is skipped. The text outside the range is kept as it was.
QString stringByReplacingSubStrings(const QString& text, const QStringList& targets,
                                    const QStringList& values, bool caseInsensitive,
                                    qsizetype location = 0, qsizetype length = -1);

// A printable dump of data[location, location + length) (clipped; length -1: to the end):
// 16 bytes a line, "%.8x  " offset (counted from location), hex cells, " |text|", newline.
// Runs of lines equal to the one before are replaced by "* last line repeated %u times".
QString hexdump(const QByteArray& data, qsizetype location = 0, qsizetype length = -1);

// One line of the listing: 16 cells ("%.2x " or three blanks, one extra blank after the
// eighth), " |", the printable bytes (32..126, others "."), "|".
QString hexLineText(const char* bytes, qsizetype count);

} // namespace SNP_NSStringAdditions
