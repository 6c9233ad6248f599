// Host description, temporary files, and the string and date additions.
#include <gtest/gtest.h>

#include "SNP_Base.h"
#include "SNP_NSDateAdditions.h"
#include "SNP_NSStringAdditions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimeZone>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

using namespace SNP_NSStringAdditions;
using SNP_NSDateAdditions::formatUTS;

TEST(HostDescription, StartupBannerAndPlatformQueries)
{
    const QStringList lines = SNP_Base::startupInfo().split(u'\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], QString(80, u'^'));
    EXPECT_TRUE(lines[1].endsWith(QLatin1String(" starting up")) && !lines[1].startsWith(u' ')) << qPrintable(lines[1]);
    EXPECT_TRUE(QRegularExpression(R"(^Linux \S+.* Qt \(\d+\.\d{3}\);$)").match(lines[2]).hasMatch()) << qPrintable(lines[2]);
    EXPECT_TRUE(QRegularExpression(R"(^\d+MB \(\d+MB free\); [1-9]\d* CPU; (LittleEndian|BigEndian|Unknown) \((32|64)-bit\); .+ \(.+\)$)")
                    .match(lines[3]).hasMatch()) << qPrintable(lines[3]);
    struct utsname names {};
    ASSERT_EQ(uname(&names), 0);
    EXPECT_TRUE(lines[3].endsWith(QStringLiteral(" (%1)").arg(names.machine))) << qPrintable(lines[3]);
    EXPECT_GT(SNP_Base::vmStats().value("freePages").toULongLong(), 0u);
    EXPECT_EQ(QFileInfo(SNP_Base::pathToSelf()).canonicalFilePath(),
              QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
    EXPECT_EQ(SNP_Base::firstFoundDirectoryType(QStandardPaths::HomeLocation, 0), QDir::homePath());
    EXPECT_EQ(SNP_Base::firstFoundDirectoryType(QStandardPaths::HomeLocation, 1), QDir::homePath());
}

TEST(SafeTempFile, EmptyFileWithOrWithoutDescriptorAndFailure)
{
    QTemporaryDir dir;
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(dir.path()));

    // Without a descriptor pointer: an empty file and no descriptor left open (the next
    // open gets the same lowest number as before).
    const int before = open("/dev/null", O_RDONLY);
    close(before);
    const QFileInfo bare(SNP_Base::safeTempFile(nullptr));
    EXPECT_TRUE(bare.exists() && bare.size() == 0) << qPrintable(bare.filePath());
    EXPECT_EQ(bare.absolutePath(), QFileInfo(dir.path()).absoluteFilePath());
    const int after = open("/dev/null", O_RDONLY);
    EXPECT_EQ(after, before);
    close(after);

    int fd = -2;
    const QString withFd = SNP_Base::safeTempFile(&fd);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    EXPECT_EQ(QFileInfo(withFd).size(), 3);
    EXPECT_NE(withFd, bare.filePath());

    qputenv("TMPDIR", QFile::encodeName(dir.filePath("does/not/exist")));
    EXPECT_TRUE(SNP_Base::safeTempFile(&fd).isEmpty());
    EXPECT_EQ(fd, -1);
    if (savedTmp.isEmpty()) qunsetenv("TMPDIR"); else qputenv("TMPDIR", savedTmp);
}

TEST(StringAdditions, NumericalCaseInsensitiveCompare)
{
    const struct { const char* a; const char* b; int sign; } rows[] = {
        {"image9", "IMAGE10", -1}, {"IMAGE10", "image9", 1}, {"Booth", "bOOTH", 0}, {"a007", "A7", 0},
        {"a2b", "a10a", -1}, {"x", "xy", -1}, {"a", "B", -1},
        {"file99999999999999999999", "file100000000000000000000", -1},
    };
    for (const auto& row : rows) {
        const int result = numericalCaseInsensitiveCompare(row.a, row.b);
        EXPECT_EQ((result > 0) - (result < 0), row.sign) << row.a << " vs " << row.b;
    }
}

TEST(StringAdditions, StringWithCString)
{
    const std::optional<QString> nil;
    // The bytes carry the terminating zero unit where a row relies on it.
    const struct { const char* name; QByteArray bytes; size_t limit; Encoding encoding; std::optional<QString> expected; } rows[] = {
        {"UTF-8 mark skipped, limit 16", QByteArray("\xEF\xBB\xBF" "A\0B", 7), 16, Encoding::UTF8, QStringLiteral("A")},
        {"limit 0 reads to the zero byte", QByteArray("hello\0world", 12), 0, Encoding::UTF8, QStringLiteral("hello")},
        {"limit cuts", "ABCDEF", 3, Encoding::UTF8, QStringLiteral("ABC")},
        {"limit under 4 keeps the mark", QByteArray("\xEF\xBB\xBF" "A\0", 6), 3, Encoding::UTF8, QString(QChar(0xFEFF))},
        {"empty", QByteArray("", 1), 10, Encoding::UTF8, QString("")},
        {"invalid UTF-8", "\xC3\x28", 0, Encoding::UTF8, nil},
        {"unsupported encoding", "abc", 0, Encoding::Unsupported, nil},
        {"not ASCII", "\xE9", 0, Encoding::ASCII, nil},
        {"Latin-1", "caf\xE9", 0, Encoding::Latin1, QStringLiteral("caf\u00e9")},
        {"limit 2 with a 4-byte encoding", QByteArray("A\0\0\0B\0\0\0\0\0\0\0", 12), 2, Encoding::UTF32LE, nil},
        {"UTF-32 to the zero unit", QByteArray("A\0\0\0B\0\0\0\0\0\0\0", 12), 0, Encoding::UTF32LE, QStringLiteral("AB")},
        {"UTF-32 limit of one unit", QByteArray("A\0\0\0B\0\0\0\0\0\0\0", 12), 4, Encoding::UTF32LE, QStringLiteral("A")},
        {"limit under one UTF-16 unit", "A", 1, Encoding::UTF16LE, nil},
        {"UTF-16 little-endian mark", QByteArray("\xFF\xFEh\0i\0\0\0", 8), 0, Encoding::UTF16, QStringLiteral("hi")},
        {"UTF-16 big-endian mark", QByteArray("\xFE\xFF\0h\0i\0\0", 8), 0, Encoding::UTF16, QStringLiteral("hi")},
        {"UTF-16 big-endian", QByteArray("\0h\0i\0\0", 6), 0, Encoding::UTF16BE, QStringLiteral("hi")},
        {"UTF-32 big-endian mark", QByteArray("\0\0\xFE\xFF\0\0\0z\0\0\0\0", 12), 0, Encoding::UTF32, QStringLiteral("z")},
        {"a zero byte inside a unit", QByteArray("A\0\0\x01\0\0", 6), 0, Encoding::UTF16LE, QString::fromUtf16(u"A\u0100")},
        {"past U+10FFFF", QByteArray("\0\0\x11\0\0\0\0\0", 8), 0, Encoding::UTF32LE, nil},
        {"unpaired high surrogate", QByteArray("\0\xD8" "a\0\0\0", 6), 0, Encoding::UTF16LE, nil},
        {"surrogate pair", QByteArray("\x3D\xD8\0\xDE\0\0", 6), 0, Encoding::UTF16LE, QString::fromUtf8("\xF0\x9F\x98\x80")},
    };
    for (const auto& row : rows) {
        const auto result = stringWithCString(row.bytes.constData(), row.limit, row.encoding);
        EXPECT_EQ(result.value_or("(nothing)"), row.expected.value_or("(nothing)")) << row.name;
    }
}

TEST(StringAdditions, DeletingCharacters)
{
    EXPECT_EQ(stringByDeletingCharactersInSet("a1b22c333d", decimalDigitCharacterSet()), QStringLiteral("abcd"));
    EXPECT_EQ(stringByDeletingCharactersInSet(" a b\tc\n", whitespaceCharacterSet()), QStringLiteral("abc"));
    EXPECT_EQ(stringByDeletingCharactersInSet(QString::fromUtf8("x\xF0\x9F\x98\x80y-z"), characterSetWithCharactersInString("-")),
              QString::fromUtf8("x\xF0\x9F\x98\x80yz"));
    EXPECT_EQ(stringByDeletingCharactersInSet("", decimalDigitCharacterSet()), QString());
}

TEST(StringAdditions, ReplacingSubStrings)
{
    const struct { QString text; QStringList targets, values; bool caseless; qsizetype at, length; QString expected; } rows[] = {
        {"ab", {"a", "b"}, {"b"}, false, 0, -1, ""}, // a becomes b, then both b go: b has no value
        {"aXa aXa", {"a"}, {"b"}, false, 4, 3, "aXa bXb"},
        {"Cat cat CAT", {"cat"}, {"dog"}, true, 0, -1, "dog dog dog"},
        {"Cat cat CAT", {"cat"}, {"dog"}, false, 0, -1, "Cat dog CAT"},
        {"abc", {"", "b"}, {"x", "y"}, false, 0, -1, "ayc"},
        {"abc", {"c"}, {"z"}, false, 1, 100, "abz"},
        {"abc", {"a"}, {"z"}, false, 50, 1, "abc"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(stringByReplacingSubStrings(row.text, row.targets, row.values, row.caseless, row.at, row.length),
                  row.expected) << qPrintable(row.text);
}

TEST(StringAdditions, HexDump)
{
    // A row of one repeated byte: 16 cells with a blank more after the eighth, then the text.
    const auto row = [](const char* offset, const char* cell, const char* text) {
        return QStringLiteral("%1  %2 %2 |%3|\n").arg(offset, QString(cell).append(u' ').repeated(8), text);
    };
    const QByteArray data = "abcdefghijklmnopqrst";
    EXPECT_EQ(hexdump(data), "00000000  61 62 63 64 65 66 67 68  69 6a 6b 6c 6d 6e 6f 70  |abcdefghijklmnop|\n"
                             "00000010  71 72 73 74 " + QString(12 * 3 + 1, u' ') + " |qrst|\n");
    EXPECT_EQ(hexdump(QByteArray(64, '\0')), row("00000000", "00", "................") + "* last line repeated 3 times\n");
    EXPECT_EQ(hexdump(QByteArray(48, '\0') + QByteArray(16, '%')), row("00000000", "00", "................")
                  + "* last line repeated 2 times\n" + row("00000030", "25", "%%%%%%%%%%%%%%%%"));
    // Offsets count from the start of the range.
    EXPECT_TRUE(hexdump(data, 4, 4).startsWith("00000000  65 66 67 68 "));
    EXPECT_TRUE(hexdump(data, 100, 4).isEmpty());
}

TEST(UTSFormat, FieldsZonesQuotesAndLiterals)
{
    const QLocale english{QLocale::English, QLocale::UnitedStates};
    const QDateTime morning{QDate(2026, 1, 5), QTime(7, 8, 9, 45), QTimeZone(3600)};
    const QDateTime evening{QDate(2026, 12, 6), QTime(19, 0, 5, 999), QTimeZone(-(5 * 3600 + 30 * 60))};
    const QDateTime utc{QDate(2026, 3, 1), QTime(0, 30), QTimeZone::utc()};
    const struct { const QDateTime& date; const char* pattern; const char* expected; } rows[] = {
        {morning, "[yyyy/MM/dd HH:mm:ss.SSS Z]", "[2026/01/05 07:08:09.045 +0100]"}, // the log's stamp
        {evening, "[yyyy/MM/dd HH:mm:ss.SSS Z]", "[2026/12/06 19:00:05.999 -0530]"},
        {morning, "y yy yyyy yyyyy|M MM MMM MMMM MMMMM|d dd D|E EEE EEEE", "2026 26 2026 02026|1 01 Jan January J|5 05 5|Mon Mon Monday"},
        {morning, "h hh H HH a|m mm s ss|S SS SSS SSSS|G QQQ", "7 07 7 07 AM|8 08 9 09|0 04 045 0450|AD Q1"},
        {evening, "h:mm a|x xx xxx X", "7:00 PM|-0530 -0530 -05:30 -0530"},
        {utc, "h K k H|X xx ZZZZZ ZZZZ", "12 0 24 0|Z +0000 Z GMT"},
        {morning, "Z ZZZZ ZZZZZ|x XXX", "+0100 GMT+01:00 +01:00|+01 +01:00"},
        {morning, "'o''clock' h|''yyyy''|yyyy-MM-dd'T'HH", "o'clock 7|'2026'|2026-01-05T07"},
        {morning, "'unterminated yyyy", "unterminated yyyy"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(formatUTS(row.date, row.pattern, english), QString::fromUtf8(row.expected)) << row.pattern;
    // "z" is a zone name here, not Qt's milliseconds.
    const QString zone = formatUTS(utc, "z", english);
    EXPECT_TRUE(!zone.isEmpty() && !zone.at(0).isDigit()) << qPrintable(zone);
    // Without a locale: the local zone and the default locale.
    EXPECT_EQ(SNP_NSDateAdditions::stringWithUTSFormat(morning, "HH:mm"), formatUTS(morning.toLocalTime(), "HH:mm", QLocale()));
}
