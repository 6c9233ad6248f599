// Hostile bytes where the booth reads pictures back: what the fuzzers found, kept as
// tests. A property-list string or dictionary key with a NUL inside (possible in XML and
// binary lists) made libplist abort the process; such lists are now refused like any
// other bad list, and the writer refuses texts it could only cut short.
#include "JpegFixtures.h"

#include "SNP_XMLinEXIF.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>

namespace {

QByteArray xmlList(const QByteArray& inner)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" + inner + "\n</plist>\n";
}

QByteArray userComment(const QByteArray& text) { return QByteArray("ASCII\0\0\0", 8) + text; }

class HostileInputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static QTemporaryDir logDir;
        logPath = logDir.filePath("booth.log");
        SNP_Log::setLogFile(logPath);
    }
    qsizetype mark() const { return QFile(logPath).size(); }
    QString logSince(qsizetype from) const
    {
        QFile file(logPath);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        file.seek(from);
        return QString::fromUtf8(file.readAll());
    }
    QString logPath;
};

} // namespace

TEST_F(HostileInputTest, NulInsideAStringIsRefusedNotFatal)
{
    static const char inner[] = "<dict><key>QB_emailsForUpload</key><array><string>ann\0@x.org</string>"
                                "</array></dict>";
    const QByteArray withNul = xmlList(QByteArray(inner, sizeof inner - 1));
    ASSERT_TRUE(withNul.contains('\0'));
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(withNul).has_value());

    // The same inside a picture's user comment.
    const QByteArray comment = userComment(withNul);
    const QByteArray jpeg = fixtures::cameraJpeg(fixtures::patternImage(32, 24), &comment);
    ASSERT_FALSE(jpeg.isEmpty());
    const qsizetype from = mark();
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegData(jpeg).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListDictionaryForJpegData(jpeg).has_value());
    EXPECT_TRUE(logSince(from).contains("the user comment is not a property list"));

    // The corpus file that found it.
    QFile found(QStringLiteral(BOOTH_SOURCE_DIR "/fuzz/corpus/plist_in_jpeg/found_nul_inside_xml_string.bin"));
    ASSERT_TRUE(found.open(QIODevice::ReadOnly));
    const QByteArray input = found.readAll();
    ASSERT_TRUE(input.startsWith('C'));
    const QByteArray raw = input.mid(1);
    const QByteArray picture = fixtures::cameraJpeg(fixtures::patternImage(16, 16), &raw);
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegData(picture).has_value());
}

TEST_F(HostileInputTest, NulInsideADictionaryKeyIsRefusedBeforeParsing)
{
    // The binary list the fuzzer found: a dictionary key with a NUL inside, on which
    // libplist asserts while handing out the key.
    QFile found(QStringLiteral(BOOTH_SOURCE_DIR "/fuzz/corpus/plist_in_jpeg/found_nul_in_binary_key.bin"));
    ASSERT_TRUE(found.open(QIODevice::ReadOnly));
    const QByteArray binary = found.readAll();
    ASSERT_TRUE(binary.startsWith("bplist00"));
    qsizetype from = mark();
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(binary).has_value());
    EXPECT_TRUE(logSince(from).contains("property list refused: it holds a NUL character"));
    const QByteArray comment = userComment(binary);
    const QByteArray jpeg = fixtures::cameraJpeg(fixtures::patternImage(16, 16), &comment);
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListDictionaryForJpegData(jpeg).has_value());

    // The same key made by the library's own writer, so the check is not tied to one file.
    const QVariantMap withNulKey{{QString::fromLatin1("a\0b", 3), QStringLiteral("x")}};
    if (const auto written = SNP_XMLinEXIF::binaryDataForPropertyListObject(withNulKey)) {
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(*written).has_value());
    }

    // XML keys: a raw NUL and NUL character references in either base.
    static const char raw[] = "<dict><key>a\0b</key><string>x</string></dict>";
    for (const QByteArray& xml : {xmlList(QByteArray(raw, sizeof raw - 1)),
                                  xmlList("<dict><key>a&#0;b</key><string>x</string></dict>"),
                                  xmlList("<dict><key>a&#x00;b</key><string>x</string></dict>")}) {
        from = mark();
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(xml).has_value()) << xml.constData();
        EXPECT_TRUE(logSince(from).contains("property list refused: it holds a NUL character"));
    }

    // Not refused: other character references, NULs after the end, a damaged table is
    // refused without being parsed.
    const auto ok = SNP_XMLinEXIF::propertyListObjectForData(
        xmlList("<dict><key>a&#10;b</key><string>&#x41;</string></dict>") + QByteArray(4, '\0'));
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->toMap().value("a\nb").toString(), "A");
    QByteArray damaged = *SNP_XMLinEXIF::binaryDataForPropertyListObject(QVariantMap{{"k", "v"}});
    damaged[damaged.size() - 1] = char(0x7F); // the offset table's place
    from = mark();
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(damaged).has_value());
    EXPECT_TRUE(logSince(from).contains("property list refused: its object table is damaged"));
}

TEST_F(HostileInputTest, StringsWithoutNulStillReadInFull)
{
    // Escaped and non-ASCII text, an empty string and a long one all come back whole.
    const QString longText(60000, u'a');
    const QVariantMap object{{"plain", "anna@example.com"}, {"escaped", "a<b>&\"c\""}, {"empty", QString()},
                             {"accent", QString::fromUtf8("jos\xC3\xA9@example.com")}, {"long", longText}};
    const auto xml = SNP_XMLinEXIF::xmlDataForPropertyListObject(object);
    ASSERT_TRUE(xml.has_value());
    const auto back = SNP_XMLinEXIF::propertyListObjectForData(*xml);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->toMap(), object);
    const auto binary = SNP_XMLinEXIF::binaryDataForPropertyListObject(object);
    ASSERT_TRUE(binary.has_value());
    const auto fromBinary = SNP_XMLinEXIF::propertyListObjectForData(*binary);
    ASSERT_TRUE(fromBinary.has_value());
    EXPECT_EQ(fromBinary->toMap(), object);
}

TEST_F(HostileInputTest, WriterRefusesTextsItWouldCutShort)
{
    const QString cut = QStringLiteral("ann") + QChar(0) + QStringLiteral("@example.com");
    const QVariant objects[] = {
        QVariantMap{{QBEmailsForUpload, QStringList{"ok@example.com", cut}}},
        QVariantMap{{QBEmailsForUpload, QVariantList{cut}}},
        QVariantMap{{cut, QStringList{"ok@example.com"}}},
        QVariant(cut),
    };
    const QByteArray jpeg = fixtures::cameraJpeg(fixtures::patternImage(32, 24));
    for (const QVariant& object : objects) {
        EXPECT_FALSE(SNP_XMLinEXIF::xmlDataForPropertyListObject(object).has_value());
        EXPECT_FALSE(SNP_XMLinEXIF::binaryDataForPropertyListObject(object).has_value());
        const qsizetype from = mark();
        EXPECT_FALSE(SNP_XMLinEXIF::jpegDataWithPropertyListObject(object, jpeg).has_value());
        EXPECT_TRUE(logSince(from).contains("unable to create XML data for object:"));
    }
}

TEST_F(HostileInputTest, DeepNestingAndGarbageDoNotCrash)
{
    // Nesting as deep as a user comment can hold (64 KiB)
    QByteArray deep;
    for (int i = 0; i < 8000; ++i)
        deep += "<array>";
    for (int i = 0; i < 8000; ++i)
        deep += "</array>";
    // is refused rather than read with a recursion that runs off the stack; a modest depth reads.
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(xmlList(deep)).has_value());
    const auto nested = SNP_XMLinEXIF::propertyListObjectForData(xmlList("<array><array><array><string>x</string>"
                                                                        "</array></array></array>"));
    ASSERT_TRUE(nested.has_value());
    EXPECT_EQ(nested->toList().value(0).toList().value(0).toList().value(0).toString(), QStringLiteral("x"));
    // Truncated, unbalanced and binary garbage lists.
    const QByteArray bad[] = {
        xmlList("<dict><key>a</key>"), xmlList("<array><string>x</array>"), QByteArray("bplist00", 8),
        QByteArray("bplist00\xd1\x01\x02", 11) + QByteArray(40, '\xff'), QByteArray(100, '\0'),
    };
    for (const QByteArray& data : bad) {
        const auto object = SNP_XMLinEXIF::propertyListObjectForData(data);
        if (object) // whatever was read must serialise again
            EXPECT_TRUE(SNP_XMLinEXIF::xmlDataForPropertyListObject(*object).has_value());
    }
}

TEST_F(HostileInputTest, DateOutOfRangeIsRefusedNotMisread)
{
    // A binary list whose date is a huge real: libplist cannot bring it into 32 bits and
    // hands back garbage; reading it would give a date no writer can write again.
    QFile found(QStringLiteral(BOOTH_SOURCE_DIR "/fuzz/corpus/plist_in_jpeg/found_date_out_of_range.bin"));
    ASSERT_TRUE(found.open(QIODevice::ReadOnly));
    const QByteArray list = found.readAll().mid(1);
    ASSERT_TRUE(list.startsWith("bplist00"));
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(list).has_value());

    // Dates at the ends of the range are kept to the second; beyond them they are refused.
    const QDateTime first = QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()).addSecs(qint64(INT32_MIN));
    const QDateTime last = QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()).addSecs(qint64(INT32_MAX));
    for (const QDateTime& date : {first, last}) {
        const auto xml = SNP_XMLinEXIF::xmlDataForPropertyListObject(QVariantList{date});
        ASSERT_TRUE(xml.has_value()) << qPrintable(date.toString(Qt::ISODate));
        const auto back = SNP_XMLinEXIF::propertyListObjectForData(*xml);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->toList().value(0).toDateTime().toSecsSinceEpoch(), date.toSecsSinceEpoch());
    }
    EXPECT_FALSE(SNP_XMLinEXIF::xmlDataForPropertyListObject(QVariantList{last.addSecs(1)}).has_value());
    EXPECT_FALSE(SNP_XMLinEXIF::xmlDataForPropertyListObject(QVariantList{first.addSecs(-1)}).has_value());
}
