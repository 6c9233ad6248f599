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

const QStringList kAddresses = {
    QStringLiteral("first@example.com"),
    QStringLiteral("j\u00fcrgen.m\u00fcller@b\u00fccher.example"),
    QStringLiteral("a&b<c>d@example.org"),
    QStringLiteral("last@example.net"),
};

QVariantMap emailsDictionary(const QStringList& addresses)
{
    return QVariantMap{{QBEmailsForUpload, addresses}};
}

QStringList addressesOf(const QVariant& object)
{
    return object.toMap().value(QBEmailsForUpload).toStringList();
}

class XMLinEXIFTest : public LoggedTest {};

} // namespace

TEST_F(XMLinEXIFTest, AddressesRoundTripInTypedOrderAndPictureIsRecompressed)
{
    const QByteArray source = cameraJpeg(patternImage(640, 427));
    ASSERT_FALSE(source.isEmpty());
    const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), source);
    ASSERT_TRUE(embedded.has_value());

    const auto object = SNP_XMLinEXIF::propertyListObjectForJpegData(*embedded);
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ(object->typeId(), QMetaType::QVariantMap);
    EXPECT_EQ(object->toMap().keys(), QStringList{QBEmailsForUpload});
    EXPECT_EQ(addressesOf(*object), kAddresses);

    const auto dictionary = SNP_XMLinEXIF::propertyListDictionaryForJpegData(*embedded);
    ASSERT_TRUE(dictionary.has_value());
    EXPECT_EQ(dictionary->value(QBEmailsForUpload).toStringList(), kAddresses);

    // Same pixel size, other image data.
    const auto before = SNP_ImagePipeline::readJpegHeader(source);
    const auto after = SNP_ImagePipeline::readJpegHeader(*embedded);
    ASSERT_TRUE(before && after);
    EXPECT_EQ(after->width, 640);
    EXPECT_EQ(after->height, 427);
    EXPECT_NE(*embedded, source);
    const auto decodedBefore = SNP_ImagePipeline::decodeJpeg(source);
    const auto decodedAfter = SNP_ImagePipeline::decodeJpeg(*embedded);
    ASSERT_TRUE(decodedBefore && decodedAfter);
    EXPECT_NE(*decodedBefore, *decodedAfter);
}

TEST_F(XMLinEXIFTest, CommentIsAsciiCodedXmlPropertyListWithEscapedText)
{
    const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), cameraJpeg(patternImage(64, 48)));
    ASSERT_TRUE(embedded.has_value());
    const QByteArray raw = rawUserComment(*embedded);
    ASSERT_GT(raw.size(), 8);
    EXPECT_EQ(raw.left(8), QByteArray("ASCII\0\0\0", 8));
    const QByteArray xml = raw.mid(8);
    EXPECT_TRUE(xml.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>")) << xml.left(60).constData();
    EXPECT_TRUE(xml.contains("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"));
    EXPECT_TRUE(xml.contains("<plist version=\"1.0\">"));
    EXPECT_TRUE(xml.contains("<key>QB_emailsForUpload</key>"));
    EXPECT_TRUE(xml.contains("a&amp;b&lt;c&gt;d@example.org"));
    EXPECT_TRUE(xml.contains(kAddresses[1].toUtf8())) << "non-ASCII text is kept as UTF-8";
    EXPECT_FALSE(xml.contains('\0'));
    // The comment text is exactly the XML serialisation of the object.
    EXPECT_EQ(xml, SNP_XMLinEXIF::xmlDataForPropertyListObject(emailsDictionary(kAddresses)).value());
}

TEST_F(XMLinEXIFTest, EarlierCommentReplacedOtherEntriesKept)
{
    const QByteArray oldComment = QByteArray("ASCII\0\0\0", 8) + "camera owner: studio";
    const QByteArray source = cameraJpeg(patternImage(320, 240), &oldComment);
    ASSERT_EQ(rawUserComment(source), oldComment);
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegData(source).has_value());
    EXPECT_TRUE(logText().contains("the user comment is not a property list"));

    const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary({"one@example.com"}), source);
    ASSERT_TRUE(embedded.has_value());
    const Exiv2::ExifData exif = exifOf(*embedded);
    EXPECT_EQ(exifString(exif, "Exif.Image.Make"), "Canon");
    EXPECT_EQ(exifString(exif, "Exif.Image.Model"), "Canon EOS 5D Mark II");
    EXPECT_EQ(exifString(exif, "Exif.Photo.ExposureTime"), "1/125");
    EXPECT_EQ(exifString(exif, "Exif.Photo.DateTimeOriginal"), "2010:02:02 14:30:05");
    int comments = 0;
    for (const auto& datum : exif)
        comments += datum.key() == "Exif.Photo.UserComment" ? 1 : 0;
    EXPECT_EQ(comments, 1);
    EXPECT_FALSE(rawUserComment(*embedded).contains("studio"));
    EXPECT_EQ(addressesOf(SNP_XMLinEXIF::propertyListObjectForJpegData(*embedded).value()), QStringList{"one@example.com"});

    // Embedding again replaces the first embedding.
    const auto again = SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary({"two@example.com"}), *embedded);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(addressesOf(SNP_XMLinEXIF::propertyListObjectForJpegData(*again).value()), QStringList{"two@example.com"});
}

TEST_F(XMLinEXIFTest, PictureWithoutExifStillCarriesTheAddresses)
{
    const auto bare = SNP_ImagePipeline::encodeJpeg(patternImage(200, 100), 95);
    ASSERT_TRUE(bare.has_value());
    ASSERT_TRUE(exifOf(*bare).empty());
    const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), *bare);
    ASSERT_TRUE(embedded.has_value());
    EXPECT_EQ(addressesOf(SNP_XMLinEXIF::propertyListObjectForJpegData(*embedded).value()), kAddresses);
}

TEST_F(XMLinEXIFTest, ObjectThatIsNoPropertyListRefusedWithItsLogLine)
{
    const QByteArray source = cameraJpeg(patternImage(64, 48));
    EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObject(QVariant(QPoint(3, 4)), source).has_value());
    EXPECT_TRUE(logText().contains("unable to create XML data for object:QVariant(QPoint")) << qPrintable(logText());

    // Nested deep inside a dictionary, too.
    const QVariantMap nested{{QBEmailsForUpload, QVariantList{QStringLiteral("a@b.c"), QVariant(QSize(1, 2))}}};
    EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObject(nested, source).has_value());
    EXPECT_EQ(logText().count("unable to create XML data for object:"), 2);

    // Missing object or data: nothing.
    EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObject(QVariant(), source).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), QByteArray()).has_value());
}

TEST_F(XMLinEXIFTest, NoUserCommentReadsAsNothing)
{
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegData(cameraJpeg(patternImage(64, 48))).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegData(SNP_ImagePipeline::encodeJpeg(patternImage(8, 8), 90).value()).has_value());
    // A camera's empty comment: undefined header and padding.
    const QByteArray padding(72, '\0');
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegData(cameraJpeg(patternImage(64, 48), &padding)).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegData(QByteArray()).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegAtPath(QString()).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegAtPath(path("missing.jpg")).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObjectForJpegAtPath(emailsDictionary(kAddresses), QString()).has_value());
}

TEST_F(XMLinEXIFTest, XmlBinaryAndOtherCodingsAllRead)
{
    const QVariantMap dictionary = emailsDictionary(kAddresses);
    const QByteArray binary = SNP_XMLinEXIF::binaryDataForPropertyListObject(dictionary).value();
    ASSERT_TRUE(binary.startsWith("bplist00"));
    const QByteArray xml = SNP_XMLinEXIF::xmlDataForPropertyListObject(dictionary).value();

    struct Case {
        const char* name;
        QByteArray comment;
    };
    QString utf16Text = QString::fromUtf8(xml);
    QByteArray ucs2le;
    for (QChar c : utf16Text) {
        ucs2le.append(static_cast<char>(c.unicode() & 0xFF));
        ucs2le.append(static_cast<char>(c.unicode() >> 8));
    }
    const Case cases[] = {
        {"binary, ASCII header", QByteArray("ASCII\0\0\0", 8) + binary},
        {"binary, undefined header", QByteArray(8, '\0') + binary},
        {"XML without header", xml},
        {"XML with padding", QByteArray("ASCII\0\0\0", 8) + xml + QByteArray(5, '\0')},
        {"XML as UCS-2", QByteArray("UNICODE\0", 8) + ucs2le},
    };
    for (const Case& c : cases) {
        const auto object = SNP_XMLinEXIF::propertyListObjectForJpegData(cameraJpeg(patternImage(32, 32), &c.comment));
        ASSERT_TRUE(object.has_value()) << c.name;
        EXPECT_EQ(addressesOf(*object), kAddresses) << c.name;
    }
}

TEST_F(XMLinEXIFTest, NonDictionaryRefusedByTheDictionaryReading)
{
    const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(QStringList{"x@y.z", "p@q.r"}, cameraJpeg(patternImage(32, 32)));
    ASSERT_TRUE(embedded.has_value());
    const auto object = SNP_XMLinEXIF::propertyListObjectForJpegData(*embedded);
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ(object->toStringList(), (QStringList{"x@y.z", "p@q.r"}));
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListDictionaryForJpegData(*embedded).has_value());
    EXPECT_TRUE(logText().contains("property list in user comment is not a dictionary: ")) << qPrintable(logText());
}

TEST_F(XMLinEXIFTest, EveryPropertyListKindSurvives)
{
    const QDateTime when = QDateTime(QDate(2010, 2, 2), QTime(14, 30, 5), QTimeZone::utc());
    const QVariantMap object{
        {"text", QStringLiteral("h\u00e9llo")},
        {"number", 42},
        {"negative", -7},
        {"real", 2.5},
        {"yes", true},
        {"no", false},
        {"date", when},
        {"data", QByteArray("\x00\x01\xFF", 3)},
        {"nested", QVariantList{QVariantMap{{"deep", QVariantList{1, 2}}}, QStringLiteral("s")}},
    };
    const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(object, cameraJpeg(patternImage(32, 32)));
    ASSERT_TRUE(embedded.has_value());
    const QVariantMap back = SNP_XMLinEXIF::propertyListObjectForJpegData(*embedded).value().toMap();
    EXPECT_EQ(back.value("text").toString(), QStringLiteral("h\u00e9llo"));
    EXPECT_EQ(back.value("number").toLongLong(), 42);
    EXPECT_EQ(back.value("negative").toLongLong(), -7);
    EXPECT_DOUBLE_EQ(back.value("real").toDouble(), 2.5);
    EXPECT_EQ(back.value("yes").typeId(), QMetaType::Bool);
    EXPECT_TRUE(back.value("yes").toBool());
    EXPECT_FALSE(back.value("no").toBool());
    EXPECT_EQ(back.value("date").toDateTime().toMSecsSinceEpoch(), when.toMSecsSinceEpoch());
    EXPECT_EQ(back.value("data").toByteArray(), QByteArray("\x00\x01\xFF", 3));
    const QVariantList nested = back.value("nested").toList();
    ASSERT_EQ(nested.size(), 2);
    EXPECT_EQ(nested[0].toMap().value("deep").toList().size(), 2);
    EXPECT_EQ(nested[1].toString(), QStringLiteral("s"));
}

TEST_F(XMLinEXIFTest, GarbageAndTruncatedPicturesRefusedCleanly)
{
    const QByteArray good = cameraJpeg(patternImage(320, 240));
    const QByteArray truncated = good.left(good.size() / 2);
    QByteArray garbage(4096, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 7919) & 0xFF);
    QByteArray soiGarbage = QByteArray("\xFF\xD8\xFF\xE1\xFF\xFF", 6) + garbage;
    const QByteArray notJpegButPng = [] {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        patternImage(16, 16).save(&buffer, "PNG");
        return png;
    }();

    for (const QByteArray& bad : {truncated, garbage, soiGarbage, good.left(3), notJpegButPng}) {
        EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), bad).has_value());
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListDictionaryForJpegData(bad).has_value());
    }
    // Each refusal left a line in the log.
    EXPECT_GE(logText().count("jpegDataWithPropertyListObject"), 5);
}

TEST_F(XMLinEXIFTest, PathVariantsReadTheFile)
{
    const QString source = path("camera.jpg");
    ASSERT_TRUE(writeFile(source, cameraJpeg(patternImage(100, 80))));
    const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObjectForJpegAtPath(emailsDictionary(kAddresses), source);
    ASSERT_TRUE(embedded.has_value());
    const QString written = path("embedded.jpg");
    ASSERT_TRUE(writeFile(written, *embedded));
    EXPECT_EQ(addressesOf(SNP_XMLinEXIF::propertyListObjectForJpegAtPath(written).value()), kAddresses);
    EXPECT_EQ(SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(written).value().value(QBEmailsForUpload).toStringList(), kAddresses);
}

// Files written here must read back with the ordinary tools.
TEST_F(XMLinEXIFTest, Exiv2ToolShowsTheComment)
{
    const QString tool = QStandardPaths::findExecutable("exiv2");
    if (tool.isEmpty())
        GTEST_SKIP() << "exiv2 command not installed";
    const QString file = path("tool.jpg");
    ASSERT_TRUE(writeFile(file, SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), cameraJpeg(patternImage(64, 48))).value()));
    QProcess process;
    process.start(tool, {"-pa", file});
    ASSERT_TRUE(process.waitForFinished(30000));
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    const qsizetype at = output.indexOf("Exif.Photo.UserComment");
    ASSERT_GE(at, 0) << qPrintable(output);
    const QString rest = output.mid(at);
    EXPECT_TRUE(rest.contains("<key>QB_emailsForUpload</key>")) << qPrintable(rest);
    EXPECT_TRUE(rest.contains("a&amp;b&lt;c&gt;d@example.org"));
    EXPECT_TRUE(rest.contains(kAddresses[1])) << "UTF-8 address shown as text";
    EXPECT_TRUE(output.contains("Canon EOS 5D Mark II"));
}

TEST_F(XMLinEXIFTest, ExiftoolGivesBackTheXmlText)
{
    const QString tool = QStandardPaths::findExecutable("exiftool");
    if (tool.isEmpty())
        GTEST_SKIP() << "exiftool not installed";
    const QString file = path("tool.jpg");
    ASSERT_TRUE(writeFile(file, SNP_XMLinEXIF::jpegDataWithPropertyListObject(emailsDictionary(kAddresses), cameraJpeg(patternImage(64, 48))).value()));
    QProcess process;
    process.start(tool, {"-b", "-UserComment", file});
    ASSERT_TRUE(process.waitForFinished(30000));
    const QByteArray text = process.readAllStandardOutput();
    ASSERT_TRUE(text.startsWith("<?xml")) << text.left(40).constData();
    const auto object = SNP_XMLinEXIF::propertyListObjectForData(text);
    ASSERT_TRUE(object.has_value()) << text.constData();
    EXPECT_EQ(addressesOf(*object), kAddresses);

    QProcess model;
    model.start(tool, {"-s3", "-Model", file});
    ASSERT_TRUE(model.waitForFinished(30000));
    EXPECT_EQ(model.readAllStandardOutput().trimmed(), QByteArray("Canon EOS 5D Mark II"));
}
