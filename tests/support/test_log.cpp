// The log file: line format and levels, the early buffer, rolling into the old file,
// the hex listing, and refusal of planted links at the fixed log names.
#include <gtest/gtest.h>

#include "SNP_Log.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray numberedLines(const char* prefix, qsizetype totalBytes)
{
    QByteArray out;
    out.reserve(totalBytes + 64);
    for (int i = 0; out.size() < totalBytes; ++i)
        out += QByteArray(prefix) + QByteArray::number(i).rightJustified(8, '0') + " some text here\n";
    out.truncate(totalBytes);
    return out;
}

QStringList fileLines(const QString& path)
{
    QString text = QString::fromUtf8(readAll(path));
    QStringList lines = text.split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

const QRegularExpression kStamp(QStringLiteral(
    R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}\])"));

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath("test.log");
    }
    void TearDown() override { SNP_Log::resetForTesting(); }
    QTemporaryDir dir;
    QString logPath;
};

} // namespace

TEST_F(LogTest, DefaultPathAndOldFileNames)
{
    const QByteArray saved = qgetenv("BOOTH_LOG_FILE");
    qunsetenv("BOOTH_LOG_FILE");
    EXPECT_EQ(SNP_Log::defaultLogFilePath(), QStringLiteral("/tmp/BTHK_LiveView.log"));
    qputenv("BOOTH_LOG_FILE", "/somewhere/else.log");
    EXPECT_EQ(SNP_Log::defaultLogFilePath(), QStringLiteral("/somewhere/else.log"));
    if (saved.isEmpty()) qunsetenv("BOOTH_LOG_FILE"); else qputenv("BOOTH_LOG_FILE", saved);

    EXPECT_EQ(SNP_Log::oldLogFilePath("/tmp/BTHK_LiveView.log"), QStringLiteral("/tmp/BTHK_LiveView_old.log"));
    EXPECT_EQ(SNP_Log::oldLogFilePath("/var/log/booth"), QStringLiteral("/var/log/booth_old.log"));
    EXPECT_EQ(SNP_Log::oldLogFilePath("/a.b/c.txt"), QStringLiteral("/a.b/c_old.txt"));
}

TEST_F(LogTest, LineFormatAndLevelLetters)
{
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    SNP_Log::logLevel(0, "info");
    SNP_Log::logLevel(1, "debug");
    SNP_Log::logLevel(2, "debug2");
    SNP_Log::logLevel(3, "error");
    SNP_Log::logLevel(4, "warn");
    SNP_Log::logLevel(7, "seven");
    SNP_Log::err("via err");
    SNP_Log::debugf("hex %x and %s", 0xA102u, "text");
    const QStringList lines = fileLines(logPath);
    ASSERT_EQ(lines.size(), 8);
    const char* letters[] = {"I", "D", "D2", "E", "W", "D", "E", "D"};
    const char* texts[] = {"info", "debug", "debug2", "error", "warn", "seven", "via err", "hex a102 and text"};
    for (int i = 0; i < 8; ++i) {
        const QRegularExpression re(QStringLiteral("^%1 %2 %3$")
                                        .arg(letters[i], kStamp.pattern(), QRegularExpression::escape(texts[i])));
        EXPECT_TRUE(re.match(lines[i]).hasMatch()) << qPrintable(lines[i]);
    }
    struct stat info {};
    ASSERT_EQ(stat(QFile::encodeName(logPath).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0664u);
}

TEST_F(LogTest, ApplicationNameInFileLines)
{
    SNP_Log::setApplicationName("kiosk");
    SNP_Log::setShouldLogAppName(true);
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    SNP_Log::debug("named");
    const QStringList lines = fileLines(logPath);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^D %1 kiosk: named$").arg(kStamp.pattern()))
                    .match(lines[0]).hasMatch()) << qPrintable(lines[0]);
}

TEST_F(LogTest, MultiLineMessagesGetAPrefixPerLine)
{
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    SNP_Log::debug("first\nsecond");
    SNP_Log::debug("ends in newline\n");
    const QStringList lines = fileLines(logPath);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].startsWith("D [") && lines[0].endsWith("] first"));
    EXPECT_TRUE(lines[1].startsWith("D [") && lines[1].endsWith("] second"));
    EXPECT_TRUE(lines[2].endsWith("] ends in newline"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^D %1 $").arg(kStamp.pattern())).match(lines[3]).hasMatch())
        << qPrintable(lines[3]);
}

TEST_F(LogTest, SecondSetLogFileReturnsNoAndKeepsTheFirst)
{
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    const QString other = dir.filePath("other.log");
    EXPECT_FALSE(SNP_Log::setLogFile(other));
    EXPECT_FALSE(QFile::exists(other));
    SNP_Log::debug("still here");
    EXPECT_TRUE(readAll(logPath).contains("still here"));
    EXPECT_EQ(SNP_Log::logFilePath(), logPath);
}

TEST_F(LogTest, NothingIsKeptWithoutFileAndWithoutStdErr)
{
    SNP_Log::debug("dropped before open");
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    EXPECT_EQ(readAll(logPath).size(), 0);
}

TEST_F(LogTest, EarlyBufferReachesTheFileWhenStdErrLoggingIsOn)
{
    // Keep the mirrored lines out of the test output.
    const int saved = dup(STDERR_FILENO);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDERR_FILENO);
    SNP_Log::setShouldLogToStdErr(true);
    SNP_Log::debug("kept before open");
    const QByteArray big(999, 'x');
    for (int i = 0; i < 1100; ++i)
        SNP_Log::debug(QStringLiteral("%1 %2").arg(i, 5, 10, QChar(u'0')).arg(QString::fromLatin1(big)));
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(devnull);
    const QByteArray text = readAll(logPath);
    // Over the cap the oldest characters were dropped, 10,000 at a time.
    EXPECT_FALSE(text.contains("kept before open"));
    EXPECT_LE(text.size(), SNP_Log::kEarlyBufferCap + 1100);
    EXPECT_GT(text.size(), SNP_Log::kEarlyBufferCap - SNP_Log::kEarlyBufferDrop);
    EXPECT_TRUE(text.contains("01099 xxx"));
}

TEST_F(LogTest, StandardErrorIsPointedAtTheLogFile)
{
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    fputs("raw standard error text\n", stderr);
    fflush(stderr);
    EXPECT_TRUE(readAll(logPath).contains("raw standard error text\n"));
}

TEST_F(LogTest, RollingThresholdIsInclusive)
{
    writeFile(logPath, numberedLines("a", 1048575));
    SNP_Log::rollLogFileIfNecessary(logPath);
    EXPECT_EQ(QFileInfo(logPath).size(), 1048575);
    EXPECT_FALSE(QFile::exists(dir.filePath("test_old.log")));

    const QByteArray exact = numberedLines("b", 1048576);
    writeFile(logPath, exact);
    SNP_Log::rollLogFileIfNecessary(logPath);
    EXPECT_EQ(QFileInfo(logPath).size(), 0);
    EXPECT_EQ(readAll(dir.filePath("test_old.log")), exact);
    struct stat info {};
    ASSERT_EQ(stat(QFile::encodeName(dir.filePath("test_old.log")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0664u);
}

TEST_F(LogTest, OpeningRollsALargeLog)
{
    writeFile(logPath, numberedLines("c", 1048576 + 10));
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    SNP_Log::debug("after roll");
    EXPECT_EQ(QFileInfo(dir.filePath("test_old.log")).size(), 1048576 + 10);
    EXPECT_EQ(fileLines(logPath).size(), 1);
}

TEST_F(LogTest, OldFileIsCappedAtALineBoundary)
{
    const QString oldPath = dir.filePath("test_old.log");
    const QByteArray old = numberedLines("old", 9961472);     // 9.5 MB
    const QByteArray current = numberedLines("new", 2000000);  // 2 MB
    writeFile(oldPath, old);
    writeFile(logPath, current);
    SNP_Log::rollLogFileIfNecessary(logPath);
    const QByteArray result = readAll(oldPath);
    const QByteArray combined = old + current;
    ASSERT_LE(result.size(), 10485760);
    EXPECT_GT(result.size(), 10485760 - 40);
    EXPECT_TRUE(combined.endsWith(result));
    EXPECT_EQ(combined.at(combined.size() - result.size() - 1), '\n');
    EXPECT_TRUE(result.startsWith("old"));
    EXPECT_EQ(QFileInfo(logPath).size(), 0);
}

TEST_F(LogTest, PathWithoutExtensionRollsIntoOldLog)
{
    const QString bare = dir.filePath("booth");
    const QByteArray content = numberedLines("d", 200);
    writeFile(bare, content);
    SNP_Log::rollLogFile(bare, QString(), 100);
    EXPECT_EQ(readAll(dir.filePath("booth_old.log")), content);
    EXPECT_EQ(QFileInfo(bare).size(), 0);
}

TEST_F(LogTest, ExplicitOldPathAndOldFileNotWritable)
{
    const QByteArray content = numberedLines("e", 300);
    writeFile(logPath, content);
    SNP_Log::rollLogFile(logPath, dir.filePath("elsewhere.txt"), 300);
    EXPECT_EQ(readAll(dir.filePath("elsewhere.txt")), content);

    // An old-file path that cannot be written keeps the current log (no lines lost).
    writeFile(logPath, content);
    SNP_Log::rollLogFile(logPath, dir.filePath("missing/folder/old.log"), 10);
    EXPECT_EQ(readAll(logPath), content);
}

TEST_F(LogTest, HexListingOfTwentyBytes)
{
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    QByteArray data("ABCDEFGHIJKLMNOP");
    data += "%\x01\x7f";
    data += 'z';
    SNP_Log::logData(data);
    const QStringList lines = fileLines(logPath);
    ASSERT_EQ(lines.size(), 2);
    const QString first = lines[0].mid(lines[0].indexOf("] ") + 2);
    const QString second = lines[1].mid(lines[1].indexOf("] ") + 2);
    EXPECT_EQ(first, QStringLiteral("00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|"));
    EXPECT_EQ(second, QStringLiteral("00000010  25 01 7f 7a ") + QString(12, u' ') + u' ' + QString(24, u' ')
                          + QStringLiteral(" |%..z|"));
}

TEST_F(LogTest, PlantedLinkAtTheLogPathIsNotFollowed)
{
    const QString victim = dir.filePath("victim.txt");
    writeFile(victim, "precious\n");
    ASSERT_EQ(symlink(QFile::encodeName(victim).constData(), QFile::encodeName(logPath).constData()), 0);

    // Stderr carries the refusal; keep it out of the test output.
    const int saved = dup(STDERR_FILENO);
    const QString errPath = dir.filePath("stderr.txt");
    const int errFd = open(QFile::encodeName(errPath).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(errFd, STDERR_FILENO);
    EXPECT_FALSE(SNP_Log::setLogFile(logPath));
    SNP_Log::debug("must not land anywhere");
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(errFd);

    EXPECT_EQ(readAll(victim), QByteArray("precious\n"));
    EXPECT_TRUE(readAll(errPath).contains("Refusing log file at"));
    EXPECT_TRUE(SNP_Log::logFilePath().isEmpty());

    // Rolling through the link neither reads nor truncates the target.
    writeFile(victim, numberedLines("v", 5000));
    const QByteArray before = readAll(victim);
    const int saved2 = dup(STDERR_FILENO);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDERR_FILENO);
    SNP_Log::rollLogFile(logPath, QString(), 10);
    dup2(saved2, STDERR_FILENO);
    close(saved2);
    close(devnull);
    EXPECT_EQ(readAll(victim), before);
    EXPECT_FALSE(QFile::exists(dir.filePath("test_old.log")));
}

TEST_F(LogTest, PlantedLinkAtTheOldPathIsReplacedNotFollowed)
{
    const QString victim = dir.filePath("victim.txt");
    writeFile(victim, "precious\n");
    const QString oldPath = dir.filePath("test_old.log");
    ASSERT_EQ(symlink(QFile::encodeName(victim).constData(), QFile::encodeName(oldPath).constData()), 0);
    const QByteArray content = numberedLines("f", 400);
    writeFile(logPath, content);

    const int saved = dup(STDERR_FILENO);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDERR_FILENO);
    SNP_Log::rollLogFile(logPath, QString(), 100);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(devnull);

    EXPECT_EQ(readAll(victim), QByteArray("precious\n"));
    EXPECT_FALSE(QFileInfo(oldPath).isSymLink());
    EXPECT_EQ(readAll(oldPath), content);
}

TEST_F(LogTest, FifoAtTheLogPathIsRefusedWithoutBlocking)
{
    ASSERT_EQ(mkfifo(QFile::encodeName(logPath).constData(), 0600), 0);
    const int saved = dup(STDERR_FILENO);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDERR_FILENO);
    const bool opened = SNP_Log::setLogFile(logPath);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(devnull);
    EXPECT_FALSE(opened);
}

TEST(LogFatal, ExitsWithTheRecordedSignal)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SNP_Log::recordSignal(5);
        SNP_Log::fatal("going down");
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5);
}

TEST(LogDate, StampFormat)
{
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^%1$").arg(kStamp.pattern()))
                    .match(SNP_Log::logDateString()).hasMatch())
        << qPrintable(SNP_Log::logDateString());
}

TEST(LogStdErr, ShortFormWithLevelWords)
{
    SNP_Log::resetForTesting();
    QTemporaryDir dir;
    const QString errPath = dir.filePath("stderr.txt");
    const int saved = dup(STDERR_FILENO);
    const int errFd = open(QFile::encodeName(errPath).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(errFd, STDERR_FILENO);
    SNP_Log::setShouldLogToStdErr(true);
    SNP_Log::setApplicationName("kiosk");
    SNP_Log::logLevel(0, "i");
    SNP_Log::debug("d");
    SNP_Log::logLevel(2, "d2");
    SNP_Log::err("e");
    SNP_Log::logLevel(4, "w");
    SNP_Log::logLevel(9, "nine");
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(errFd);
    SNP_Log::resetForTesting();
    SNP_Log::setApplicationName(QString());
    EXPECT_EQ(readAll(errPath), QByteArray("INFO: i\nDEBUG: kiosk: d\nDEBUG2: kiosk: d2\nERROR: e\nWARN: w\n"
                                           "DEBUG: kiosk: nine\n"));
}
