// Hostile bytes where the booth reads pictures back: what the fuzzers found, kept as
// tests. A property-list string or dictionary key with a NUL inside (possible in XML and
// binary lists) made libplist abort the process; such lists are now refused like any
// other bad list, and so are lists nested too deep and dates no writer could write again.
#include "JpegFixtures.h"

#include "SNP_XMLinEXIF.h"
#include "TestPaths.h"

#include <QDateTime>
#include <QTimeZone>

namespace {

QByteArray xmlList(const QByteArray& inner)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" + inner + "\n</plist>\n";
}

QByteArray corpusFile(const char* name)
{
    return fixtures::readFile(QStringLiteral(BOOTH_SOURCE_DIR "/fuzz/corpus/plist_in_jpeg/") + name);
}

using HostileInputTest = fixtures::LoggedTest;

} // namespace

TEST_F(HostileInputTest, ListsWithANulOrADamagedTableAreRefusedBeforeParsing)
{
    static const char nulInString[] = "<dict><key>QB_emailsForUpload</key><array><string>ann\0@x.org</string></array></dict>";
    static const char nulInKey[] = "<dict><key>a\0b</key><string>x</string></dict>";
    QByteArray damaged = SNP_XMLinEXIF::binaryDataForPropertyListObject(QVariantMap{{"k", "v"}}).value();
    damaged[damaged.size() - 1] = char(0x7F); // the offset table's place
    const struct { const char* name; QByteArray list; const char* refusal; } rows[] = {
        {"NUL inside an XML string", xmlList(QByteArray(nulInString, sizeof nulInString - 1)), "it holds a NUL character"},
        {"the fuzzer's XML string", corpusFile("found_nul_inside_xml_string.bin").mid(9), "it holds a NUL character"},
        // libplist asserts on this one while handing out the key.
        {"the fuzzer's binary key", corpusFile("found_nul_in_binary_key.bin"), "it holds a NUL character"},
        {"raw NUL in an XML key", xmlList(QByteArray(nulInKey, sizeof nulInKey - 1)), "it holds a NUL character"},
        {"decimal NUL reference in a key", xmlList("<dict><key>a&#0;b</key><string>x</string></dict>"), "it holds a NUL character"},
        {"hexadecimal NUL reference in a key", xmlList("<dict><key>a&#x00;b</key><string>x</string></dict>"), "it holds a NUL character"},
        {"damaged object table", damaged, "its object table is damaged"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(row.list.startsWith("<?xml") || row.list.startsWith("bplist00"));
        const qsizetype refusals = logText().count(row.refusal);
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(row.list).has_value());
        EXPECT_EQ(logText().count(row.refusal), refusals + 1);
        const QByteArray comment = QByteArray("ASCII\0\0\0", 8) + row.list;
        const QByteArray picture = fixtures::cameraJpeg(fixtures::patternImage(16, 16), &comment);
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForJpegData(picture).has_value());
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListDictionaryForJpegData(picture).has_value());
    }

    // Not refused: other character references, and NULs after the end.
    const auto ok = SNP_XMLinEXIF::propertyListObjectForData(
        xmlList("<dict><key>a&#10;b</key><string>&#x41;</string></dict>") + QByteArray(4, '\0'));
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->toMap().value("a\nb").toString(), "A");
}

TEST_F(HostileInputTest, DeepNestingAndGarbageDoNotCrash)
{
    // Nesting as deep as a user comment can hold (64 KiB) is refused rather than read with
    // a recursion that runs off the stack; a modest depth reads.
    const QByteArray deep = QByteArray("<array>").repeated(8000) + QByteArray("</array>").repeated(8000);
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(xmlList(deep)).has_value());
    const auto nested = SNP_XMLinEXIF::propertyListObjectForData(xmlList("<array><array><array><string>x</string></array></array></array>"));
    ASSERT_TRUE(nested.has_value());
    EXPECT_EQ(nested->toList().value(0).toList().value(0).toList().value(0).toString(), QStringLiteral("x"));
    // Truncated, unbalanced and binary garbage lists: whatever is read must serialise again.
    const QByteArray bad[] = {
        xmlList("<dict><key>a</key>"), xmlList("<array><string>x</array>"), QByteArray("bplist00", 8),
        QByteArray("bplist00\xd1\x01\x02", 11) + QByteArray(40, '\xff'), QByteArray(100, '\0'),
    };
    for (const QByteArray& data : bad) {
        const auto object = SNP_XMLinEXIF::propertyListObjectForData(data);
        EXPECT_TRUE(!object || SNP_XMLinEXIF::xmlDataForPropertyListObject(*object).has_value());
    }
}

TEST_F(HostileInputTest, DateOutOfRangeIsRefusedNotMisread)
{
    // A binary list whose date is a huge real: libplist cannot bring it into 32 bits and
    // hands back garbage; reading it would give a date no writer can write again.
    const QByteArray list = corpusFile("found_date_out_of_range.bin").mid(1);
    ASSERT_TRUE(list.startsWith("bplist00"));
    EXPECT_FALSE(SNP_XMLinEXIF::propertyListObjectForData(list).has_value());

    // Dates at the ends of the range are kept to the second; beyond them they are refused.
    const QDateTime epoch(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
    const QDateTime first = epoch.addSecs(qint64(INT32_MIN)), last = epoch.addSecs(qint64(INT32_MAX));
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
