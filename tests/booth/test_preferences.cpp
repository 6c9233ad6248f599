// Bad user defaults and bad -KEY VALUE arguments: each gets one clear, bounded log line
// and the default value; the countdown never runs for longer than its maximum, and a
// folder is always an absolute path.
#include <gtest/gtest.h>

#include "AppController.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "TestSupport.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

namespace {

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        // One log for the whole run: the log file is opened once per process.
        static QTemporaryDir logDir;
        logPath = logDir.filePath("booth.log");
        qputenv("BOOTH_LOG_FILE", QFile::encodeName(logPath));
        SNP_Log::setLogFile(logPath);
        storePath = dir.filePath("booth.conf");
        SNP_Preferences::setStoreFileForTesting(storePath);
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
    }
    void TearDown() override
    {
        controller.reset();
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
        SNP_Preferences::setStoreFileForTesting(QString());
    }

    // The store file written as text, the way an operator might edit it.
    void writeStore(const QByteArray& text)
    {
        QFile file(storePath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[General]\n" + text);
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
    // The log lines since the mark that contain the text.
    QStringList linesWith(qsizetype from, const QString& text) const
    {
        QStringList found;
        for (const QString& line : logSince(from).split(u'\n'))
            if (line.contains(text))
                found << line;
        return found;
    }

    QTemporaryDir dir;
    QString logPath;
    QString storePath;
    std::unique_ptr<AppController> controller;
};

} // namespace

TEST_F(PreferencesTest, StoredCountsOutsideTheRangeUseTheDefaultWithOneLine)
{
    struct Case { QByteArray stored; uint32_t expected; bool logged; };
    const Case cases[] = {
        {"touchScreenCountValue=20", 20, false},
        {"touchScreenCountValue=3600", 3600, false},
        {"touchScreenCountValue=0", 83, false},
        {"touchScreenCountValue=3601", 83, true},
        {"touchScreenCountValue=86400", 83, true},       // a day
        {"touchScreenCountValue=4294967296", 83, true},  // wraps to 0 in 32 bits
        {"touchScreenCountValue=4294967379", 83, true},  // wraps to 83 in 32 bits
        {"touchScreenCountValue=-1", 83, true},
        {"touchScreenCountValue=1e30", 83, true},
        {"touchScreenCountValue=12.5", 83, true},
        {"touchScreenCountValue=0x20", 83, true},
        {"touchScreenCountValue=ten", 83, true},
        {"touchScreenCountValue=\"\"", 83, true},
        {"touchScreenCountValue=1, 2", 83, true},        // a list in QSettings' reading
        {"touchScreenCountValue=@ByteArray(\\xff\\xfe)", 83, true},
        {"touchScreenCountValue=@Invalid()", 83, false}, // no value at all
    };
    for (const Case& c : cases) {
        writeStore(c.stored + "\n");
        const qsizetype from = mark();
        EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), c.expected) << c.stored.constData();
        const QStringList lines = linesWith(from, QStringLiteral("touchScreenCountValue"));
        EXPECT_EQ(lines.size(), c.logged ? 1 : 0) << c.stored.constData() << "\n" << qPrintable(lines.join(u'\n'));
        for (const QString& line : lines)
            EXPECT_TRUE(line.contains(QStringLiteral("using 83"))) << qPrintable(line);
    }
}

TEST_F(PreferencesTest, KeyboardIdleSecondsAndOperatorPin)
{
    // No PIN value: none is asked for. A PIN that is not digits locks "quit" (none).
    struct Case { QByteArray stored; uint32_t idle; std::optional<QString> pin; };
    const Case cases[] = {
        {"", 60, QString()},
        {"keyboardIdleSeconds=0\noperatorPin=0042", 0, QStringLiteral("0042")},
        {"keyboardIdleSeconds=90\noperatorPin=", 90, QString()},
        {"keyboardIdleSeconds=-5\noperatorPin=12a4", 60, std::nullopt},
        {"keyboardIdleSeconds=3601\noperatorPin=1, 2", 60, std::nullopt},
    };
    for (const Case& c : cases) {
        writeStore(c.stored + "\n");
        EXPECT_EQ(SNP_Preferences::keyboardIdleSeconds(), c.idle) << c.stored.constData();
        EXPECT_EQ(SNP_Preferences::operatorPin(), c.pin) << c.stored.constData();
    }
}

TEST_F(PreferencesTest, AVeryLongCountIsLoggedShortened)
{
    writeStore("touchScreenCountValue=" + QByteArray(20000, '9') + "\n");
    qsizetype from = mark();
    EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), 83u);
    QStringList lines = linesWith(from, QStringLiteral("touchScreenCountValue"));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_LT(lines.first().size(), 300);

    // The same from the command line, which overrides the store.
    const QString junk = QStringLiteral("x").repeated(10000);
    SNP_Preferences::setArguments(QStringList{"booth", "-touchScreenCountValue", junk});
    from = mark();
    EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), 83u);
    lines = linesWith(from, QStringLiteral("touchScreenCountValue"));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_LT(lines.first().size(), 300);
}

TEST_F(PreferencesTest, AHugeCountGivesTheDefaultCountdownOnScreenThree)
{
    writeStore("touchScreenCountValue=999999999\n");
    controller = std::make_unique<AppController>();
    controller->setGoButton();
    controller->setOverlayWindow();
    controller->_screenNumber = 0;
    controller->nextScreen(nullptr);
    controller->nextScreen(controller->_goButton);
    ASSERT_EQ(controller->_screenNumber.load(), 2u);
    const qsizetype from = mark();
    ASSERT_TRUE(controller->acceptEmailAddresses({QStringLiteral("visitor@example.com")}));
    ASSERT_EQ(controller->_screenNumber.load(), 3u);
    EXPECT_EQ(controller->_countdown, 83u);
    EXPECT_EQ(controller->_touchCountdownField->text(), QStringLiteral("83"));
    EXPECT_FALSE(linesWith(from, QStringLiteral("Ignoring touchScreenCountValue 999999999")).isEmpty());
    // The countdown ends: 83 seconds, then the live countdown's screen.
    for (int second = 0; second <= 83 && controller->_screenNumber.load() == 3u; ++second)
        controller->timerDidFire(controller->_screenTimer);
    EXPECT_EQ(controller->_screenNumber.load(), 4u);
}

TEST_F(PreferencesTest, StoredFoldersOfTheWrongKindFallBackWithALine)
{
    struct Case { QByteArray stored; QString expected; QString logged; };
    const QString fallback = QStringLiteral("/KorvanexMainImagesFolder");
    const Case cases[] = {
        {"mainImagesFolder=/srv/main", "/srv/main", {}},
        {"mainImagesFolder=/srv//main/./day/../", "/srv/main", {}},
        {"mainImagesFolder=\"/with space/x\"", "/with space/x", {}},
        {"mainImagesFolder=pictures", fallback, "not an absolute folder path"},
        {"mainImagesFolder=./pictures", fallback, "not an absolute folder path"},
        {"mainImagesFolder=~/pictures", fallback, "not an absolute folder path"},
        {"mainImagesFolder=", fallback, "Ignoring empty stored value for mainImagesFolder"},
        {"mainImagesFolder=/a, /b", fallback, "Ignoring stored value for mainImagesFolder: a QStringList"},
        {"mainImagesFolder=/" + QByteArray(5000, 'd'), fallback, "of 5001 characters"},
        {"mainImagesFolder=/nul\\0inside", fallback, "not an absolute folder path"},
    };
    for (const Case& c : cases) {
        writeStore(c.stored + "\n");
        const qsizetype from = mark();
        const QString folder = SNP_Preferences::folder(QStringLiteral("mainImagesFolder"), fallback);
        EXPECT_EQ(folder, c.expected) << c.stored.left(60).constData();
        const QStringList lines = linesWith(from, QStringLiteral("mainImagesFolder"));
        if (c.logged.isEmpty()) {
            EXPECT_TRUE(lines.isEmpty()) << qPrintable(lines.join(u'\n'));
        } else {
            ASSERT_EQ(lines.size(), 1) << c.stored.left(60).constData();
            EXPECT_TRUE(lines.first().contains(c.logged)) << qPrintable(lines.first());
            EXPECT_TRUE(lines.first().contains(QStringLiteral("using ") + fallback)) << qPrintable(lines.first());
            EXPECT_LT(lines.first().size(), 300);
        }
    }
}

TEST_F(PreferencesTest, BadFolderArgumentsKeepTheStoredFolder)
{
    writeStore("forUploadFolder=/srv/upload\n");
    const QString fallback = QStringLiteral("/KorvanexUploadFolder");
    const QStringList bad{QStringLiteral("upload"), QString(), QStringLiteral("/") + QString(5000, u'u')};
    for (const QString& value : bad) {
        SNP_Preferences::setArguments(QStringList{"booth", "-forUploadFolder", value});
        const qsizetype from = mark();
        EXPECT_EQ(SNP_Preferences::folder(QStringLiteral("forUploadFolder"), fallback), QStringLiteral("/srv/upload"));
        const QStringList lines = linesWith(from, QStringLiteral("command-line value for forUploadFolder"));
        EXPECT_EQ(lines.size(), 1) << qPrintable(value.left(40));
    }
    // A missing folder is used as given: filing reports it when it writes.
    SNP_Preferences::setArguments(QStringList{"booth", "-forUploadFolder", dir.filePath("not/there")});
    EXPECT_EQ(SNP_Preferences::folder(QStringLiteral("forUploadFolder"), fallback), dir.filePath("not/there"));
}

TEST_F(PreferencesTest, StartUpRepairsTheStoreAndSurvivesHostileArguments)
{
    writeStore("scratchFolder=scratch\nmainImagesFolder=/srv/main\nforUploadFolder=/a, /b\n"
               "touchScreenCountValue=-20\n");
    QStringList arguments{"booth", "-mainImagesFolder", "relative", "-touchScreenCountValue", "99999999999999999999"};
    for (int i = 0; i < 200; ++i)
        arguments << QStringLiteral("-key%1").arg(i) << QString(100, u'v');
    arguments << QStringLiteral("-dangling");
    SNP_Preferences::setArguments(arguments);
    const qsizetype from = mark();
    controller = std::make_unique<AppController>();
    EXPECT_EQ(gScratchFolder(), QStringLiteral("/CanonScratchFolder"));
    EXPECT_EQ(gMainImagesFolder(), QStringLiteral("/srv/main"));
    EXPECT_EQ(gForUploadFolder(), QStringLiteral("/KorvanexUploadFolder"));
    EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), 83u);
    EXPECT_FALSE(linesWith(from, QStringLiteral("Ignoring command-line key \"-dangling\"")).isEmpty());
    // The store now holds usable values; the overrides were not written.
    QSettings stored(storePath, QSettings::IniFormat);
    EXPECT_EQ(stored.value("scratchFolder").toString(), QStringLiteral("/CanonScratchFolder"));
    EXPECT_EQ(stored.value("mainImagesFolder").toString(), QStringLiteral("/srv/main"));
    EXPECT_EQ(stored.value("forUploadFolder").toString(), QStringLiteral("/KorvanexUploadFolder"));
    EXPECT_FALSE(stored.contains("key0"));
}
