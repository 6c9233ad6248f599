#include "SNP_NSStringAdditions.h"

#include "SNP_Log.h"

#include <QStringConverter>
#include <QSysInfo>

#include <cstring>

namespace SNP_NSStringAdditions {

namespace {

bool isDigit(char32_t c) { return c >= U'0' && c <= U'9'; }

// Appends a code point (at most U+10FFFF, no surrogate), as a surrogate pair where it needs one.
void appendCodePoint(QString& text, char32_t c)
{
    if (QChar::requiresSurrogates(c)) {
        text += QChar(QChar::highSurrogate(c));
        text += QChar(QChar::lowSurrogate(c));
    } else {
        text += QChar(char16_t(c));
    }
}

} // namespace

int numericalCaseInsensitiveCompare(const QString& a, const QString& b)
{
    const QList<uint> x = a.toCaseFolded().toUcs4();
    const QList<uint> y = b.toCaseFolded().toUcs4();
    qsizetype i = 0, j = 0;
    while (i < x.size() && j < y.size()) {
        if (isDigit(x[i]) && isDigit(y[j])) {
            qsizetype ie = i, je = j;
            while (ie < x.size() && isDigit(x[ie])) ++ie;
            while (je < y.size() && isDigit(y[je])) ++je;
            // Compare by value: skip leading zeros, then the longer number is larger,
            // then digit by digit.
            qsizetype is = i, js = j;
            while (is < ie - 1 && x[is] == U'0') ++is;
            while (js < je - 1 && y[js] == U'0') ++js;
            const qsizetype il = ie - is, jl = je - js;
            if (il != jl)
                return il < jl ? -1 : 1;
            for (qsizetype k = 0; k < il; ++k)
                if (x[is + k] != y[js + k])
                    return x[is + k] < y[js + k] ? -1 : 1;
            i = ie;
            j = je;
            continue;
        }
        if (x[i] != y[j])
            return x[i] < y[j] ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < x.size()) return 1;
    if (j < y.size()) return -1;
    return 0;
}

namespace {

// Bytes per code unit of the encoding; 0 for one not handled.
int unitWidth(Encoding encoding)
{
    switch (encoding) {
    case Encoding::ASCII: case Encoding::UTF8: case Encoding::Latin1: return 1;
    case Encoding::UTF16: case Encoding::UTF16LE: case Encoding::UTF16BE: return 2;
    case Encoding::UTF32: case Encoding::UTF32LE: case Encoding::UTF32BE: return 4;
    case Encoding::Unsupported: return 0;
    }
    return 1;
}

// One-byte encodings: up to the first zero byte or limit, a UTF-8 byte-order mark dropped.
std::optional<QString> narrowString(const char* bytes, size_t limit, Encoding encoding)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t start = 0;
    if (encoding == Encoding::UTF8 && limit >= 4
        && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
        start = 3;
    size_t end = start;
    while (end < limit && p[end] != 0)
        ++end;
    const QByteArrayView view(bytes + start, qsizetype(end - start));
    if (view.isEmpty())
        return QString();
    if (encoding == Encoding::Latin1)
        return QString::fromLatin1(view);
    if (encoding == Encoding::ASCII) {
        for (char c : view)
            if (static_cast<unsigned char>(c) > 127)
                return std::nullopt;
        return QString::fromLatin1(view);
    }
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(view);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Wide units: the length in bytes ends before the first zero unit, in whole units.
size_t wideLength(const unsigned char* p, size_t limit, int width)
{
    const size_t unitLimit = (limit == SIZE_MAX) ? SIZE_MAX : (limit / size_t(width)) * size_t(width);
    size_t end = 0;
    while (end + size_t(width) <= unitLimit) {
        bool zero = true;
        for (int k = 0; k < width; ++k)
            if (p[end + size_t(k)] != 0) { zero = false; break; }
        if (zero)
            break;
        end += size_t(width);
    }
    return end;
}

// The byte order of wide units, and the bytes before the first unit of the text.
struct WideOrder {
    bool little = true;
    size_t start = 0;
};

// The order the encoding names (the host's for UTF16 and UTF32), unless a leading
// byte-order mark decides it; the mark is then dropped.
WideOrder wideOrder(const unsigned char* p, int width, Encoding encoding)
{
    WideOrder order;
    order.little = QSysInfo::ByteOrder == QSysInfo::LittleEndian;
    if (encoding == Encoding::UTF16LE || encoding == Encoding::UTF32LE) order.little = true;
    if (encoding == Encoding::UTF16BE || encoding == Encoding::UTF32BE) order.little = false;
    if (encoding == Encoding::UTF16 || encoding == Encoding::UTF32) {
        if (width == 2) {
            if (p[0] == 0xFF && p[1] == 0xFE) { order = {true, 2}; }
            else if (p[0] == 0xFE && p[1] == 0xFF) { order = {false, 2}; }
        } else {
            if (p[0] == 0xFF && p[1] == 0xFE && p[2] == 0 && p[3] == 0) { order = {true, 4}; }
            else if (p[0] == 0 && p[1] == 0 && p[2] == 0xFE && p[3] == 0xFF) { order = {false, 4}; }
        }
    }
    return order;
}

// The text of units wide units at u. Decoded here rather than by QStringDecoder, which lets
// unpaired surrogates and values past U+10FFFF through.
std::optional<QString> decodeWideUnits(const unsigned char* u, size_t units, int width, bool little)
{
    auto unitAt = [&](size_t i) -> quint32 {
        const unsigned char* b = u + i * size_t(width);
        if (width == 2)
            return little ? quint32(b[0] | (b[1] << 8)) : quint32((b[0] << 8) | b[1]);
        return little ? (quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24))
                      : ((quint32(b[0]) << 24) | (quint32(b[1]) << 16) | (quint32(b[2]) << 8) | quint32(b[3]));
    };
    QString text;
    text.reserve(qsizetype(units));
    for (size_t i = 0; i < units; ++i) {
        const quint32 c = unitAt(i);
        if (width == 2) {
            if (QChar::isHighSurrogate(c)) {
                if (i + 1 >= units || !QChar::isLowSurrogate(unitAt(i + 1)))
                    return std::nullopt;
                text += QChar(char16_t(c));
                text += QChar(char16_t(unitAt(++i)));
            } else if (QChar::isLowSurrogate(c)) {
                return std::nullopt;
            } else {
                text += QChar(char16_t(c));
            }
        } else {
            if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
                return std::nullopt;
            appendCodePoint(text, c);
        }
    }
    return text;
}

} // namespace

std::optional<QString> stringWithCString(const char* bytes, size_t maxLength, Encoding encoding)
{
    const int width = unitWidth(encoding);
    if (width == 0)
        return std::nullopt;
    if (!bytes)
        return std::nullopt;
    if (maxLength != 0 && maxLength < size_t(width))
        return std::nullopt;
    const size_t limit = maxLength == 0 ? SIZE_MAX : maxLength;
    if (width == 1)
        return narrowString(bytes, limit, encoding);

    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    const size_t end = wideLength(p, limit, width);
    if (end == 0)
        return QString();
    const WideOrder order = wideOrder(p, width, encoding);
    if (end == order.start)
        return QString();
    return decodeWideUnits(p + order.start, (end - order.start) / size_t(width), width, order.little);
}

CharacterSet decimalDigitCharacterSet()
{
    return [](char32_t c) { return QChar::isDigit(c); };
}

CharacterSet whitespaceCharacterSet()
{
    return [](char32_t c) { return QChar::isSpace(c); };
}

CharacterSet characterSetWithCharactersInString(const QString& characters)
{
    const QList<uint> set = characters.toUcs4();
    return [set](char32_t c) { return set.contains(uint(c)); };
}

QString stringByDeletingCharactersInSet(const QString& text, const CharacterSet& set)
{
    if (!set)
        return text;
    QString out;
    out.reserve(text.size());
    for (char32_t c : text.toUcs4()) {
        if (set(c))
            continue;
        appendCodePoint(out, c);
    }
    return out;
}

QString stringByReplacingSubStrings(const QString& text, const QStringList& targets,
                                    const QStringList& values, bool caseInsensitive,
                                    qsizetype location, qsizetype length)
{
    const qsizetype size = text.size();
    if (location < 0 || location > size) {
        SNP_Log::debugf("stringByReplacingSubStrings: range start %lld outside a text of %lld; clipped",
                        static_cast<long long>(location), static_cast<long long>(size));
        location = qBound<qsizetype>(0, location, size);
    }
    if (length < 0 || length > size - location)
        length = size - location;
    QString working = text.mid(location, length);
    const Qt::CaseSensitivity cs = caseInsensitive ? Qt::CaseInsensitive : Qt::CaseSensitive;
    for (qsizetype i = 0; i < targets.size(); ++i) {
        if (targets[i].isEmpty())
            continue;
        working.replace(targets[i], i < values.size() ? values[i] : QString(), cs);
    }
    return text.left(location) + working + text.mid(location + length);
}

QString hexLineText(const char* bytes, qsizetype count)
{
    QString line;
    line.reserve(16 * 3 + 1 + 2 + 16 + 1);
    for (int col = 0; col < 16; ++col) {
        if (col < count)
            line += QString::asprintf("%.2x ", static_cast<unsigned char>(bytes[col]));
        else
            line += QStringLiteral("   ");
        if (col == 7)
            line += u' ';
    }
    line += QStringLiteral(" |");
    for (qsizetype col = 0; col < count && col < 16; ++col) {
        const unsigned char c = static_cast<unsigned char>(bytes[col]);
        line += (c >= 32 && c <= 126) ? QChar(char16_t(c)) : QChar(u'.');
    }
    line += u'|';
    return line;
}

QString hexdump(const QByteArray& data, qsizetype location, qsizetype length)
{
    const qsizetype size = data.size();
    location = qBound<qsizetype>(0, location, size);
    if (length < 0 || length > size - location)
        length = size - location;
    QString out;
    QString lastText;
    bool haveLast = false;
    unsigned repeated = 0;
    for (qsizetype offset = 0; offset < length; offset += 16) {
        const qsizetype count = qMin<qsizetype>(16, length - offset);
        const QString text = hexLineText(data.constData() + location + offset, count);
        if (haveLast && text == lastText) {
            ++repeated;
            continue;
        }
        if (repeated) {
            out += QString::asprintf("* last line repeated %u times\n", repeated);
            repeated = 0;
        }
        out += QString::asprintf("%.8llx  ", static_cast<unsigned long long>(offset)) + text + u'\n';
        lastText = text;
        haveLast = true;
    }
    // A run of repeats that reaches the end is reported too, so the dump accounts for
    // every byte.
    if (repeated)
        out += QString::asprintf("* last line repeated %u times\n", repeated);
    return out;
}

} // namespace SNP_NSStringAdditions
