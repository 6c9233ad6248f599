// The property list in EXIF codec: a property list travels inside a JPEG as the text of an
// XML property list in the EXIF user comment (tag 0x9286).
//
// Property-list objects are QVariants of these kinds, nested freely: QVariantMap or
// QVariantHash (dictionary, string keys), QVariantList or QStringList (array), QString,
// bool, integers, double, QDateTime (date), QByteArray (data). Anything else is not a
// property-list object.
//
// The user comment is written with the EXIF character-code header "ASCII\0\0\0" followed
// by the UTF-8 bytes of the XML text, which is what exiv2 and exiftool show as the text.
// Non-ASCII characters (an address with an accented letter) thus survive as UTF-8 bytes:
// this reader gives them back, and so do the usual tools. The reader also accepts the
// "UNICODE\0" (UCS-2), "JIS" and undefined headers, and a text without a header, holding
// an XML or a binary property list.
//
// Embedding decodes the JPEG and encodes it again at quality 90 with the same pixel size;
// every EXIF entry of the source is kept and the user comment is set (an earlier one is
// replaced). A source without EXIF data gets an EXIF block holding just the comment, so
// that the addresses are never dropped silently.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

// Key of the booth's property list: the visitor's addresses in the order typed.
inline const QString QBEmailsForUpload = QStringLiteral("QB_emailsForUpload");

class SNP_XMLinEXIF {
public:
    SNP_XMLinEXIF() = delete;

    // New JPEG data with the object embedded in the user comment, or nothing (logged).
    static std::optional<QByteArray> jpegDataWithPropertyListObject(const QVariant& object, const QByteArray& jpegData);
    // As above for a picture whose pixels were decoded and encoded again beforehand
    // (SNP_ImagePipeline::recompressJpeg of jpegData at quality 90, empty when that
    // failed): the new JPEG has reencodedJpeg's pixels and jpegData's EXIF entries.
    static std::optional<QByteArray> jpegDataWithPropertyListObject(const QVariant& object, const QByteArray& jpegData,
                                                                    const QByteArray& reencodedJpeg);
    // As above for a file's contents; nothing for an empty path or an unreadable file.
    static std::optional<QByteArray> jpegDataWithPropertyListObjectForJpegAtPath(const QVariant& object, const QString& path);

    // The property list in the user comment, or nothing when there is no user comment,
    // when it holds no property list (logged) or when the data is no readable image
    // (logged). Only the metadata is read; no pixel is decoded.
    static std::optional<QVariant> propertyListObjectForJpegData(const QByteArray& jpegData);
    static std::optional<QVariant> propertyListObjectForJpegAtPath(const QString& path);

    // The booth's reading: the embedded property list when it is a dictionary. Any other
    // object is refused with the log line "property list in user comment is not a
    // dictionary: ...".
    static std::optional<QVariantMap> propertyListDictionaryForJpegData(const QByteArray& jpegData);
    static std::optional<QVariantMap> propertyListDictionaryForJpegAtPath(const QString& path);

    // The JPEG without its user comment (and so without the property list and the visitor's
    // addresses in it), every other EXIF entry and the compressed pixels unchanged; nothing
    // (logged) when the data is no readable JPEG. XMP, IPTC and JPEG comment blocks are not
    // carried over.
    static std::optional<QByteArray> jpegDataWithoutPropertyList(const QByteArray& jpegData);

    // The property-list serialisations used by the codec, public for tools and tests.
    // XML: UTF-8 with the XML declaration, the property-list DOCTYPE and <plist version="1.0">.
    static std::optional<QByteArray> xmlDataForPropertyListObject(const QVariant& object);
    static std::optional<QByteArray> binaryDataForPropertyListObject(const QVariant& object);
    // Parses an XML or binary property list.
    static std::optional<QVariant> propertyListObjectForData(const QByteArray& data);

    // A description of an object for log lines.
    static QString describe(const QVariant& object);

private:
    static std::optional<QByteArray> embed(const QVariant& object, const QByteArray& jpegData,
                                           const QByteArray* reencodedJpeg);
};
