// The rehearsal pass end to end with the simulated camera: the real windows, the go button,
// the keyboard's keys, the countdowns, the camera and filing; its failures with their
// reasons (and the sorry screen); the result screen that tells the truth about where the
// picture is; the snapshots of its screens; its waiting, blocked on events; a filing that
// outlasts the capture screen; and the built booth program run with --rehearse and -KEY
// VALUE defaults, and started with nothing set.
#include "BoothRunFixture.h"
#include "TestPaths.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QThread>

#include <atomic>

namespace {

TEST(RehearsalArguments, AddressesFromTheOption)
{
    using SNP_Rehearsal::addressesFromArguments, SNP_Rehearsal::snapshotFolderFromArguments;
    EXPECT_FALSE(addressesFromArguments({"booth", "-touchScreenCountValue", "5"}));
    EXPECT_EQ(addressesFromArguments({"booth", "--rehearse", "a@b.cd,e@f.gh"}), (QStringList{"a@b.cd", "e@f.gh"}));
    EXPECT_EQ(addressesFromArguments({"booth", "-x", "1", "--rehearse=a@b.cd"}), QStringList{"a@b.cd"});
    for (const QStringList& none : {QStringList{"booth", "--rehearse"}, QStringList{"booth", "--rehearse", ",,"}})
        EXPECT_EQ(addressesFromArguments(none), QStringList{});
    EXPECT_EQ(snapshotFolderFromArguments({"booth", "--rehearse", "a@b.cd", "--snapshots", "/s"}), "/s");
    EXPECT_EQ(snapshotFolderFromArguments({"booth", "--snapshots=/t"}), "/t");
    EXPECT_TRUE(snapshotFolderFromArguments({"booth", "--rehearse", "a@b.cd"}).isEmpty());
}

class RehearsalTest : public BoothRunTest {
protected:
    void start(bool withCamera = true) { ASSERT_TRUE(run.start(20, withCamera)); }
};

// One pass whose filing outlasts the capture screen, as on a slow machine: the filing is held
// (in the photo clock, which it reads on its own thread) until the booth shows the picture on
// the result screen, which waits for the filing to say where the picture goes ("on its way":
// screen 6's pictures). Its snapshots show every screen at the size of its screen.
TEST_F(RehearsalTest, OnePassFilesThePictureAndWritesTheUploadFile)
{
    start();
    std::atomic<int> held{0};
    QThread* mainThread = QThread::currentThread();
    AppController::setPhotoClockForTesting([&] {
        if (QThread::currentThread() != mainThread && held++ == 0)
            for (const QDeadlineTimer limit(10000); run.screen() != 6 && !limit.hasExpired();)
                QThread::msleep(1);
        return QDateTime::currentDateTime();
    });
    const QStringList addresses{"zoe@example.org", "adam_1@mail.example.com"};
    const QString snapshots = dir.filePath("snapshots");
    // The countdown screens wait for their snapshots, which wait for the first frame.
    for (const uint32_t screen : {3u, 4u}) {
        const QString file = snapshots + QStringLiteral("/screen%1-live.png").arg(screen);
        run.holdScreen(screen, [file] { return QFileInfo::exists(file); });
    }
    uint32_t resultPictures = 0;
    QObject::connect(c.get(), &AppController::screenShown, c.get(), [&](uint32_t screen) {
        if (screen == 6)
            resultPictures = c->screenPictureNumber();
    });
    const SNP_Rehearsal::Outcome outcome = run.pass(addresses, true, snapshots);
    AppController::setPhotoClockForTesting(nullptr);
    EXPECT_EQ(resultPictures, 6u);
    ASSERT_TRUE(outcome.ok) << qPrintable(outcome.reason);
    EXPECT_GE(held.load(), 1);
    EXPECT_TRUE(outcome.reason.isEmpty());
    EXPECT_TRUE(outcome.filedPath.startsWith(run.mainImages + "/")) << qPrintable(outcome.filedPath);
    EXPECT_TRUE(outcome.uploadPath.startsWith(run.upload + run.mainImages + "/"));
    EXPECT_EQ(addressesIn(outcome.filedPath), addresses);
    EXPECT_EQ(addressesIn(outcome.uploadPath), addresses);
    EXPECT_EQ(run.files().size(), 2);
    // The log names each address once in the pass.
    for (const QString& address : addresses)
        EXPECT_EQ(QString::fromUtf8(fixtures::readFile(run.root + "/booth.log")).count(address), 1) << qPrintable(address);
    EXPECT_EQ(run.screen(), 1u); // the pass went all the way round
    EXPECT_EQ(run.sim->picturesTaken(run.sim->connectedCameras().front()), 1);
    // One screen (offscreen): the touch content on screens 1 and 2, then the live content.
    const QStringList expected{"screen1-touch.png", "screen2-touch.png", "screen3-live.png",
                               "screen4-live.png",  "screen5-live.png",  "screen6-live.png"};
    EXPECT_EQ(QDir(snapshots).entryList(QDir::Files, QDir::Name).join(' ').toStdString(),
              expected.join(' ').toStdString());
    for (const QString& name : expected)
        EXPECT_EQ(QImageReader(QDir(snapshots).filePath(name)).size(), QGuiApplication::primaryScreen()->size())
            << qPrintable(name);
}

// Each failure says why, and the booth starts over for the next visitor.
TEST_F(RehearsalTest, FailuresSayWhy)
{
    start();
    bool sorry = false;
    QObject::connect(c.get(), &AppController::screenShown, c.get(), [&](uint32_t screen) {
        sorry = sorry || (screen == 6 && c->showingSorryScreen());
    });
    const struct { QStringList addresses; bool shutterRefused; const char* reason; } kFailures[] = {
        {{"a@b.cd"}, true, "no picture arrived"},
        {{"a!b@c.de"}, false, "no key for \"!\""},
        {{"not-an-address"}, false, "refused <not-an-address>"},
        {{}, false, "no address given"},
    };
    for (const auto& failure : kFailures) {
        SCOPED_TRACE(failure.reason);
        if (failure.shutterRefused)
            run.sim->injectFault(SimOp::TakePicture, EDS_ERR_TAKE_PICTURE_AF_NG, FaultMode::Always);
        const SNP_Rehearsal::Outcome outcome = run.pass(failure.addresses, false);
        EXPECT_FALSE(outcome.ok);
        EXPECT_TRUE(outcome.reason.contains(failure.reason)) << qPrintable(outcome.reason);
        EXPECT_TRUE(outcome.uploadPath.isEmpty());
        EXPECT_EQ(sorry, failure.shutterRefused);
        sorry = false;
        run.sim->clearFaults();
        // The visitor who stays on the e-mail screen leaves with the exit key.
        if (run.screen() != 1)
            c->findChild<SNP_KeyboardView*>()->keyButtonForText(QStringLiteral("key_exit"))->click();
        EXPECT_EQ(run.screen(), 1u);
    }
    EXPECT_EQ(run.files(), QStringList());
}

// The result screen promises only what is true: a picture that could not be filed, or whose
// upload file could not be written, is "saved" and sent later (pictures 8); one that could
// not be written at all ends on the sorry screen (7). A plain file where a folder should be
// stands for the folder that cannot be written.
TEST_F(RehearsalTest, TheResultScreenSaysWhereThePictureIs)
{
    start();
    const struct { const QString* blocked; const char* pictures; } kCases[] = {
        {&run.mainImages, "screen8-live.png"},
        {&run.upload, "screen8-live.png"},
        {&run.scratch, "screen7-live.png"},
    };
    for (const auto& fault : kCases) {
        SCOPED_TRACE(qPrintable(*fault.blocked));
        QDir(*fault.blocked).removeRecursively();
        ASSERT_TRUE(fixtures::writeFile(*fault.blocked, "not a folder"));
        const QString snapshots = dir.filePath("snapshots-" + QFileInfo(*fault.blocked).fileName());
        const SNP_Rehearsal::Outcome outcome = run.pass({"a@b.cd"}, true, snapshots);
        EXPECT_FALSE(outcome.ok);
        const QStringList shown = QDir(snapshots).entryList({"screen6*", "screen7*", "screen8*"}, QDir::Files);
        EXPECT_EQ(shown, QStringList{fault.pictures});
        ASSERT_TRUE(QFile::remove(*fault.blocked));
    }
}

// While a pass waits (here for a camera that never comes) the main thread sleeps until an
// event or its next look at the pass: a few dozen wake-ups a second, not one after another.
TEST_F(RehearsalTest, WaitingBlocksOnEventsInsteadOfSpinning)
{
    run.sim->disconnectCamera(run.sim->connectedCameras().front());
    start(false);
    int wakeUps = 0;
    const auto counting = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                                           [&] { ++wakeUps; });
    const SNP_Rehearsal::Outcome outcome = SNP_Rehearsal::rehearse(*c, {"a@b.cd"}, 1000);
    QObject::disconnect(counting);
    EXPECT_TRUE(outcome.reason.contains("no camera")) << qPrintable(outcome.reason);
    EXPECT_LT(wakeUps, 500); // spinning: tens of thousands
}

// The built program as staff run it, with folders and settings of its own: a good pass
// exits 0 and prints both paths, and the start files the picture a power cut left whole
// under a temporary name in the scratch folder (with its own addresses); without a picture (no key for an address, or a camera
// backend it cannot have: a mistyped name, or "gphoto2" in a build without libgphoto2) it
// says why, exits non-zero and files nothing. Takes the screens' real seconds (about 16).
TEST(RehearsalProgram, BoothRehearseExitsZeroAndPrintsBothPathsOrSaysWhyNot)
{
    QTemporaryDir dir;
    const struct { QStringList arguments, said; } kRuns[] = { // said: empty for a good pass
        {{"--rehearse", "a@b.cd,c_d@e.org", "-touchScreenCountValue", "1", "-cameraBackend", "sim"}, {}},
        {{"--rehearse", "a!b@c.de", "-cameraBackend", "sim"}, {"rehearsal failed: the keyboard has no key"}},
        {{"--rehearse", "a@b.cd", "-cameraBackend", "gphoto", "-touchScreenCountValue", "1"},
         {"booth: camera backend \"gphoto\" cannot be used; running without a camera",
          "rehearsal failed: no camera was found"}},
    };
    int runs = 0;
    for (const auto& rehearsal : kRuns) {
        SCOPED_TRACE(qPrintable(rehearsal.arguments.join(' ')));
        const QString folder = dir.filePath(QString::number(++runs));
        const QStringList planted{"planted@example.org"};
        if (rehearsal.said.isEmpty()) {
            const auto cut = SNP_XMLinEXIF::jpegDataWithPropertyListObject(
                QVariantMap{{QBEmailsForUpload, planted}}, fixtures::cameraJpeg(fixtures::solidImage(64, 48, Qt::red)));
            ASSERT_TRUE(QDir().mkpath(folder + "/scratch") && cut);
            ASSERT_TRUE(fixtures::writeFile(folder + "/scratch/.20100202143005.jpg.Ab12Cd", *cut));
        }
        QProcess booth;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", folder + "/config");
        env.insert("BOOTH_LOG_FILE", folder + "/booth.log");
        booth.setProcessEnvironment(env);
        booth.start(BOOTH_BINARY_DIR "/booth/booth",
                    rehearsal.arguments + QStringList{"-scratchFolder", folder + "/scratch", "-mainImagesFolder",
                                                      folder + "/main", "-forUploadFolder", folder + "/upload"});
        ASSERT_TRUE(booth.waitForFinished(90000));
        const QString out = QString::fromUtf8(booth.readAllStandardOutput());
        const QString err = QString::fromUtf8(booth.readAllStandardError());
        EXPECT_EQ(booth.exitCode() == 0, rehearsal.said.isEmpty()) << qPrintable(out) << qPrintable(err);
        for (const QString& line : rehearsal.said)
            EXPECT_TRUE(err.contains(line)) << qPrintable(err);
        const QString filed = out.section("filed picture: ", 1).section('\n', 0, 0);
        const QString upload = out.section("upload file: ", 1).section('\n', 0, 0);
        EXPECT_EQ(QFileInfo::exists(filed) && filed.startsWith(folder + "/main/"), rehearsal.said.isEmpty());
        const QStringList addresses = rehearsal.said.isEmpty() ? QStringList{"a@b.cd", "c_d@e.org"} : QStringList();
        EXPECT_EQ(addressesIn(upload), addresses);
        EXPECT_EQ(QFileInfo::exists(folder + "/main"), rehearsal.said.isEmpty());
        if (rehearsal.said.isEmpty()) {
            const QString day = QFileInfo(filed).path();
            EXPECT_EQ(addressesIn(day + "/20100202143005.jpg"), planted);
            EXPECT_EQ(addressesIn(folder + "/upload" + day + "/20100202143005Comp.jpg"), planted);
        }
    }
}

// Started as installed, with nothing set: the booth looks for a real camera (in a build with
// libgphoto2), never the simulated one; the first start makes the operator PIN, says it on
// standard error and stores it; the next start says nothing of it.
TEST(BoothProgram, WithNothingSetTheRealCameraIsUsedAndTheFirstStartMakesThePin)
{
    QTemporaryDir dir;
    QStringList said;
    for (int start = 1; start <= 2; ++start) {
        SCOPED_TRACE(start);
        const QString log = dir.filePath(QStringLiteral("booth%1.log").arg(start));
        QProcess booth;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("BOOTH_LOG_FILE", log);
        booth.setProcessEnvironment(env);
        booth.start(BOOTH_BINARY_DIR "/booth/booth", {"-scratchFolder", dir.filePath("scratch"), "-mainImagesFolder",
                                                      dir.filePath("main"), "-forUploadFolder", dir.filePath("upload")});
        // Logged once start-up is over (after the simulated camera's line would be).
        ASSERT_TRUE(waitUntil([&] { return QString::fromUtf8(fixtures::readFile(log)).contains("entered kiosk mode"); },
                              30000));
        booth.terminate();
        ASSERT_TRUE(booth.waitForFinished(10000));
        said << QString::fromUtf8(booth.readAllStandardError());
        const QString text = QString::fromUtf8(fixtures::readFile(log));
        EXPECT_FALSE(text.contains("Simulated camera"));
#ifdef HAVE_GPHOTO2
        EXPECT_TRUE(text.contains("gphoto2: ")) << qPrintable(text);
        EXPECT_FALSE(text.contains("using the simulated camera"));
#endif
    }
    const QString pin =
        QSettings(dir.filePath("config/Korvanex/booth.conf"), QSettings::IniFormat).value("operatorPin").toString();
    EXPECT_EQ(pin.size(), 6);
    EXPECT_TRUE(said[0].contains("booth: the operator PIN is " + pin + " ")) << qPrintable(said[0]);
    EXPECT_FALSE(said[1].contains("operator PIN")) << qPrintable(said[1]);
}

} // namespace
