// The property list in the EXIF user comment: embedding, reading, the comment's coding,
// other EXIF entries kept, refusals, and files read back with exiv2 and exiftool.
#include "JpegFixtures.h"

#include "SNP_ImagePipeline.h"
#include "SNP_XMLinEXIF.h"

#include <QBuffer>
#include <QDateTime>
#include <QPoint>
#include <QProcess>
#include <QStandardPaths>
#include <QTimeZone>

using namespace fixtures;

namespace {

const QStringList kAddresses = {"first@example.com", QStringLiteral("j\u00fcrgen.m\u00fcller@b\u00fccher.example"),
                                 "a&b<c>d@example.org", "last@example.net"};
const QByteArray kAsciiHeader("ASCII\0\0\0", 8);

QVariantMap emailsDictionary(const QStringList& addresses) { return QVariantMap{{QBEmailsForUpload, addresses}}; }

// The addresses in what was read: an object or a dictionary.
template <typename Read>
QStringList addressesOf(const std::optional<Read>& read)
{
    return read ? QVariant(*read).toMap().value(QBEmailsForUpload).toStringList() : QStringList();
}
QStringList addressesIn(const QByteArray& jpeg) { return addressesOf(SNP_XMLinEXIF::propertyListObjectForJpegData(jpeg)); }

class XMLinEXIFTest : public LoggedTest {
protected:
    // What an ordinary tool prints for the picture at path("tool.jpg").
    QByteArray toolOutput(const char* tool, const QStringList& arguments)
    {
        QProcess process;
        process.start(QStandardPaths::findExecutable(tool), arguments + QStringList{path("tool.jpg")});
        return process.waitForFinished(30000) ? process.readAllStandardOutput() : QByteArray();
    }
};

} // namespace

// Embedding replaces an earlier comment and keeps the other EXIF entries (camera, exposure, date).
TEST_F(XMLinEXIFTest, AddressesRoundTripInTypedOrderAndPictureIsRecompressed)
{
    const QByteArray oldComment = kAsciiHeader + "camera owner: studio";
    const struct { const char* name; QByteArray source; } rows[] = {
        {"camera picture", cameraJpeg(patternImage(640, 427))},
        {"camera picture with an earlier comment", cameraJpeg(patternImage(640, 427), &oldComment)},
        {"picture without EXIF", SNP_ImagePipeline::encodeJpeg(patternImage(640, 427), 95).value()},
    };
    ASSERT_EQ(rawUserComment(rows[1].source), oldComment);
    ASSERT_TRUE(exifOf(rows[2].source).empty());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), row.source);
        ASSERT_TRUE(embedded.has_value());
        const auto object = SNP_XMLinEXIF::propertyListObjectForJpegData(*embedded);
        ASSERT_TRUE(object.has_value());
        EXPECT_EQ(object->toMap().keys(), QStringList{QBEmailsForUpload});
        EXPECT_EQ(addressesIn(*embedded), kAddresses);
        EXPECT_EQ(addressesOf(SNP_XMLinEXIF::propertyListDictionaryForJpegData(*embedded)), kAddresses);
        const Exiv2::ExifData before = exifOf(row.source), after = exifOf(*embedded);
        for (const char* key : {"Exif.Image.Make", "Exif.Image.Model", "Exif.Photo.ExposureTime", "Exif.Photo.DateTimeOriginal"})
            EXPECT_EQ(exifString(after, key), exifString(before, key)) << key;
        EXPECT_EQ(std::count_if(after.begin(), after.end(), [](const auto& d) { return d.key() == "Exif.Photo.UserComment"; }), 1);
        // Same pixel size, other image data.
        const auto header = SNP_ImagePipeline::readJpegHeader(*embedded);
        EXPECT_EQ(header ? QSize(header->width, header->height) : QSize(), QSize(640, 427));
        EXPECT_NE(SNP_ImagePipeline::decodeJpeg(row.source).value(), SNP_ImagePipeline::decodeJpeg(*embedded).value());
        // Embedding again replaces the first embedding.
        EXPECT_EQ(addressesIn(SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary({"two@example.com"}), *embedded)
                                  .value_or(QByteArray())), QStringList{"two@example.com"});
    }
    EXPECT_EQ(exifString(exifOf(rows[1].source), "Exif.Image.Model"), "Canon EOS 5D Mark II");

    // The same through files.
    ASSERT_TRUE(writeFile(path("camera.jpg"), rows[0].source));
    const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObjectForJpegAtPath(emailsDictionary(kAddresses), path("camera.jpg"));
    ASSERT_TRUE(embedded.has_value() && writeFile(path("embedded.jpg"), *embedded));
    EXPECT_EQ(addressesOf(SNP_XMLinEXIF::propertyListObjectForJpegAtPath(path("embedded.jpg"))), kAddresses);
    EXPECT_EQ(addressesOf(SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(path("embedded.jpg"))), kAddresses);
}

TEST_F(XMLinEXIFTest, CommentIsAsciiCodedXmlPropertyListWithEscapedText)
{
    const QByteArray raw = rawUserComment(
        SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), cameraJpeg(patternImage(64, 48))).value());
    EXPECT_EQ(raw.left(8), kAsciiHeader);
    const QByteArray xml = raw.mid(8);
    EXPECT_TRUE(xml.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">")) << xml.constData();
    EXPECT_TRUE(xml.contains("<key>QB_emailsForUpload</key>"));
    EXPECT_TRUE(xml.contains("a&amp;b&lt;c&gt;d@example.org"));
    EXPECT_TRUE(xml.contains(kAddresses[1].toUtf8())) << "non-ASCII text is kept as UTF-8";
    // The comment text is exactly the XML serialisation of the object, without a NUL.
    EXPECT_FALSE(xml.contains('\0'));
    EXPECT_EQ(xml, SNP_XMLinEXIF::xmlDataForPropertyListObject(emailsDictionary(kAddresses)).value());
}

// The writer refuses what is no property list and what it could only write cut short.
TEST_F(XMLinEXIFTest, ObjectsThatCannotBeWrittenWholeAreRefusedWithTheLogLine)
{
    const QString cut = QStringLiteral("ann") + QChar(0) + QStringLiteral("@example.com");
    const struct { const char* name; QVariant object; } rows[] = {
        {"a plain object", QVariant(QPoint(3, 4))},
        {"a plain object nested in the list", QVariantMap{{QBEmailsForUpload, QVariantList{"a@b.c", QVariant(QSize(1, 2))}}}},
        {"a NUL in an address", emailsDictionary({"ok@example.com", cut})},
        {"a NUL in a list item", QVariantMap{{QBEmailsForUpload, QVariantList{cut}}}},
        {"a NUL in a key", QVariantMap{{cut, QStringList{"ok@example.com"}}}},
        {"a NUL in a lone string", QVariant(cut)},
    };
    const QByteArray jpeg = cameraJpeg(patternImage(64, 48));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const qsizetype lines = logText().count("unable to create XML data for object:");
        EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObject(row.object, jpeg).has_value());
        EXPECT_EQ(logText().count("unable to create XML data for object:"), lines + 1);
        EXPECT_FALSE(SNP_XMLinEXIF::xmlDataForPropertyListObject(row.object).has_value());
        EXPECT_FALSE(SNP_XMLinEXIF::binaryDataForPropertyListObject(row.object).has_value());
    }
    EXPECT_TRUE(logText().contains("unable to create XML data for object:QVariant(QPoint")) << qPrintable(logText());
    // Missing object or picture: nothing.
    EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObject(QVariant(), jpeg).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), QByteArray()).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObjectForJpegAtPath(emailsDictionary(kAddresses), QString()).has_value());
}

TEST_F(XMLinEXIFTest, PicturesWithoutAPropertyListGiveNothing)
{
    const QByteArray padding(72, '\0'); // a camera's empty comment: undefined header and padding
    const QByteArray notAList = kAsciiHeader + "camera owner: studio";
    const QByteArray good = cameraJpeg(patternImage(320, 240));
    QByteArray garbage(4096, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 7919) & 0xFF);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    patternImage(16, 16).save(&buffer, "PNG");
    const struct { const char* name; QByteArray jpeg; bool isPicture; } rows[] = {
        {"no user comment", good, true},
        {"a comment that is no property list", cameraJpeg(patternImage(64, 48), &notAList), true},
        {"no EXIF", SNP_ImagePipeline::encodeJpeg(patternImage(8, 8), 90).value(), true},
        {"padding only", cameraJpeg(patternImage(64, 48), &padding), true},
        {"no data", QByteArray(), false},
        {"truncated", good.left(good.size() / 2), false},
        {"garbage", garbage, false},
        {"garbage after a JPEG start", QByteArray("\xFF\xD8\xFF\xE1\xFF\xFF", 6) + garbage, false},
        {"three bytes", good.left(3), false},
        {"a PNG picture, which Exiv2 reads", png, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegData(row.jpeg).has_value());
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListDictionaryForJpegData(row.jpeg).has_value());
        EXPECT_EQ(SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), row.jpeg).has_value(), row.isPicture);
    }
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegAtPath(QString()).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegAtPath(path("missing.jpg")).has_value());

    // A property list that is not a dictionary reads as itself, but not as the booth's dictionary.
    const QStringList list{"x@y.z", "p@q.r"};
    const QByteArray withList = SNP_XMLinEXIF::jpegDataWithPropertyListObject(list, good).value();
    EXPECT_EQ(SNP_XMLinEXIF::propertyListObjectForJpegData(withList).value_or(QVariant()).toStringList(), list);
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListDictionaryForJpegData(withList).has_value());
}

// Every kind of object, and any text without a NUL, reads back whole from every coding of
// the comment: XML or binary, with the ASCII, undefined or UCS-2 header, without one, padded.
TEST_F(XMLinEXIFTest, EveryKindReadsBackFromEveryCoding)
{
    const QVariantMap object{
        {QBEmailsForUpload, QVariant(kAddresses).toList()}, {"escaped", "a<b>&\"c\""}, {"empty", QString()}, {"number", 42}, {"negative", -7},
        {"real", 2.5}, {"yes", true}, {"no", false}, {"date", QDateTime(QDate(2010, 2, 2), QTime(14, 30, 5), QTimeZone::utc())},
        {"data", QByteArray("\x00\x01\xFF", 3)}, {"nested", QVariantList{QVariantMap{{"deep", QVariantList{1, 2}}}, "s"}},
    };
    const QByteArray binary = SNP_XMLinEXIF::binaryDataForPropertyListObject(object).value();
    ASSERT_TRUE(binary.startsWith("bplist00"));
    const QByteArray xml = SNP_XMLinEXIF::xmlDataForPropertyListObject(object).value();
    QByteArray ucs2le;
    for (QChar c : QString::fromUtf8(xml))
        ucs2le.append(static_cast<char>(c.unicode() & 0xFF)).append(static_cast<char>(c.unicode() >> 8));
    const struct { const char* name; QByteArray comment; } rows[] = {
        {"as embedded", rawUserComment(SNP_XMLinEXIF::jpegDataWithPropertyListObject(object, cameraJpeg(patternImage(32, 32))).value())},
        {"binary, ASCII header", kAsciiHeader + binary},
        {"binary, undefined header", QByteArray(8, '\0') + binary},
        {"XML without header", xml},
        {"XML with padding", kAsciiHeader + xml + QByteArray(5, '\0')},
        {"XML as UCS-2", QByteArray("UNICODE\0", 8) + ucs2le},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto back = SNP_XMLinEXIF::propertyListObjectForJpegData(cameraJpeg(patternImage(32, 32), &row.comment));
        const QVariantMap read = back.value_or(QVariant()).toMap();
        EXPECT_EQ(read.keys(), object.keys());
        for (const QString& key : object.keys())
            EXPECT_EQ(read.value(key), object.value(key)) << qPrintable(key);
        EXPECT_EQ(read.value("yes").typeId(), QMetaType::Bool);
    }
    // A text longer than a user comment can hold, through both codecs.
    const QVariantMap longText{{"long", QString(60000, u'a')}};
    for (const auto& data : {SNP_XMLinEXIF::xmlDataForPropertyListObject(longText), SNP_XMLinEXIF::binaryDataForPropertyListObject(longText)})
        EXPECT_EQ(SNP_XMLinEXIF::propertyListObjectForData(data.value()).value_or(QVariant()).toMap(), longText);
}

// Files written here must read back with the ordinary tools.
TEST_F(XMLinEXIFTest, Exiv2AndExiftoolShowTheComment)
{
    if (QStandardPaths::findExecutable("exiv2").isEmpty() || QStandardPaths::findExecutable("exiftool").isEmpty())
        GTEST_SKIP() << "exiv2 and exiftool are needed (scripts/install-deps.sh installs them)";
    ASSERT_TRUE(writeFile(path("tool.jpg"), SNP_XMLinEXIF::jpegDataWithPropertyListObject(
                                                emailsDictionary(kAddresses), cameraJpeg(patternImage(64, 48))).value()));
    const QString exiv2 = QString::fromUtf8(toolOutput("exiv2", {"-pa"}));
    ASSERT_TRUE(exiv2.contains("Exif.Photo.UserComment")) << qPrintable(exiv2);
    const QString comment = exiv2.mid(exiv2.indexOf("Exif.Photo.UserComment"));
    EXPECT_TRUE(comment.contains("<key>QB_emailsForUpload</key>")) << qPrintable(exiv2);
    EXPECT_TRUE(comment.contains("a&amp;b&lt;c&gt;d@example.org"));
    EXPECT_TRUE(comment.contains(kAddresses[1])) << "UTF-8 address shown as text";
    EXPECT_TRUE(exiv2.contains("Canon EOS 5D Mark II"));

    const QByteArray xml = toolOutput("exiftool", {"-b", "-UserComment"});
    EXPECT_TRUE(xml.startsWith("<?xml")) << xml.left(40).constData();
    EXPECT_EQ(addressesOf(SNP_XMLinEXIF::propertyListObjectForData(xml)), kAddresses);
    EXPECT_EQ(toolOutput("exiftool", {"-s3", "-Model"}).trimmed(), QByteArray("Canon EOS 5D Mark II"));
}
