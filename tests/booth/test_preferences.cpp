// The booth's configuration: the first start with an empty store, -KEY VALUE arguments for
// one run, bad stored and command-line values (each gets one clear, bounded log line and
// the default: a countdown never runs longer than its maximum, a folder is always an
// absolute path), and the operator's folder panels.
#include "BoothRunFixture.h"

#include <QApplication>
#include <QFileDialog>
#include <QSettings>

namespace {

// The real store's place for the first start, set before anything reads it.
QTemporaryDir& configHome()
{
    static QTemporaryDir home;
    return home;
}
const bool kConfigHomeSet = qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome().path()));

class PreferencesTest : public BoothRunFixture {
protected:
    // The store file written as text, the way an operator might edit it.
    void writeStore(const QByteArray& text)
    {
        ASSERT_TRUE(fixtures::writeFile(dir.filePath(QStringLiteral("booth.ini")), "[General]\n" + text + "\n"));
    }
    QSettings stored() const { return QSettings(dir.filePath(QStringLiteral("booth.ini")), QSettings::IniFormat); }
    // The log lines since the mark that contain the text.
    QStringList linesWith(qsizetype mark, const QString& text) const
    {
        return logSince(mark).split(u'\n').filter(text);
    }
    static QStringList folders() { return {gScratchFolder(), gMainImagesFolder(), gForUploadFolder()}; }
    static QFileDialog* openPanel()
    {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* panel = qobject_cast<QFileDialog*>(w); panel && panel->isVisible())
                return panel;
        return nullptr;
    }
};

const QStringList kDefaultFolders{"/CanonScratchFolder", "/KorvanexMainImagesFolder", "/KorvanexUploadFolder"};

} // namespace

TEST_F(PreferencesTest, FirstStartWritesTheDefaultFoldersBack)
{
    ASSERT_TRUE(kConfigHomeSet);
    SNP_Preferences::setStoreFileForTesting(QString());
    const QString store = configHome().filePath("Korvanex/booth.conf");
    QFile::remove(store);
    SNP_Log::resetForTesting(); // the controller opens the log itself
    build();
    EXPECT_EQ(SNP_Log::logFilePath(), logPath);
    EXPECT_EQ(folders(), kDefaultFolders);
    QSettings settings(store, QSettings::IniFormat);
    EXPECT_EQ((QStringList{settings.value("scratchFolder").toString(), settings.value("mainImagesFolder").toString(),
                           settings.value("forUploadFolder").toString()}),
              kDefaultFolders);
    EXPECT_FALSE(settings.contains("touchScreenCountValue"));
}

TEST_F(PreferencesTest, StartUpRepairsTheStoreAndTakesArgumentsForOneRunOnly)
{
    writeStore("scratchFolder=scratch\nmainImagesFolder=/no/such/folder\nforUploadFolder=/a, /b\n"
               "touchScreenCountValue=20");
    QStringList arguments{"booth", "stray", "-touchScreenCountValue", "12", "-cameraBackend", "gphoto2", "-", "-a", "-1"};
    for (int i = 0; i < 200; ++i)
        arguments << QStringLiteral("-key%1").arg(i) << QString(100, u'v');
    arguments << QStringLiteral("-dangling");
    SNP_Preferences::setArguments(arguments);
    const QVariantMap overrides = SNP_Preferences::argumentOverrides();
    EXPECT_EQ(overrides.size(), 203);
    EXPECT_EQ(overrides.value("a").toString(), QStringLiteral("-1"));
    const qsizetype mark = logMark();
    build();
    // A stored folder is used unchecked; the others fall back and the store is repaired.
    EXPECT_EQ(folders(), (QStringList{"/CanonScratchFolder", "/no/such/folder", "/KorvanexUploadFolder"}));
    EXPECT_EQ(stored().value("scratchFolder").toString(), QStringLiteral("/CanonScratchFolder"));
    EXPECT_EQ(stored().value("forUploadFolder").toString(), QStringLiteral("/KorvanexUploadFolder"));
    // The skipped arguments are reported, the overrides used but never stored.
    for (const char* line : {"Ignoring command-line argument \"stray\"", "Ignoring command-line argument \"-\"",
                             "Ignoring command-line key \"-dangling\": no value follows"})
        EXPECT_EQ(linesWith(mark, QString::fromLatin1(line)).size(), 1) << line;
    EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), 12u);
    EXPECT_EQ(SNP_Preferences::cameraBackend(), QStringLiteral("gphoto2"));
    EXPECT_EQ(stored().value("touchScreenCountValue").toInt(), 20);
    EXPECT_FALSE(stored().contains("cameraBackend") || stored().contains("key0"));
    SNP_Preferences::setArguments(QStringList{"booth"});
    EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), 20u);
    // Not set at all: the build's default (the booth's main gives "gphoto2" where it can).
    EXPECT_EQ(SNP_Preferences::cameraBackend(QStringLiteral("gphoto2")), QStringLiteral("gphoto2"));
    SNP_Preferences::setArguments(QStringList{"booth", "-cameraBackend", ""});
    EXPECT_EQ(SNP_Preferences::cameraBackend(), QString()); // set, if empty: no backend, not the simulated one
}

TEST_F(PreferencesTest, CountsOutsideTheRangeGiveTheDefaultWithOneShortLine)
{
    struct Case { bool argument; QByteArray text; uint32_t expected; bool logged; };
    const Case cases[] = {
        {false, "20", 20, false},
        {false, "3600", 3600, false},
        {false, "0", 83, false},
        {false, "@Invalid()", 83, false}, // no value at all
        {true, " 42 ", 42, false},
        {false, "3601", 83, true},
        {false, "4294967296", 83, true},  // wraps to 0 in 32 bits
        {false, "4294967379", 83, true},  // wraps to 83 in 32 bits
        {false, "-1", 83, true},
        {false, "12.5", 83, true},
        {false, "0x20", 83, true},
        {false, "\"\"", 83, true},
        {false, "1, 2", 83, true},        // a list in QSettings' reading
        {false, "@ByteArray(\\xff\\xfe)", 83, true},
        {false, QByteArray(20000, '9'), 83, true},
        {true, "12abc", 83, true},
        {true, "", 83, true},
        {true, QByteArray(10000, 'x'), 83, true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.text.left(40).constData());
        writeStore(row.argument ? QByteArray() : "touchScreenCountValue=" + row.text);
        SNP_Preferences::setArguments(row.argument ? QStringList{"booth", "-touchScreenCountValue", row.text}
                                                 : QStringList{"booth"});
        const qsizetype mark = logMark();
        EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), row.expected);
        const QStringList lines = linesWith(mark, QStringLiteral("touchScreenCountValue"));
        ASSERT_EQ(lines.size(), row.logged ? 1 : 0);
        for (const QString& line : lines) {
            EXPECT_TRUE(line.contains(QStringLiteral("using 83"))) << qPrintable(line);
            EXPECT_LT(line.size(), 300);
        }
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
    for (const Case& row : cases) {
        SCOPED_TRACE(row.stored.constData());
        writeStore(row.stored);
        EXPECT_EQ(SNP_Preferences::keyboardIdleSeconds(), row.idle);
        EXPECT_EQ(SNP_Preferences::operatorPin(), row.pin);
    }
}

TEST_F(PreferencesTest, FoldersOfTheWrongKindFallBackWithALine)
{
    const QString fallback = QStringLiteral("/KorvanexMainImagesFolder");
    struct Case { QByteArray stored; QString argument; QString expected; const char* logged; };
    const Case cases[] = {
        {"/srv/main", {}, "/srv/main", nullptr},
        {"/srv//main/./day/../", {}, "/srv/main", nullptr},
        {"\"/with space/x\"", {}, "/with space/x", nullptr},
        {"pictures", {}, fallback, "not an absolute folder path"},
        {"~/pictures", {}, fallback, "not an absolute folder path"},
        {"/nul\\0inside", {}, fallback, "not an absolute folder path"},
        {"", {}, fallback, "Ignoring empty stored value for mainImagesFolder"},
        {"/a, /b", {}, fallback, "Ignoring stored value for mainImagesFolder: a QStringList"},
        {"/" + QByteArray(5000, 'd'), {}, fallback, "of 5001 characters"},
        // A bad argument keeps the stored folder; a missing one is used as given (filing
        // reports it when it writes).
        {"/srv/main", "relative", "/srv/main", "Ignoring command-line value for mainImagesFolder \"relative\""},
        {"/srv/main", "", "/srv/main", "Ignoring empty command-line value for mainImagesFolder"},
        {"/srv/main", "/" + QString(5000, u'u'), "/srv/main", "command-line value for mainImagesFolder of 5001"},
        {"/srv/main", "/not/there", "/not/there", nullptr},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.stored.left(40).constData());
        SCOPED_TRACE(qPrintable(row.argument.left(40)));
        writeStore("mainImagesFolder=" + row.stored);
        SNP_Preferences::setArguments(row.argument.isNull() ? QStringList{"booth"}
                                                          : QStringList{"booth", "-mainImagesFolder", row.argument});
        const qsizetype mark = logMark();
        EXPECT_EQ(SNP_Preferences::folder(QStringLiteral("mainImagesFolder"), fallback), row.expected);
        const QStringList lines = linesWith(mark, QStringLiteral("mainImagesFolder"));
        ASSERT_EQ(lines.size(), row.logged ? 1 : 0) << qPrintable(lines.join(u'\n'));
        if (row.logged) {
            EXPECT_TRUE(lines.first().contains(QString::fromLatin1(row.logged))) << qPrintable(lines.first());
            EXPECT_LT(lines.first().size(), 300);
        }
    }
}

TEST_F(PreferencesTest, FolderPanelsChangeAFolderOnlyWhenOneIsChosen)
{
    build();
    QTemporaryDir chosen;
    struct Case { const char* button; const char* title; const char* key; int index; };
    const Case cases[] = {
        {"_scratchFolderButton", "Choose the Canon Scratch folder", "scratchFolder", 0},
        {"_mainImagesFolderButton", "Choose the Main Images folder", "mainImagesFolder", 1},
        {"_forUploadFolderButton", "Choose the HTTP ForUpload folder", "forUploadFolder", 2},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.button);
        for (bool accept : {false, true}) {
            view.click(row.button);
            QFileDialog* panel = nullptr;
            ASSERT_TRUE(waitUntil([&] { return (panel = openPanel()) != nullptr; }));
            EXPECT_EQ(panel->windowTitle(), QString::fromLatin1(row.title));
            EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
            QStringList expected = folders();
            const qsizetype mark = logMark();
            if (accept) {
                panel->setDirectory(chosen.path());
                panel->selectFile(chosen.path());
                static_cast<QDialog*>(panel)->done(QDialog::Accepted);
                expected[row.index] = QDir::cleanPath(chosen.path());
            } else {
                panel->reject();
            }
            ASSERT_TRUE(waitUntil([&] { return openPanel() == nullptr; }));
            EXPECT_TRUE(accept || logSince(mark).isEmpty()); // a cancelled panel leaves no trace
            EXPECT_EQ(folders(), expected);
            EXPECT_EQ(SNP_Preferences::storedFolder(QString::fromLatin1(row.key), {}),
                      expected[row.index]);
        }
    }
    // Of several chosen paths the last counts; a path that is not absolute is refused.
    c->openPanelDidEnd3(nullptr, 1, {"/first", "/chosen/images"});
    c->openPanelDidEnd3(nullptr, 1, {"not/absolute"});
    EXPECT_EQ(gMainImagesFolder(), QStringLiteral("/chosen/images"));
}
