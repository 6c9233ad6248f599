// The rehearsal pass end to end with the simulated camera: the real windows, the go button,
// the keyboard's keys, the countdowns, the camera and filing; its failures with their
// reasons (and the sorry screen); the snapshots of its screens; its waiting, blocked on
// events; and the built booth program run with --rehearse and -KEY VALUE defaults.
#include "AppController.h"
#include "BoothTeardown.h"
#include "SNP_CanonCamera.h"
#include "SNP_Preferences.h"
#include "SNP_Rehearsal.h"
#include "SNP_XMLinEXIF.h"
#include "SimCameraSdk.h"
#include "TestPaths.h"
#include "TestSupport.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(RehearsalArguments, AddressesFromTheOption)
{
    using SNP_Rehearsal::addressesFromArguments;
    EXPECT_FALSE(addressesFromArguments({"booth", "-touchScreenCountValue", "5"}));
    EXPECT_EQ(addressesFromArguments({"booth", "--rehearse", "a@b.cd,e@f.gh"}), (QStringList{"a@b.cd", "e@f.gh"}));
    EXPECT_EQ(addressesFromArguments({"booth", "-x", "1", "--rehearse=a@b.cd"}), QStringList{"a@b.cd"});
    EXPECT_EQ(addressesFromArguments({"booth", "--rehearse"}), QStringList{});
    EXPECT_EQ(addressesFromArguments({"booth", "--rehearse", ",,"}), QStringList{});
    EXPECT_EQ(SNP_Rehearsal::snapshotFolderFromArguments({"booth", "--rehearse", "a@b.cd", "--snapshots", "/s"}), "/s");
    EXPECT_EQ(SNP_Rehearsal::snapshotFolderFromArguments({"booth", "--snapshots=/t"}), "/t");
    EXPECT_TRUE(SNP_Rehearsal::snapshotFolderFromArguments({"booth", "--rehearse", "a@b.cd"}).isEmpty());
}

class RehearsalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        qputenv("BOOTH_LOG_FILE", dir.filePath("booth.log").toUtf8());
        SNP_Preferences::setStoreFileForTesting(dir.filePath("booth.ini"));
        SNP_Preferences::setArguments(QStringList{"booth", "-touchScreenCountValue", "2", "-scratchFolder",
                                                  dir.filePath("scratch"), "-mainImagesFolder", dir.filePath("main"),
                                                  "-forUploadFolder", dir.filePath("upload")});
        sim = std::make_shared<SimCameraSdk>();
        sim->setPictureSize(1200, 800);
        EdsSetCurrentSdk(sim);
    }
    void start()
    {
        c = std::make_unique<AppController>();
        c->_screenTimerInterval = 20; // a short second
        c->awakeFromNib();
        c->show();
        c->applicationDidFinishLaunching();
    }
    void TearDown() override { EXPECT_TRUE(takeDownBooth(c, sim)); }

    QTemporaryDir dir;
    std::shared_ptr<SimCameraSdk> sim;
    std::unique_ptr<AppController> c;
};

TEST_F(RehearsalTest, OnePassFilesThePictureAndWritesTheUploadFile)
{
    start();
    const QStringList addresses{"zoe@example.org", "adam_1@mail.example.com"};
    const SNP_Rehearsal::Outcome outcome = SNP_Rehearsal::rehearse(*c, addresses, 60000);
    ASSERT_TRUE(outcome.ok) << qPrintable(outcome.reason);
    EXPECT_TRUE(outcome.reason.isEmpty());
    EXPECT_TRUE(outcome.filedPath.startsWith(dir.filePath("main") + "/")) << qPrintable(outcome.filedPath);
    EXPECT_TRUE(outcome.uploadPath.startsWith(dir.filePath("upload") + dir.filePath("main") + "/"));
    EXPECT_TRUE(outcome.uploadPath.endsWith("Comp.jpg"));
    ASSERT_TRUE(QFileInfo::exists(outcome.filedPath));
    ASSERT_TRUE(QFileInfo::exists(outcome.uploadPath));
    const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(outcome.uploadPath);
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->value(QBEmailsForUpload).toStringList(), addresses);
    EXPECT_EQ(c->_screenNumber.load(), 1u); // the pass went all the way round
    EXPECT_EQ(sim->picturesTaken(sim->connectedCameras().front()), 1);
}

TEST_F(RehearsalTest, PassWithoutPictureFailsWithTheReasonAndTheSorryScreen)
{
    sim->injectFault(SimOp::TakePicture, EDS_ERR_TAKE_PICTURE_AF_NG, FaultMode::Always);
    start();
    bool sorry = false;
    QObject::connect(c.get(), &AppController::screenShown, c.get(), [&](uint32_t screen) {
        if (screen == 6)
            sorry = c->showingSorryScreen();
    });
    const SNP_Rehearsal::Outcome outcome = SNP_Rehearsal::rehearse(*c, {"a@b.cd"}, 60000);
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("no picture arrived")) << qPrintable(outcome.reason);
    EXPECT_TRUE(outcome.uploadPath.isEmpty());
    EXPECT_TRUE(sorry);
}

TEST_F(RehearsalTest, SnapshotsOfEveryScreenAtTheSizeOfItsScreen)
{
    start();
    const QString folder = dir.filePath("snapshots");
    const SNP_Rehearsal::Outcome outcome = SNP_Rehearsal::rehearse(*c, {"a@b.cd"}, 60000, folder);
    ASSERT_TRUE(outcome.ok) << qPrintable(outcome.reason);
    // One screen (offscreen): the touch content on screens 1 and 2, then the live content.
    const QStringList expected{"screen1-touch.png", "screen2-touch.png", "screen3-live.png",
                               "screen4-live.png",  "screen5-live.png",  "screen6-live.png"};
    EXPECT_EQ(QDir(folder).entryList(QDir::Files, QDir::Name), expected);
    const QSize screen = QGuiApplication::primaryScreen()->size();
    for (const QString& name : expected)
        EXPECT_EQ(QImageReader(QDir(folder).filePath(name)).size(), screen) << qPrintable(name);
}

// While a pass waits (here for a camera that never comes) the main thread sleeps until an
// event or its next look at the pass: a few dozen wake-ups a second, not one after another.
TEST_F(RehearsalTest, WaitingBlocksOnEventsInsteadOfSpinning)
{
    sim->disconnectCamera(sim->connectedCameras().front());
    start();
    int wakeUps = 0;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    const auto counting = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
    const SNP_Rehearsal::Outcome outcome = SNP_Rehearsal::rehearse(*c, {"a@b.cd"}, 1000);
    QObject::disconnect(counting);
    EXPECT_TRUE(outcome.reason.contains("no camera")) << qPrintable(outcome.reason);
    EXPECT_LT(wakeUps, 500); // spinning: tens of thousands
}

TEST_F(RehearsalTest, AddressesTheKeyboardCannotTypeOrTheBoothRefuses)
{
    start();
    SNP_Rehearsal::Outcome outcome = SNP_Rehearsal::rehearse(*c, {"a!b@c.de"}, 20000);
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("no key for \"!\"")) << qPrintable(outcome.reason);

    // The visitor leaves with the exit key, which empties the fields and starts over.
    QPushButton* exitKey = c->_keyboard->keyButtonForText(QStringLiteral("key_exit"));
    ASSERT_NE(exitKey, nullptr);
    exitKey->click();
    ASSERT_EQ(c->_screenNumber.load(), 1u);
    outcome = SNP_Rehearsal::rehearse(*c, {"not-an-address"}, 20000);
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("refused <not-an-address>")) << qPrintable(outcome.reason);

    outcome = SNP_Rehearsal::rehearse(*c, {}, 20000);
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("no address given"));
}

// The built program, as staff run it, with folders and settings of its own.
class RehearsalProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!QFileInfo(binary).isExecutable())
            GTEST_SKIP() << "booth program not built at " << qPrintable(binary);
        ASSERT_TRUE(dir.isValid());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("BOOTH_LOG_FILE", dir.filePath("booth.log"));
    }
    // Runs the booth with the arguments and the test's folders; false when it did not end
    // in time.
    bool run(QProcess& booth, QStringList arguments, int timeoutMs)
    {
        booth.setProcessEnvironment(env);
        booth.start(binary, arguments << "-scratchFolder" << dir.filePath("scratch") << "-mainImagesFolder"
                                      << dir.filePath("main") << "-forUploadFolder" << dir.filePath("upload"));
        return booth.waitForFinished(timeoutMs);
    }

    const QString binary = QStringLiteral(BOOTH_BINARY_DIR "/booth/booth");
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

// Takes the screens' real seconds (about 16).
TEST_F(RehearsalProgram, BoothRehearseExitsZeroAndPrintsBothPaths)
{
    QProcess booth;
    ASSERT_TRUE(run(booth, {"--rehearse", "a@b.cd,c_d@e.org", "-touchScreenCountValue", "1"}, 90000));
    const QString out = QString::fromUtf8(booth.readAllStandardOutput());
    const QString err = QString::fromUtf8(booth.readAllStandardError());
    ASSERT_EQ(booth.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(booth.exitCode(), 0) << qPrintable(out) << qPrintable(err);
    QString filed, upload;
    for (const QString& line : out.split('\n')) {
        if (line.startsWith("filed picture: "))
            filed = line.mid(15);
        if (line.startsWith("upload file: "))
            upload = line.mid(13);
    }
    EXPECT_TRUE(filed.startsWith(dir.filePath("main"))) << qPrintable(out);
    EXPECT_TRUE(QFileInfo::exists(filed));
    ASSERT_TRUE(QFileInfo::exists(upload)) << qPrintable(out);
    const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(upload);
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->value(QBEmailsForUpload).toStringList(), (QStringList{"a@b.cd", "c_d@e.org"}));

    // Without a camera picture the program says why and exits non-zero.
    QProcess refused;
    env.insert("XDG_CONFIG_HOME", dir.filePath("config2"));
    ASSERT_TRUE(run(refused, {"--rehearse", "a!b@c.de"}, 60000));
    EXPECT_NE(refused.exitCode(), 0);
    EXPECT_TRUE(QString::fromUtf8(refused.readAllStandardError()).contains("rehearsal failed: the keyboard has no key"));
}

// A booth set up for a camera backend it cannot have (a mistyped name; "gphoto2" in a build
// without libgphoto2) runs without a camera and says so: the rehearsal finds no camera and
// nothing is filed, where the simulated camera would have been photographed.
TEST_F(RehearsalProgram, ABackendThatCannotBeHadTakesNoPictureAndSaysSo)
{
    QProcess booth;
    ASSERT_TRUE(run(booth, {"--rehearse", "a@b.cd", "-cameraBackend", "gphoto", "-touchScreenCountValue", "1"}, 90000));
    const QString err = QString::fromUtf8(booth.readAllStandardError());
    EXPECT_NE(booth.exitCode(), 0);
    EXPECT_TRUE(err.contains("booth: camera backend \"gphoto\" cannot be used; running without a camera")) << qPrintable(err);
    EXPECT_TRUE(err.contains("rehearsal failed: no camera was found")) << qPrintable(err);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("main")));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("upload")));
}

} // namespace
