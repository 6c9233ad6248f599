#include "SNP_XMLinEXIF.h"

#include "SNP_ExifIO.h"
#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"
#include "SNP_NSStringAdditions.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char kUserCommentKey[] = "Exif.Photo.UserComment";
constexpr char kAsciiHeader[8] = {'A', 'S', 'C', 'I', 'I', 0, 0, 0};
constexpr char kUnicodeHeader[8] = {'U', 'N', 'I', 'C', 'O', 'D', 'E', 0};
constexpr char kJisHeader[8] = {'J', 'I', 'S', 0, 0, 0, 0, 0};
constexpr char kUndefinedHeader[8] = {0, 0, 0, 0, 0, 0, 0, 0};
// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr qint64 kPlistEpochOffset = 978307200;

struct PlistDeleter {
    void operator()(void* node) const { if (node) plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

plist_t toPlist(const QVariant& value);

// A time (milliseconds since 1970) as a property-list date: whole seconds since 2001 in
// 32 bits and the microseconds of the second. False when the date is out of that range.
bool plistDateFor(qint64 msecsSince1970, int32_t* seconds, int32_t* micros)
{
    const qint64 msecs = msecsSince1970 - kPlistEpochOffset * 1000;
    qint64 whole = msecs / 1000;
    qint64 millis = msecs % 1000;
    if (millis < 0) {
        millis += 1000;
        whole -= 1;
    }
    if (whole < INT32_MIN || whole > INT32_MAX)
        return false;
    *seconds = static_cast<int32_t>(whole);
    *micros = static_cast<int32_t>(millis * 1000);
    return true;
}

// A string node, or none for a text with a NUL character, which a property-list string
// (a C string) cannot hold.
plist_t newString(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    if (utf8.contains('\0'))
        return nullptr;
    return plist_new_string(utf8.constData());
}

template <typename Map>
plist_t dictToPlist(const Map& map)
{
    plist_t dict = plist_new_dict();
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        plist_t child = toPlist(it.value());
        if (!child) {
            plist_free(dict);
            return nullptr;
        }
        const QByteArray key = it.key().toUtf8();
        if (key.contains('\0')) { // a property-list key is a C string: it would be cut short
            plist_free(child);
            plist_free(dict);
            return nullptr;
        }
        plist_dict_set_item(dict, key.constData(), child);
    }
    return dict;
}

// An array node of the items, each converted by convert; none when one cannot be.
template <typename Items, typename Convert>
plist_t arrayToPlist(const Items& items, Convert convert)
{
    plist_t array = plist_new_array();
    for (const auto& item : items) {
        plist_t child = convert(item);
        if (!child) {
            plist_free(array);
            return nullptr;
        }
        plist_array_append_item(array, child);
    }
    return array;
}

plist_t toPlist(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::QVariantMap:
        return dictToPlist(value.toMap());
    case QMetaType::QVariantHash:
        return dictToPlist(value.toHash());
    case QMetaType::QVariantList:
        return arrayToPlist(value.toList(), toPlist);
    case QMetaType::QStringList:
        return arrayToPlist(value.toStringList(), newString);
    case QMetaType::QString:
        return newString(value.toString());
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::SChar:
    case QMetaType::Char:
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UChar:
        return plist_new_uint(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QDateTime: {
        const QDateTime date = value.toDateTime();
        int32_t seconds = 0;
        int32_t micros = 0;
        if (!date.isValid() || !plistDateFor(date.toMSecsSinceEpoch(), &seconds, &micros))
            return nullptr;
        return plist_new_date(seconds, micros);
    }
    case QMetaType::QByteArray: {
        const QByteArray data = value.toByteArray();
        return plist_new_data(data.constData(), static_cast<uint64_t>(data.size()));
    }
    default:
        return nullptr;
    }
}

// Lists nested deeper than this are refused: the booth's own lists are two levels deep,
// and a hostile one of a few thousand levels would otherwise run the reader off its stack.
constexpr int kMaxNesting = 64;

std::optional<QVariant> fromPlist(plist_t node, int depth = 0);

std::optional<QVariant> dictFromPlist(plist_t node, int depth)
{
    QVariantMap map;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    if (!iter)
        return std::nullopt;
    bool ok = true;
    for (;;) {
        char* key = nullptr;
        plist_t child = nullptr;
        plist_dict_next_item(node, iter, &key, &child);
        if (!child) {
            std::free(key);
            break;
        }
        auto converted = fromPlist(child, depth + 1);
        if (!converted || !key) {
            std::free(key);
            ok = false;
            break;
        }
        map.insert(QString::fromUtf8(key), *converted);
        std::free(key);
    }
    std::free(iter);
    if (!ok)
        return std::nullopt;
    return QVariant(map);
}

std::optional<QVariant> arrayFromPlist(plist_t node, int depth)
{
    QVariantList list;
    const uint32_t count = plist_array_get_size(node);
    for (uint32_t i = 0; i < count; ++i) {
        auto converted = fromPlist(plist_array_get_item(node, i), depth + 1);
        if (!converted)
            return std::nullopt;
        list.append(*converted);
    }
    return QVariant(list);
}

std::optional<QVariant> stringFromPlist(plist_t node)
{
    // Read by length: libplist's own copy asserts (and so aborts the process) on a
    // string with a NUL character inside, which hostile XML can carry. Such a string
    // is no text this system writes; the list is refused.
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text)
        return QVariant(QString());
    if (length > uint64_t(INT32_MAX) || std::memchr(text, 0, size_t(length)))
        return std::nullopt;
    return QVariant(QString::fromUtf8(text, static_cast<qsizetype>(length)));
}

std::optional<QVariant> dateFromPlist(plist_t node)
{
    int32_t seconds = 0;
    int32_t micros = 0;
    plist_get_date_val(node, &seconds, &micros);
    // A hostile list may hold a date libplist could not bring into range (it then
    // hands back any 32-bit values): only a date that can be written again is read.
    const qint64 msecs = (kPlistEpochOffset + qint64(seconds)) * 1000 + qint64(micros) / 1000;
    int32_t checkSeconds = 0;
    int32_t checkMicros = 0;
    if (!plistDateFor(msecs, &checkSeconds, &checkMicros))
        return std::nullopt;
    return QVariant(QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::utc()));
}

QVariant dataFromPlist(plist_t node)
{
    char* bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &bytes, &length);
    QByteArray data(bytes ? bytes : "", bytes ? static_cast<qsizetype>(length) : 0);
    std::free(bytes);
    return QVariant(data);
}

std::optional<QVariant> fromPlist(plist_t node, int depth)
{
    if (depth > kMaxNesting)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_DICT:
        return dictFromPlist(node, depth);
    case PLIST_ARRAY:
        return arrayFromPlist(node, depth);
    case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        return QVariant(flag != 0);
    }
    case PLIST_UINT: {
        uint64_t number = 0;
        plist_get_uint_val(node, &number);
        return QVariant(static_cast<qlonglong>(number));
    }
    case PLIST_REAL: {
        double number = 0;
        plist_get_real_val(node, &number);
        return QVariant(number);
    }
    case PLIST_STRING:
        return stringFromPlist(node);
    case PLIST_DATE:
        return dateFromPlist(node);
    case PLIST_DATA:
        return dataFromPlist(node);
    default:
        return std::nullopt; // keys, UIDs: not objects a caller can use
    }
}

std::optional<QByteArray> readWholeFile(const QString& path, const char* context)
{
    if (path.isEmpty())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        SNP_Log::debugf("%s: cannot read \"%s\": %s", context, qUtf8Printable(path), qUtf8Printable(file.errorString()));
        return std::nullopt;
    }
    return file.readAll();
}

// The text of a user comment, its character-code header taken off and UCS-2 turned into
// UTF-8. Empty when the comment holds nothing but padding.
QByteArray userCommentText(const QByteArray& raw, Exiv2::ByteOrder byteOrder)
{
    QByteArray text = raw;
    bool unicode = false;
    if (raw.size() >= 8) {
        const char* head = raw.constData();
        if (std::memcmp(head, kAsciiHeader, 8) == 0 || std::memcmp(head, kJisHeader, 8) == 0
            || std::memcmp(head, kUndefinedHeader, 8) == 0) {
            text = raw.mid(8);
        } else if (std::memcmp(head, kUnicodeHeader, 8) == 0) {
            text = raw.mid(8);
            unicode = true;
        }
    }
    if (unicode) {
        using SNP_NSStringAdditions::Encoding;
        Encoding encoding = byteOrder == Exiv2::bigEndian ? Encoding::UTF16BE : Encoding::UTF16LE;
        if (text.size() >= 2) {
            const auto b0 = static_cast<unsigned char>(text[0]);
            const auto b1 = static_cast<unsigned char>(text[1]);
            if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF))
                encoding = Encoding::UTF16;
        }
        const auto string = SNP_NSStringAdditions::stringWithCString(text.constData(), static_cast<size_t>(text.size()), encoding);
        text = string ? string->toUtf8() : QByteArray();
    }
    if (text.startsWith("bplist"))
        return text; // a binary property list ends in its trailer: nothing to trim
    qsizetype end = text.size();
    while (end > 0 && (text[end - 1] == '\0' || text[end - 1] == ' ' || text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == '\t'))
        --end;
    text.truncate(end);
    return text;
}

// The object as a property list written by libplist's writer (XML or binary); write
// hands back bytes that release frees.
template <typename Write, typename Release>
std::optional<QByteArray> serializedPropertyList(const QVariant& object, Write write, Release release)
{
    PlistPtr node(toPlist(object));
    if (!node)
        return std::nullopt;
    char* bytes = nullptr;
    uint32_t length = 0;
    write(static_cast<plist_t>(node.get()), &bytes, &length);
    if (!bytes)
        return std::nullopt;
    QByteArray data(bytes, static_cast<qsizetype>(length));
    release(bytes);
    return data;
}

} // namespace

QString SNP_XMLinEXIF::describe(const QVariant& object)
{
    QString text;
    QDebug(&text).nospace() << object;
    return text;
}

std::optional<QByteArray> SNP_XMLinEXIF::xmlDataForPropertyListObject(const QVariant& object)
{
    return serializedPropertyList(object, plist_to_xml, plist_to_xml_free);
}

std::optional<QByteArray> SNP_XMLinEXIF::binaryDataForPropertyListObject(const QVariant& object)
{
    return serializedPropertyList(object, plist_to_bin, plist_to_bin_free);
}

namespace {

uint64_t bigEndian(const uint8_t* p, unsigned bytes)
{
    uint64_t value = 0;
    for (unsigned i = 0; i < bytes; ++i)
        value = (value << 8) | p[i];
    return value;
}

// Whether a binary property list holds a string object (ASCII, UTF-16 or UTF-8) with a NUL
// character; nothing when its object table cannot be followed.
std::optional<bool> binaryListHasNulString(const QByteArray& data)
{
    const auto* p = reinterpret_cast<const uint8_t*>(data.constData());
    const uint64_t size = uint64_t(data.size());
    if (size < 8 + 32)
        return std::nullopt;
    const uint8_t* trailer = p + size - 32;
    const unsigned offsetSize = trailer[6];
    const uint64_t count = bigEndian(trailer + 8, 8);
    const uint64_t table = bigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || table < 8 || table >= size - 32 || count > (size - 32 - table) / offsetSize)
        return std::nullopt;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t at = bigEndian(p + table + i * offsetSize, offsetSize);
        if (at < 8 || at >= table)
            return std::nullopt;
        const unsigned type = p[at] >> 4;
        if (type != 0x5 && type != 0x6 && type != 0x7)
            continue;
        uint64_t pos = at + 1;
        uint64_t length = p[at] & 0xF;
        if (length == 0xF) { // the length follows as an integer object
            if (pos >= table || (p[pos] >> 4) != 0x1 || (p[pos] & 0xF) > 3)
                return std::nullopt;
            const unsigned bytes = 1u << (p[pos] & 0xF);
            if (pos + 1 + bytes > table)
                return std::nullopt;
            length = bigEndian(p + pos + 1, bytes);
            pos += 1 + bytes;
        }
        const uint64_t unit = type == 0x6 ? 2 : 1;
        if (length > (table - pos) / unit)
            return std::nullopt;
        for (uint64_t k = 0; k < length; ++k) {
            const uint8_t* c = p + pos + k * unit;
            if (c[0] == 0 && (unit == 1 || c[1] == 0))
                return true;
        }
    }
    return false;
}

// Whether XML text holds a NUL character before its end, raw or as a character reference.
bool xmlHasNul(const QByteArray& data)
{
    qsizetype end = data.size();
    while (end > 0 && data[end - 1] == '\0')
        --end;
    if (data.left(end).contains('\0'))
        return true;
    static const QRegularExpression nulReference(QStringLiteral("&#([xX]0*|0*);"));
    return nulReference.match(QString::fromLatin1(data.left(end))).hasMatch();
}

} // namespace

std::optional<QVariant> SNP_XMLinEXIF::propertyListObjectForData(const QByteArray& data)
{
    if (data.isEmpty() || data.size() > INT32_MAX)
        return std::nullopt;
    // libplist asserts (and so aborts the process) on a dictionary key with a NUL inside,
    // which hostile lists can carry. No list written here holds a NUL: such lists are
    // refused before they are parsed.
    const bool binary = plist_is_binary(data.constData(), static_cast<uint32_t>(data.size()));
    const std::optional<bool> nul = binary ? binaryListHasNulString(data) : std::optional<bool>(xmlHasNul(data));
    if (!nul || *nul) {
        SNP_Log::debugf("property list refused: %s", nul ? "it holds a NUL character" : "its object table is damaged");
        return std::nullopt;
    }
    plist_t parsed = nullptr;
    if (binary)
        plist_from_bin(data.constData(), static_cast<uint32_t>(data.size()), &parsed);
    else
        plist_from_xml(data.constData(), static_cast<uint32_t>(data.size()), &parsed);
    PlistPtr node(parsed);
    if (!node)
        return std::nullopt;
    return fromPlist(static_cast<plist_t>(node.get()));
}

std::optional<QByteArray> SNP_XMLinEXIF::jpegDataWithPropertyListObject(const QVariant& object, const QByteArray& jpegData)
{
    return embed(object, jpegData, nullptr);
}

std::optional<QByteArray> SNP_XMLinEXIF::jpegDataWithPropertyListObject(const QVariant& object, const QByteArray& jpegData,
                                                                        const QByteArray& reencodedJpeg)
{
    return embed(object, jpegData, &reencodedJpeg);
}

std::optional<QByteArray> SNP_XMLinEXIF::embed(const QVariant& object, const QByteArray& jpegData,
                                               const QByteArray* reencodedJpeg)
{
    if (!object.isValid() || jpegData.isEmpty()) {
        SNP_Log::debug(QStringLiteral("jpegDataWithPropertyListObject: no object or no JPEG data"));
        return std::nullopt;
    }
    const auto xml = xmlDataForPropertyListObject(object);
    if (!xml) {
        SNP_Log::debug(QStringLiteral("unable to create XML data for object:%1").arg(describe(object)));
        return std::nullopt;
    }
    // The comment is the XML bytes as a zero-terminated byte string; it must be UTF-8.
    if (!SNP_NSStringAdditions::stringWithCString(xml->constData(), static_cast<size_t>(xml->size()),
                                                  SNP_NSStringAdditions::Encoding::UTF8)) {
        SNP_Log::debug(QStringLiteral("unable to create string from XML data using [NSString stringWithCString: encoding:NSUTF8StringEncoding]"));
        SNP_Log::debug(QStringLiteral("raw XML data:]"));
        SNP_Log::logData(*xml);
        return std::nullopt;
    }
    const qsizetype terminator = xml->indexOf('\0');
    const QByteArray comment = terminator < 0 ? *xml : xml->left(terminator);
    if (comment.isEmpty()) {
        SNP_Log::debug(QStringLiteral("unable to create string from XML data using [NSString stringWithFormat:]"));
        return std::nullopt;
    }

    auto contents = SNP_ExifIO::readExif(jpegData, "jpegDataWithPropertyListObject");
    if (!contents)
        return std::nullopt;
    const bool commentSet = SNP_ExifIO::guarded("jpegDataWithPropertyListObject", "cannot set the user comment", [&] {
        QByteArray value(kAsciiHeader, 8);
        value += comment;
        Exiv2::Value::AutoPtr commentValue = Exiv2::Value::create(Exiv2::undefined);
        commentValue->read(reinterpret_cast<const Exiv2::byte*>(value.constData()), static_cast<long>(value.size()),
                           contents->byteOrder);
        const Exiv2::ExifKey key(kUserCommentKey);
        for (auto it = contents->exif.findKey(key); it != contents->exif.end(); it = contents->exif.findKey(key))
            contents->exif.erase(it);
        contents->exif.add(key, commentValue.get());
        return true;
    });
    if (!commentSet)
        return std::nullopt;

    std::optional<QByteArray> recompressed;
    if (!reencodedJpeg)
        recompressed = SNP_ImagePipeline::recompressJpeg(jpegData, SNP_ImagePipeline::kJpegQuality);
    else if (!reencodedJpeg->isEmpty())
        recompressed = *reencodedJpeg;
    if (!recompressed) {
        SNP_Log::debug(QStringLiteral("jpegDataWithPropertyListObject: the JPEG data cannot be decoded"));
        return std::nullopt;
    }
    return SNP_ExifIO::writeExif(*recompressed, *contents, "jpegDataWithPropertyListObject");
}

std::optional<QByteArray> SNP_XMLinEXIF::jpegDataWithPropertyListObjectForJpegAtPath(const QVariant& object, const QString& path)
{
    const auto data = readWholeFile(path, "jpegDataWithPropertyListObjectForJpegAtPath");
    if (!data)
        return std::nullopt;
    return jpegDataWithPropertyListObject(object, *data);
}

std::optional<QByteArray> SNP_XMLinEXIF::jpegDataWithoutPropertyList(const QByteArray& jpegData)
{
    auto contents = SNP_ExifIO::readExif(jpegData, "jpegDataWithoutPropertyList");
    if (!contents)
        return std::nullopt;
    const Exiv2::ExifKey key(kUserCommentKey);
    for (auto it = contents->exif.findKey(key); it != contents->exif.end(); it = contents->exif.findKey(key))
        contents->exif.erase(it);
    return SNP_ExifIO::writeExif(jpegData, *contents, "jpegDataWithoutPropertyList");
}

std::optional<QVariant> SNP_XMLinEXIF::propertyListObjectForJpegData(const QByteArray& jpegData)
{
    if (jpegData.isEmpty())
        return std::nullopt;
    auto contents = SNP_ExifIO::readExif(jpegData, "propertyListObjectForJpegData");
    if (!contents)
        return std::nullopt;
    QByteArray raw;
    // False when the picture has no user comment (not logged) or it cannot be read.
    const bool commentRead = SNP_ExifIO::guarded("propertyListObjectForJpegData", "cannot read the user comment", [&] {
        const auto it = contents->exif.findKey(Exiv2::ExifKey(kUserCommentKey));
        if (it == contents->exif.end())
            return false;
        std::vector<Exiv2::byte> bytes(static_cast<size_t>(it->size()));
        if (!bytes.empty())
            it->copy(bytes.data(), contents->byteOrder);
        raw = QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
        return true;
    });
    if (!commentRead)
        return std::nullopt;
    const QByteArray text = userCommentText(raw, contents->byteOrder);
    if (text.isEmpty())
        return std::nullopt;
    auto object = propertyListObjectForData(text);
    if (!object)
        SNP_Log::debugf("propertyListObjectForJpegData: the user comment is not a property list (%lld bytes)",
                        static_cast<long long>(text.size()));
    return object;
}

std::optional<QVariant> SNP_XMLinEXIF::propertyListObjectForJpegAtPath(const QString& path)
{
    const auto data = readWholeFile(path, "propertyListObjectForJpegAtPath");
    if (!data)
        return std::nullopt;
    return propertyListObjectForJpegData(*data);
}

std::optional<QVariantMap> SNP_XMLinEXIF::propertyListDictionaryForJpegData(const QByteArray& jpegData)
{
    const auto object = propertyListObjectForJpegData(jpegData);
    if (!object)
        return std::nullopt;
    if (object->typeId() != QMetaType::QVariantMap) {
        SNP_Log::debug(QStringLiteral("property list in user comment is not a dictionary: %1").arg(describe(*object)));
        return std::nullopt;
    }
    return object->toMap();
}

std::optional<QVariantMap> SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(const QString& path)
{
    const auto data = readWholeFile(path, "propertyListDictionaryForJpegAtPath");
    if (!data)
        return std::nullopt;
    return propertyListDictionaryForJpegData(*data);
}
