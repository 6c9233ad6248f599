// Host description, temporary files, and the string and date additions.
#include <gtest/gtest.h>

#include "SNP_Base.h"
#include "SNP_Log.h"
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

namespace {

struct EnvGuard {
    explicit EnvGuard(const char* n) : name(n), had(qEnvironmentVariableIsSet(n)), value(qgetenv(n)) {}
    ~EnvGuard() { if (had) qputenv(name, value); else qunsetenv(name); }
    const char* name;
    bool had;
    QByteArray value;
};

} // namespace

TEST(HostDescription, StartupBannerShape)
{
    const QStringList lines = SNP_Log::startupInfo().split(u'\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], QString(80, u'^'));
    EXPECT_TRUE(lines[1].endsWith(QLatin1String(" starting up")));
    EXPECT_FALSE(lines[1].startsWith(QLatin1String(" ")));
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^Linux \S+.* Qt \(\d+\.\d{3}\);$)")).match(lines[2]).hasMatch())
        << qPrintable(lines[2]);
    EXPECT_TRUE(QRegularExpression(QStringLiteral(
                    R"(^\d+MB \(\d+MB free\); [1-9]\d* CPU; (LittleEndian|BigEndian|Unknown) \((32|64)-bit\); .+ \(.+\)$)"))
                    .match(lines[3]).hasMatch())
        << qPrintable(lines[3]);
    EXPECT_TRUE(lines[3].endsWith(SNP_Base::hostModelAndArch()));
    EXPECT_NEAR(SNP_Base::frameworkVersionNumber(), QT_VERSION_MAJOR + QT_VERSION_MINOR / 100.0, 0.01);
}

TEST(HostDescription, ModelAndMachine)
{
    struct utsname names {};
    ASSERT_EQ(uname(&names), 0);
    const QString text = SNP_Base::hostModelAndArch();
    EXPECT_TRUE(text.endsWith(QStringLiteral(" (%1)").arg(QString::fromUtf8(names.machine)))) << qPrintable(text);
    EXPECT_GT(text.size(), int(strlen(names.machine)) + 3);
}

TEST(HostDescription, VirtualMemoryStatistics)
{
    const QVariantMap stats = SNP_Base::vmStats();
    ASSERT_EQ(stats.size(), 3);
    const quint64 pages = stats.value("freePages").toULongLong();
    const quint64 bytes = stats.value("freeBytes").toULongLong();
    EXPECT_EQ(bytes, pages * quint64(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(stats.value("freeMB").toULongLong(), bytes >> 20);
    EXPECT_GT(pages, 0u);
}

TEST(HostDescription, PathToSelf)
{
    EXPECT_EQ(QFileInfo(SNP_Base::pathToSelf()).canonicalFilePath(),
              QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
}

TEST(HostDescription, FirstFoundDirectory)
{
    const QString home = SNP_Base::firstFoundDirectoryType(QStandardPaths::HomeLocation, 0);
    EXPECT_EQ(home, QDir::homePath());
    EXPECT_EQ(SNP_Base::firstFoundDirectoryType(QStandardPaths::HomeLocation, 1), home);
}

TEST(SafeTempFile, WithoutDescriptorLeavesAnEmptyClosedFile)
{
    QTemporaryDir dir;
    EnvGuard guard("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
    const int before = open("/dev/null", O_RDONLY);
    close(before);
    const QString path = SNP_Base::safeTempFile(nullptr);
    ASSERT_FALSE(path.isEmpty());
    const QFileInfo info(path);
    EXPECT_EQ(info.absolutePath(), QFileInfo(dir.path()).absoluteFilePath());
    EXPECT_EQ(info.fileName().size(), 16);
    EXPECT_TRUE(info.exists());
    EXPECT_EQ(info.size(), 0);
    // No descriptor left open: the next open gets the same lowest number as before.
    const int after = open("/dev/null", O_RDONLY);
    EXPECT_EQ(after, before);
    close(after);
}

TEST(SafeTempFile, WithDescriptorAndFailure)
{
    QTemporaryDir dir;
    EnvGuard guard("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
    int fd = -2;
    const QString first = SNP_Base::safeTempFile(&fd);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    EXPECT_EQ(QFileInfo(first).size(), 3);
    const QString second = SNP_Base::safeTempFile(nullptr);
    EXPECT_NE(first, second);

    qputenv("TMPDIR", QFile::encodeName(dir.filePath("does/not/exist")));
    fd = 7;
    EXPECT_TRUE(SNP_Base::safeTempFile(&fd).isEmpty());
    EXPECT_EQ(fd, -1);
}

TEST(StringAdditions, NumericalCaseInsensitiveCompare)
{
    EXPECT_LT(numericalCaseInsensitiveCompare("image9", "IMAGE10"), 0);
    EXPECT_GT(numericalCaseInsensitiveCompare("IMAGE10", "image9"), 0);
    EXPECT_EQ(numericalCaseInsensitiveCompare("Booth", "bOOTH"), 0);
    EXPECT_EQ(numericalCaseInsensitiveCompare("a007", "A7"), 0);
    EXPECT_LT(numericalCaseInsensitiveCompare("a2b", "a10a"), 0);
    EXPECT_LT(numericalCaseInsensitiveCompare("x", "xy"), 0);
    EXPECT_LT(numericalCaseInsensitiveCompare("a", "B"), 0);
    EXPECT_LT(numericalCaseInsensitiveCompare("file99999999999999999999", "file100000000000000000000"), 0);
}

TEST(StringAdditions, CStringUtf8)
{
    const char bom[] = "\xEF\xBB\xBF" "A\0B";
    EXPECT_EQ(stringWithCString(bom, 16, Encoding::UTF8), std::optional<QString>(QStringLiteral("A")));
    EXPECT_EQ(stringWithCString("hello\0world", 0, Encoding::UTF8), std::optional<QString>(QStringLiteral("hello")));
    EXPECT_EQ(stringWithCString("ABCDEF", 3, Encoding::UTF8), std::optional<QString>(QStringLiteral("ABC")));
    // With a limit below 4 the mark is not skipped; the three bytes are the mark itself.
    EXPECT_EQ(stringWithCString(bom, 3, Encoding::UTF8), std::optional<QString>(QString(QChar(0xFEFF))));
    const auto empty = stringWithCString("", 10, Encoding::UTF8);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->isEmpty());
    EXPECT_FALSE(stringWithCString("\xC3\x28", 0, Encoding::UTF8).has_value());
    EXPECT_FALSE(stringWithCString("abc", 0, Encoding::Unsupported).has_value());
    EXPECT_FALSE(stringWithCString("\xE9", 0, Encoding::ASCII).has_value());
    EXPECT_EQ(stringWithCString("caf\xE9", 0, Encoding::Latin1), std::optional<QString>(QStringLiteral("caf\u00e9")));
}

TEST(StringAdditions, CStringWideEncodings)
{
    const char utf32[] = {'A', 0, 0, 0, 'B', 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(stringWithCString(utf32, 2, Encoding::UTF32LE).has_value());
    EXPECT_EQ(stringWithCString(utf32, 0, Encoding::UTF32LE), std::optional<QString>(QStringLiteral("AB")));
    EXPECT_EQ(stringWithCString(utf32, 4, Encoding::UTF32LE), std::optional<QString>(QStringLiteral("A")));
    EXPECT_FALSE(stringWithCString("A", 1, Encoding::UTF16LE).has_value());

    const char le[] = {'\xFF', '\xFE', 'h', 0, 'i', 0, 0, 0};
    const char be[] = {'\xFE', '\xFF', 0, 'h', 0, 'i', 0, 0};
    EXPECT_EQ(stringWithCString(le, 0, Encoding::UTF16), std::optional<QString>(QStringLiteral("hi")));
    EXPECT_EQ(stringWithCString(be, 0, Encoding::UTF16), std::optional<QString>(QStringLiteral("hi")));
    EXPECT_EQ(stringWithCString(be + 2, 0, Encoding::UTF16BE), std::optional<QString>(QStringLiteral("hi")));
    const char be32[] = {0, 0, '\xFE', '\xFF', 0, 0, 0, 'z', 0, 0, 0, 0};
    EXPECT_EQ(stringWithCString(be32, 0, Encoding::UTF32), std::optional<QString>(QStringLiteral("z")));
    // A zero byte inside a unit does not end the string; a zero unit does.
    const char inner[] = {'A', 0, 0, 0x01, 0, 0};
    EXPECT_EQ(stringWithCString(inner, 0, Encoding::UTF16LE), std::optional<QString>(QString::fromUtf16(u"A\u0100")));
    const char beyond[] = {0, 0, 0x11, 0, 0, 0, 0, 0}; // U+110000 is past the last code point
    EXPECT_FALSE(stringWithCString(beyond, 0, Encoding::UTF32LE).has_value());
    const char lone[] = {0x00, '\xD8', 'a', 0, 0, 0}; // unpaired high surrogate
    EXPECT_FALSE(stringWithCString(lone, 0, Encoding::UTF16LE).has_value());
    const char pair[] = {0x3D, '\xD8', 0x00, '\xDE', 0, 0}; // U+1F600
    EXPECT_EQ(stringWithCString(pair, 0, Encoding::UTF16LE), std::optional<QString>(QString::fromUtf8("\xF0\x9F\x98\x80")));
}

TEST(StringAdditions, DeletingCharacters)
{
    EXPECT_EQ(stringByDeletingCharactersInSet("a1b22c333d", decimalDigitCharacterSet()), QStringLiteral("abcd"));
    EXPECT_EQ(stringByDeletingCharactersInSet(" a b\tc\n", whitespaceCharacterSet()), QStringLiteral("abc"));
    EXPECT_EQ(stringByDeletingCharactersInSet(QString::fromUtf8("x\xF0\x9F\x98\x80y-z"),
                                              characterSetWithCharactersInString("-")),
              QString::fromUtf8("x\xF0\x9F\x98\x80yz"));
    EXPECT_EQ(stringByDeletingCharactersInSet("", decimalDigitCharacterSet()), QString());
}

TEST(StringAdditions, ReplacingSubStrings)
{
    EXPECT_EQ(stringByReplacingSubStrings("ab", {"a", "b"}, {"b"}, false), QString());
    EXPECT_EQ(stringByReplacingSubStrings("aXa aXa", {"a"}, {"b"}, false, 4, 3), QStringLiteral("aXa bXb"));
    EXPECT_EQ(stringByReplacingSubStrings("Cat cat CAT", {"cat"}, {"dog"}, true), QStringLiteral("dog dog dog"));
    EXPECT_EQ(stringByReplacingSubStrings("Cat cat CAT", {"cat"}, {"dog"}, false), QStringLiteral("Cat dog CAT"));
    EXPECT_EQ(stringByReplacingSubStrings("abc", {"", "b"}, {"x", "y"}, false), QStringLiteral("ayc"));
    EXPECT_EQ(stringByReplacingSubStrings("abc", {"c"}, {"z"}, false, 1, 100), QStringLiteral("abz"));
    EXPECT_EQ(stringByReplacingSubStrings("abc", {"a"}, {"z"}, false, 50, 1), QStringLiteral("abc"));
}

TEST(StringAdditions, HexDump)
{
    QByteArray data;
    for (int i = 0; i < 20; ++i)
        data += char('a' + i);
    const QStringList lines = hexdump(data).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[1], QStringLiteral("00000010  71 72 73 74 ") + QString(12 + 1 + 24, u' ') + QStringLiteral(" |qrst|"));
    EXPECT_TRUE(lines[0].startsWith("00000000  61 62 63 64 65 66 67 68  69 6a"));

    const QByteArray zeros(64, '\0');
    const QString dump = hexdump(zeros);
    EXPECT_EQ(dump.count(u'\n'), 2);
    EXPECT_TRUE(dump.endsWith("* last line repeated 3 times\n"));
    const QString withTail = hexdump(QByteArray(48, '\0') + QByteArray(16, '%'));
    const QStringList tail = withTail.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(tail.size(), 3);
    EXPECT_EQ(tail[1], QStringLiteral("* last line repeated 2 times"));
    EXPECT_TRUE(tail[2].startsWith("00000030  25 25")) << qPrintable(tail[2]);
    EXPECT_TRUE(tail[2].endsWith("|%%%%%%%%%%%%%%%%|"));
    // Offsets count from the start of the range.
    EXPECT_TRUE(hexdump(data, 4, 4).startsWith("00000000  65 66 67 68 "));
    EXPECT_TRUE(hexdump(data, 100, 4).isEmpty());
}

class UTSFormat : public ::testing::Test {
protected:
    QLocale english{QLocale::English, QLocale::UnitedStates};
    QDateTime morning{QDate(2026, 1, 5), QTime(7, 8, 9, 45), QTimeZone(3600)};
    QDateTime evening{QDate(2026, 12, 6), QTime(19, 0, 5, 999), QTimeZone(-(5 * 3600 + 30 * 60))};
    QDateTime utc{QDate(2026, 3, 1), QTime(0, 30), QTimeZone::utc()};
};

TEST_F(UTSFormat, LogStampPattern)
{
    EXPECT_EQ(formatUTS(morning, "[yyyy/MM/dd HH:mm:ss.SSS Z]", english), QStringLiteral("[2026/01/05 07:08:09.045 +0100]"));
    EXPECT_EQ(formatUTS(evening, "[yyyy/MM/dd HH:mm:ss.SSS Z]", english), QStringLiteral("[2026/12/06 19:00:05.999 -0530]"));
}

TEST_F(UTSFormat, NumericAndTextFields)
{
    EXPECT_EQ(formatUTS(morning, "y yy yyyy yyyyy", english), QStringLiteral("2026 26 2026 02026"));
    EXPECT_EQ(formatUTS(morning, "M MM MMM MMMM MMMMM", english), QStringLiteral("1 01 Jan January J"));
    EXPECT_EQ(formatUTS(morning, "d dd D", english), QStringLiteral("5 05 5"));
    EXPECT_EQ(formatUTS(morning, "E EEE EEEE", english), QStringLiteral("Mon Mon Monday"));
    EXPECT_EQ(formatUTS(morning, "h hh H HH a", english), QStringLiteral("7 07 7 07 AM"));
    EXPECT_EQ(formatUTS(evening, "h:mm a", english), QStringLiteral("7:00 PM"));
    EXPECT_EQ(formatUTS(utc, "h K k H", english), QStringLiteral("12 0 24 0"));
    EXPECT_EQ(formatUTS(morning, "m mm s ss", english), QStringLiteral("8 08 9 09"));
    EXPECT_EQ(formatUTS(morning, "S SS SSS SSSS", english), QStringLiteral("0 04 045 0450"));
    EXPECT_EQ(formatUTS(morning, "G QQQ", english), QStringLiteral("AD Q1"));
}

TEST_F(UTSFormat, ZonesQuotesAndLiterals)
{
    EXPECT_EQ(formatUTS(morning, "Z ZZZZ ZZZZZ", english), QStringLiteral("+0100 GMT+01:00 +01:00"));
    EXPECT_EQ(formatUTS(evening, "x xx xxx X", english), QStringLiteral("-0530 -0530 -05:30 -0530"));
    EXPECT_EQ(formatUTS(morning, "x XXX", english), QStringLiteral("+01 +01:00"));
    EXPECT_EQ(formatUTS(utc, "X xx ZZZZZ ZZZZ", english), QStringLiteral("Z +0000 Z GMT"));
    EXPECT_EQ(formatUTS(morning, "'o''clock' h", english), QStringLiteral("o'clock 7"));
    EXPECT_EQ(formatUTS(morning, "''yyyy''", english), QStringLiteral("'2026'"));
    EXPECT_EQ(formatUTS(morning, "yyyy-MM-dd'T'HH", english), QStringLiteral("2026-01-05T07"));
    EXPECT_EQ(formatUTS(morning, "'unterminated yyyy", english), QStringLiteral("unterminated yyyy"));
    // "z" is a zone name here, not Qt's milliseconds.
    const QString zone = formatUTS(utc, "z", english);
    EXPECT_FALSE(zone.isEmpty());
    EXPECT_NE(zone, QStringLiteral("0"));
    EXPECT_FALSE(zone.at(0).isDigit());
}

TEST_F(UTSFormat, DefaultZoneConversion)
{
    const QDateTime local = morning.toLocalTime();
    EXPECT_EQ(SNP_NSDateAdditions::stringWithUTSFormat(morning, "HH:mm"),
              formatUTS(local, "HH:mm", QLocale()));
}
