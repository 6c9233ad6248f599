// The log file: line format and levels, values that try to break a line, the early buffer,
// rolling into the old file, the hex listing, and refusal of planted links, FIFOs and other
// users' files at the fixed log names.
#include "JpegFixtures.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using fixtures::readFile;
using fixtures::writeFile;

QByteArray numberedLines(const char* prefix, qsizetype totalBytes)
{
    QByteArray out;
    for (int i = 0; out.size() < totalBytes; ++i)
        out += QByteArray(prefix) + QByteArray::number(i).rightJustified(8, '0') + " some text here\n";
    out.truncate(totalBytes);
    return out;
}

mode_t modeOf(const QString& path)
{
    struct stat info {};
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

// Each test's standard error goes into a file of its own, so that mirrored lines and
// refusals stay out of the test output and can be read. It is pointed back after the log's
// reset, which gives back what an open log file took over.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath("test.log");
        fflush(stderr);
        savedStderr = dup(STDERR_FILENO);
        const int fd = open(QFile::encodeName(dir.filePath("stderr.txt")).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    void TearDown() override
    {
        SNP_Log::resetForTesting();
        SNP_Log::setApplicationName(QString());
        fflush(stderr);
        dup2(savedStderr, STDERR_FILENO);
        close(savedStderr);
    }
    QByteArray stderrText() const
    {
        fflush(stderr);
        return readFile(dir.filePath("stderr.txt"));
    }
    QTemporaryDir dir;
    QString logPath;
    int savedStderr = -1;
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

    EXPECT_EQ(SNP_Log::oldLogFilePath("/a.b/c.txt"), QStringLiteral("/a.b/c_old.txt")); // more in the rolling table
}

TEST_F(LogTest, EachCallWritesItsLinesIntoTheOneOpenFile)
{
    SNP_Log::debug("dropped: no file and no standard error yet");
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    EXPECT_FALSE(SNP_Log::setLogFile(dir.filePath("other.log"))); // the first open file stays in use
    EXPECT_FALSE(QFile::exists(dir.filePath("other.log")));
    EXPECT_EQ(SNP_Log::logFilePath(), logPath);
    for (int level : {0, 1, 2, 3, 4, 7})
        SNP_Log::logLevel(level, QStringLiteral("level %1").arg(level));
    SNP_Log::err("via err");
    SNP_Log::debugf("hex %x and %s", 0xA102u, "text");
    SNP_Log::debugLines("first\nsecond");
    SNP_Log::debugLines("ends in newline\n");
    // Values from outside stay on their line, however they try to end it.
    SNP_Log::debugf("Sent to %s: 250 OK", "a@b.cd\r\nD [2026/01/01 00:00:00.000 +0000] Sent to forged@example.com");
    SNP_Log::debug(QStringLiteral("name [%1]").arg(QString::fromUtf8("x\x1b[2J\x7f\u2028\xc2\x85y\tz")));
    SNP_Log::debugf("bytes [%s]", "\xff\xc0\x8a\n");
    qWarning("Qt says %s", "a\nD forged");
    SNP_Log::logData("ABCDEFGHIJKLMNOP%\x01\x7fz");
    SNP_Log::setApplicationName("kiosk");
    SNP_Log::setShouldLogAppName(true);
    SNP_Log::debug("named");
    fputs("raw standard error text\n", stderr); // standard error is pointed at the log
    fflush(stderr);
    const QStringList expected = {
        "I level 0", "D level 1", "D2 level 2", "E level 3", "W level 4", "D level 7", "E via err", "D hex a102 and text",
        "D first", "D second", "D ends in newline", "D ", // a line each, the last with an empty message
        "D Sent to a@b.cd\\r\\nD [2026/01/01 00:00:00.000 +0000] Sent to forged@example.com: 250 OK",
        "D name [x\\x1b[2J\\x7f\\u2028\\x85y\\tz]", "D bytes [\uFFFD\uFFFD\uFFFD\\n]", "W Qt says a\\nD forged",
        "D 00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|",
        "D 00000010  25 01 7f 7a " + QString(12 * 3 + 1, u' ') + " |%..z|", "D kiosk: named"};
    QStringList lines = QString::fromUtf8(readFile(logPath)).chopped(1).split(u'\n');
    ASSERT_EQ(lines.size(), expected.size() + 1) << qPrintable(lines.join(u'\n'));
    EXPECT_EQ(lines.takeLast(), "raw standard error text");
    const QString stamp = QStringLiteral(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}\])");
    for (int i = 0; i < lines.size(); ++i) {
        const QString letter = expected[i].section(u' ', 0, 0), text = QRegularExpression::escape(expected[i].section(u' ', 1));
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^%1 %2 %3$").arg(letter, stamp, text)).match(lines[i]).hasMatch())
            << qPrintable(lines[i]) << " is not " << qPrintable(expected[i]);
    }
    EXPECT_EQ(modeOf(logPath), 0600u);
}

TEST_F(LogTest, EarlyBufferReachesTheFileWhenStdErrLoggingIsOn)
{
    SNP_Log::setShouldLogToStdErr(true);
    SNP_Log::debug("kept before open");
    const QString big(999, u'x');
    for (int i = 0; i < 1100; ++i)
        SNP_Log::debug(QStringLiteral("%1 %2").arg(i, 5, 10, QChar(u'0')).arg(big));
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    const QByteArray text = readFile(logPath);
    // Over the cap the oldest characters were dropped, 10,000 at a time.
    EXPECT_FALSE(text.contains("kept before open"));
    EXPECT_LE(text.size(), SNP_Log::kEarlyBufferCap + 1100);
    EXPECT_GT(text.size(), SNP_Log::kEarlyBufferCap - SNP_Log::kEarlyBufferDrop);
    EXPECT_TRUE(text.contains("01099 xxx"));
}

TEST_F(LogTest, RollingIntoTheOldFile)
{
    // An empty old-file argument means the default old-file name; threshold 0: rolled by opening the log.
    const struct { const char* name; const char* file; qsizetype size; const char* oldArgument; uint32_t threshold;
                   const char* oldFile; bool rolled; } rows[] = {
        {"one byte under the threshold", "test.log", 1048575, "", SNP_Log::kRollThreshold, "test_old.log", false},
        {"at the threshold", "test.log", 1048576, "", SNP_Log::kRollThreshold, "test_old.log", true},
        {"opening a large log", "test.log", 1048586, "", 0, "test_old.log", true},
        {"path without extension", "booth", 200, "", 100, "booth_old.log", true},
        {"explicit old path", "test.log", 300, "elsewhere.txt", 300, "elsewhere.txt", true},
        // Emptying the log after the old file failed would lose its lines.
        {"old file not writable", "test.log", 300, "missing/old.log", 10, "missing/old.log", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = dir.filePath(row.file), oldPath = dir.filePath(row.oldFile);
        QFile::remove(oldPath);
        const QByteArray content = numberedLines("a", row.size);
        ASSERT_TRUE(writeFile(path, content));
        if (row.threshold == 0) {
            ASSERT_TRUE(SNP_Log::setLogFile(path));
            SNP_Log::resetForTesting();
        } else {
            SNP_Log::rollLogFile(path, *row.oldArgument ? dir.filePath(row.oldArgument) : QString(), row.threshold);
        }
        EXPECT_EQ(readFile(path), row.rolled ? QByteArray() : content);
        EXPECT_EQ(readFile(oldPath), row.rolled ? content : QByteArray());
        EXPECT_EQ(modeOf(oldPath), row.rolled ? 0600u : 0u);
    }
}

TEST_F(LogTest, OldFileIsCappedAtALineBoundary)
{
    const QString oldPath = dir.filePath("test_old.log");
    const QByteArray old = numberedLines("old", 9961472);     // 9.5 MB
    const QByteArray current = numberedLines("new", 2000000);  // 2 MB
    ASSERT_TRUE(writeFile(oldPath, old));
    ASSERT_TRUE(writeFile(logPath, current));
    SNP_Log::rollLogFileIfNecessary(logPath);
    const QByteArray result = readFile(oldPath);
    const QByteArray combined = old + current;
    ASSERT_LE(result.size(), 10485760);
    EXPECT_GT(result.size(), 10485760 - 40);
    EXPECT_TRUE(combined.endsWith(result));
    EXPECT_EQ(combined.at(combined.size() - result.size() - 1), '\n');
    EXPECT_EQ(QFileInfo(logPath).size(), 0);
}

TEST_F(LogTest, PlantedLinksAndFifosAtTheLogNamesAreNeverFollowed)
{
    const QString victim = dir.filePath("victim.txt"), oldPath = dir.filePath("test_old.log");
    ASSERT_TRUE(writeFile(victim, "precious\n"));
    // A link at the old file's name is replaced.
    ASSERT_EQ(symlink(QFile::encodeName(victim).constData(), QFile::encodeName(oldPath).constData()), 0);
    const QByteArray content = numberedLines("f", 400);
    ASSERT_TRUE(writeFile(logPath, content));
    SNP_Log::rollLogFile(logPath, QString(), 100);
    EXPECT_EQ(readFile(victim), QByteArray("precious\n"));
    EXPECT_FALSE(QFileInfo(oldPath).isSymLink());
    EXPECT_EQ(readFile(oldPath), content);

    // A link at the log's name is refused, and rolling through it neither reads nor truncates the target.
    ASSERT_TRUE(QFile::remove(logPath) && QFile::remove(oldPath));
    ASSERT_EQ(symlink(QFile::encodeName(victim).constData(), QFile::encodeName(logPath).constData()), 0);
    EXPECT_FALSE(SNP_Log::setLogFile(logPath));
    SNP_Log::debug("must not land anywhere");
    EXPECT_EQ(readFile(victim), QByteArray("precious\n"));
    EXPECT_TRUE(stderrText().contains("Refusing log file at"));
    EXPECT_TRUE(SNP_Log::logFilePath().isEmpty());
    ASSERT_TRUE(writeFile(victim, content));
    SNP_Log::rollLogFile(logPath, QString(), 10);
    EXPECT_EQ(readFile(victim), content);
    EXPECT_FALSE(QFile::exists(oldPath));

    // A FIFO is refused without blocking the open.
    const QString fifo = dir.filePath("fifo.log");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(SNP_Log::setLogFile(fifo));

    // A log made beforehand by another user is neither written nor rolled; one of this
    // user's own made readable by all is opened for the owner only.
    const QString theirs = dir.filePath("theirs.log");
    ASSERT_TRUE(writeFile(theirs, content));
    if (geteuid() == 0 && chown(QFile::encodeName(theirs).constData(), 65534, 65534) == 0) {
        EXPECT_FALSE(SNP_Log::setLogFile(theirs));
        SNP_Log::rollLogFile(theirs, QString(), 10);
        EXPECT_EQ(readFile(theirs), content);
        EXPECT_TRUE(stderrText().contains("Refusing log file at " + theirs.toUtf8() + ": it is a symbolic link, not a "
                                          "plain file or not this user's own"));
    }
    ASSERT_EQ(chmod(QFile::encodeName(logPath).constData(), 0), 0);
    ASSERT_TRUE(QFile::remove(logPath));
    ASSERT_TRUE(writeFile(logPath, "old line\n"));
    ASSERT_EQ(chmod(QFile::encodeName(logPath).constData(), 0664), 0);
    ASSERT_TRUE(SNP_Log::setLogFile(logPath));
    EXPECT_EQ(modeOf(logPath), 0600u);
}

TEST_F(LogTest, StandardErrorShortFormWithLevelWords)
{
    SNP_Log::setShouldLogToStdErr(true);
    SNP_Log::setApplicationName("kiosk");
    SNP_Log::logLevel(0, "i");
    SNP_Log::debug("d");
    SNP_Log::logLevel(2, "d2");
    SNP_Log::err("e");
    SNP_Log::logLevel(4, "w");
    SNP_Log::logLevel(9, "nine");
    EXPECT_EQ(stderrText(), QByteArray("INFO: i\nDEBUG: kiosk: d\nDEBUG2: kiosk: d2\nERROR: e\nWARN: w\n"
                                           "DEBUG: kiosk: nine\n"));
}

TEST(LogFatal, ExitsWithTheRecordedSignal)
{
    EXPECT_EXIT((SNP_Log::recordSignal(5), SNP_Log::fatal("going down")), ::testing::ExitedWithCode(5), "");
}
