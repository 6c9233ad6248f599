// The camera misbehaving during a visitor's pass, through the real windows over the
// simulated camera: unplugged half-way through the picture's transfer and during live
// view, a refused or busy shutter, a transfer that never ends, a damaged picture file, and
// damaged live-view frames (one flood of them). After each: no half-written file in the
// scratch, day or upload folders, the booth back on its first screen, and once the camera
// is back (plugged in again, or the fault over) the next visitor's pass files and uploads
// the picture with that visitor's addresses.
#include "AppController.h"
#include "BoothTeardown.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Rehearsal.h"
#include "SNP_XMLinEXIF.h"
#include "SimCameraSdk.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace {

constexpr int kTick = 20; // the screens' second

class CameraFaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        SNP_Log::resetForTesting();
        logPath = dir.filePath("booth.log");
        qputenv("BOOTH_LOG_FILE", QFile::encodeName(logPath));
        scratch = dir.filePath("scratch");
        mainImages = dir.filePath("main");
        upload = dir.filePath("upload");
        SNP_Preferences::setStoreFileForTesting(dir.filePath("booth.ini"));
        SNP_Preferences::setArguments(QStringList{"booth", "-touchScreenCountValue", "1", "-scratchFolder", scratch,
                                                  "-mainImagesFolder", mainImages, "-forUploadFolder", upload});
        sim = std::make_shared<SimCameraSdk>();
        sim->setPictureSize(640, 480);
        camId = sim->connectedCameras().front();
        EdsSetCurrentSdk(sim);
    }
    void start()
    {
        c = std::make_unique<AppController>();
        c->_screenTimerInterval = kTick;
        c->awakeFromNib();
        c->show();
        c->applicationDidFinishLaunching();
        ASSERT_TRUE(waitUntil([&] { return c->_currentCamera != nullptr; }, 10000));
        ASSERT_TRUE(sim->waitForIdle());
        cameras.push_back(c->_currentCamera);
    }
    void TearDown() override
    {
        EXPECT_TRUE(takeDownBooth(c, sim, std::move(cameras)));
        cameras.clear();
        SNP_Log::resetForTesting();
    }

    SNP_Rehearsal::Outcome pass(const QStringList& addresses)
    {
        return SNP_Rehearsal::rehearse(*c, addresses, 60000);
    }

    // Every file below the three folders, temporary (dot) names included, relative to the
    // test folder.
    QStringList boothFiles() const
    {
        QStringList files;
        for (const QString& folder : {scratch, mainImages, upload}) {
            QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
            while (it.hasNext())
                files << QDir(dir.path()).relativeFilePath(it.next());
        }
        files.sort();
        return files;
    }

    QByteArray logText() const
    {
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    qsizetype logMark() const { return logText().size(); }
    QByteArray logSince(qsizetype mark) const { return logText().mid(mark); }

    // The booth has let go of the unplugged camera and its live-view loop has ended.
    void expectCameraGone(const SNP_CanonCameraPtr& gone)
    {
        ASSERT_TRUE(waitUntil([&] { return c->_currentCamera == nullptr; }, 10000));
        ASSERT_TRUE(gone);
        EXPECT_TRUE(gone->waitForLiveViewLoopEnd(5000));
    }

    // The camera is plugged in again (a new id, as after a real re-plug): the booth makes
    // it current.
    void replug()
    {
        camId = sim->connectCamera();
        ASSERT_TRUE(waitUntil([&] { return c->_currentCamera != nullptr; }, 10000));
        ASSERT_TRUE(sim->waitForIdle());
        ASSERT_EQ(sim->cameraId(c->_currentCamera->cameraRef()), camId);
        cameras.push_back(c->_currentCamera);
    }

    // The next visitor's whole pass: picture filed and uploaded with exactly these
    // addresses; the files are the ones found besides those named in before.
    void expectNextVisitorSucceeds(const QStringList& before = {})
    {
        const QStringList addresses{"next@visitor.org", "friend@visitor.org"};
        const SNP_Rehearsal::Outcome outcome = pass(addresses);
        ASSERT_TRUE(outcome.ok) << qPrintable(outcome.reason);
        for (const QString& path : {outcome.filedPath, outcome.uploadPath}) {
            const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(path);
            ASSERT_TRUE(plist) << qPrintable(path);
            EXPECT_EQ(plist->value(QBEmailsForUpload).toStringList(), addresses) << qPrintable(path);
        }
        QStringList expected = before;
        expected << QDir(dir.path()).relativeFilePath(outcome.filedPath)
                 << QDir(dir.path()).relativeFilePath(outcome.uploadPath);
        expected.sort();
        EXPECT_EQ(boothFiles(), expected);
        EXPECT_EQ(c->_screenNumber.load(), 1u);
    }

    // Runs fn once, from the event loop, as soon as the condition holds (checked every
    // millisecond while a pass runs).
    void whenever(std::function<bool()> condition, std::function<void()> fn)
    {
        auto* timer = new QTimer(c.get());
        timer->setInterval(1);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, condition, fn] {
            if (!condition())
                return;
            timer->stop();
            timer->deleteLater();
            fn();
        });
        timer->start();
    }

    static int lineCount(const QByteArray& text) { return int(text.count('\n')); }

    QTemporaryDir dir;
    QString logPath, scratch, mainImages, upload;
    std::shared_ptr<SimCameraSdk> sim;
    int camId = 0;
    std::unique_ptr<AppController> c;
    std::vector<SNP_CanonCameraPtr> cameras;
};

TEST_F(CameraFaultTest, UnpluggedHalfWayThroughThePictureTransfer)
{
    start();
    const SNP_CanonCameraPtr first = c->_currentCamera;
    const qsizetype mark = logMark();
    sim->unplugDuringNextDownload(50);
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("no picture arrived")) << qPrintable(outcome.reason);
    EXPECT_EQ(c->_screenNumber.load(), 1u);
    EXPECT_EQ(sim->picturesTaken(camId), 1);
    const QByteArray log = logSince(mark);
    EXPECT_TRUE(log.contains("simulated camera: unplugged during a download at 50 %"));
    EXPECT_TRUE(log.contains("during download of image stream"));
    EXPECT_TRUE(log.contains("bailing out") || !log.contains("Wrote File at path"));
    EXPECT_EQ(boothFiles(), QStringList());
    expectCameraGone(first);

    replug();
    expectNextVisitorSucceeds();
}

TEST_F(CameraFaultTest, UnpluggedDuringLiveView)
{
    start();
    const SNP_CanonCameraPtr first = c->_currentCamera;
    const int firstId = camId;
    bool unplugged = false;
    uint32_t unpluggedOnScreen = 0;
    whenever([&] { return sim->liveViewFramesServed(firstId) >= 3; },
             [&] {
                 unpluggedOnScreen = c->_screenNumber.load();
                 unplugged = sim->disconnectCamera(firstId);
             });
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    ASSERT_TRUE(unplugged);
    EXPECT_TRUE(unpluggedOnScreen == 3 || unpluggedOnScreen == 4) << unpluggedOnScreen;
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("no picture arrived")) << qPrintable(outcome.reason);
    EXPECT_EQ(c->_screenNumber.load(), 1u);
    EXPECT_EQ(sim->picturesTaken(firstId), 0);
    EXPECT_EQ(boothFiles(), QStringList());
    expectCameraGone(first);
    EXPECT_GE(first->liveViewFramesBuilt(), 1u);

    replug();
    expectNextVisitorSucceeds();
}

TEST_F(CameraFaultTest, RefusedShutterThenTheNextVisitorIsPhotographed)
{
    start();
    const SNP_CanonCameraPtr first = c->_currentCamera;
    const qsizetype mark = logMark();
    sim->injectFault(SimOp::TakePicture, EDS_ERR_TAKE_PICTURE_AF_NG, FaultMode::Always);
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("no picture arrived")) << qPrintable(outcome.reason);
    EXPECT_EQ(c->_screenNumber.load(), 1u);
    EXPECT_EQ(sim->picturesTaken(camId), 0);
    EXPECT_TRUE(logSince(mark).contains("received command error notification:"));
    EXPECT_EQ(boothFiles(), QStringList());

    sim->clearFaults();
    expectNextVisitorSucceeds();
    EXPECT_EQ(c->_currentCamera, first); // the same camera all along
}

TEST_F(CameraFaultTest, BusyShutterThenTheNextVisitorIsPhotographed)
{
    start();
    const qsizetype mark = logMark();
    sim->injectFault(SimOp::TakePicture, EDS_ERR_DEVICE_BUSY, FaultMode::Once);
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    EXPECT_EQ(c->_screenNumber.load(), 1u);
    EXPECT_TRUE(logSince(mark).contains("received command error notification:"));
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("no picture arrived")) << qPrintable(outcome.reason);
    EXPECT_EQ(boothFiles(), QStringList());

    expectNextVisitorSucceeds();
}

TEST_F(CameraFaultTest, TransferThatNeverEndsUntilTheCameraIsPluggedInAgain)
{
    start();
    const SNP_CanonCameraPtr first = c->_currentCamera;
    const int firstId = camId;
    sim->stallNextDownload(50);
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("no picture arrived")) << qPrintable(outcome.reason);
    EXPECT_EQ(c->_screenNumber.load(), 1u);
    EXPECT_EQ(sim->stalledDownloads(), 1); // still hanging after the capture time-out
    EXPECT_EQ(boothFiles(), QStringList());

    // Staff pull the cable: the hanging transfer fails, the booth lets the camera go.
    ASSERT_TRUE(sim->disconnectCamera(firstId));
    ASSERT_TRUE(waitUntil([&] { return sim->stalledDownloads() == 0; }));
    expectCameraGone(first);
    EXPECT_EQ(boothFiles(), QStringList());

    replug();
    expectNextVisitorSucceeds();
}

TEST_F(CameraFaultTest, TransferThatBreaksOffLateLeavesTheCameraUsable)
{
    start();
    const SNP_CanonCameraPtr first = c->_currentCamera;
    const qsizetype mark = logMark();
    sim->stallNextDownload(50);
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(c->_screenNumber.load(), 1u);
    ASSERT_EQ(sim->stalledDownloads(), 1);

    // The camera gives up on the transfer after the visitor has gone.
    sim->releaseStalledDownloads();
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->stalledDownloads(), 0);
    EXPECT_TRUE(waitUntil([&] { return logSince(mark).contains("during download of image stream"); }));
    EXPECT_EQ(boothFiles(), QStringList());
    EXPECT_EQ(c->_screenNumber.load(), 1u);

    expectNextVisitorSucceeds();
    EXPECT_EQ(c->_currentCamera, first);
}

// A picture whose transfer is held up beyond its visitor's capture time-out and arrives
// while the next visitor is on the capture screen belongs to the visitor who left: it must
// not go out with the next visitor's addresses. The next visitor's own picture is filed.
// With the camera set to RAW + JPEG the held-up transfer is the shot's raw file, and its
// JPEG waits behind it: it is still the earlier visitor's. Each raw file is kept in the
// scratch folder for staff, never filed; the JPEG is the picture.
class LatePictureTest : public CameraFaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LatePictureTest, LatePictureOfTheVisitorWhoLeftIsNotFiledForTheNextOne)
{
    const bool rawAndJpeg = GetParam();
    const int filesPerShot = rawAndJpeg ? 2 : 1;
    if (rawAndJpeg) {
        ASSERT_TRUE(sim->setCameraProperty(camId, 0x100, 0x640013, false)); // RAW+L1
    }
    start();
    const qsizetype mark = logMark();
    // The first visitor's (first) transfer waits 1.5 s before it starts: longer than the
    // rest of the pass (the capture time-out and the result screen, 19 ticks of 20 ms).
    sim->injectDelay(SimOp::Download, 1500);
    const SNP_Rehearsal::Outcome first = pass({"left@visitor.org"});
    EXPECT_FALSE(first.ok);
    EXPECT_TRUE(first.reason.contains("no picture arrived")) << qPrintable(first.reason);
    ASSERT_EQ(c->_screenNumber.load(), 1u);
    ASSERT_EQ(sim->picturesTaken(camId), 1);
    const uint64_t intakes = c->photoIntakeCount();

    // The next visitor, on the capture screen for as long as it takes (a minute's tick).
    c->_screenTimerInterval = 60000;
    c->_goButton->click();
    ASSERT_TRUE(c->acceptEmailAddresses({"next@visitor.org"}));
    c->nextScreen(c.get()); // 4
    c->nextScreen(c.get()); // 5: live view off, the shutter
    ASSERT_EQ(c->_screenNumber.load(), 5u);
    ASSERT_TRUE(waitUntil([&] { return c->photoIntakeCount() >= intakes + filesPerShot; }, 10000)); // the late shot
    EXPECT_EQ(c->_screenNumber.load(), 5u); // still waiting for this visitor's own picture
    EXPECT_TRUE(c->lastFilingResult().filedPath.isEmpty());
    const QStringList raws = QDir(scratch).entryList({"*.cr2"}, QDir::Files);
    EXPECT_EQ(boothFiles().size(), raws.size()) << qPrintable(boothFiles().join(' '));
    EXPECT_EQ(raws.size(), rawAndJpeg ? 1 : 0);
    EXPECT_TRUE(logSince(mark).contains("is not this visitor's"));

    // The shutter again (the first press met the camera busy with the late transfer): the
    // visitor's own picture is filed with the visitor's address.
    ASSERT_TRUE(sim->waitForIdle());
    const int taken = sim->picturesTaken(camId);
    c->takePicture(c.get());
    ASSERT_TRUE(waitUntil([&] { return c->_screenNumber.load() == 6u; }, 10000));
    EXPECT_EQ(sim->picturesTaken(camId), taken + 1);
    ASSERT_TRUE(waitUntil([&] { return c->photoIntakeCount() >= intakes + 2 * filesPerShot; }, 10000));
    const AppController::FilingResult own = c->lastFilingResult();
    ASSERT_TRUE(own.uploaded);
    for (const QString& path : {own.filedPath, own.uploadPath}) {
        const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(path);
        ASSERT_TRUE(plist);
        EXPECT_EQ(plist->value(QBEmailsForUpload).toStringList(), QStringList{"next@visitor.org"});
    }
    // Beside the filed picture and its upload file only the raw files, whole, for staff.
    EXPECT_EQ(boothFiles().size(), 2 + (rawAndJpeg ? 2 : 0)) << qPrintable(boothFiles().join(' '));
    for (const QString& name : QDir(scratch).entryList({"*.cr2"}, QDir::Files)) {
        QFile raw(QDir(scratch).filePath(name));
        ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
        EXPECT_TRUE(raw.readAll().startsWith("II*")) << qPrintable(name);
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(raw.fileName())) << qPrintable(name);
    }
    c->_screenTimer->stop();
    c->startOver(c.get());
    ASSERT_EQ(c->_screenNumber.load(), 1u);
    c->_screenTimerInterval = kTick;

    if (!rawAndJpeg)
        expectNextVisitorSucceeds(boothFiles());
}

INSTANTIATE_TEST_SUITE_P(JpegOrRawAndJpeg, LatePictureTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "RawAndJpeg" : "Jpeg"; });

TEST_F(CameraFaultTest, GarbagePictureBytesAreKeptWholeForStaffAndNothingIsUploaded)
{
    start();
    const qsizetype mark = logMark();
    sim->injectPictureFault(SimDataFault::Garbage, FaultMode::Once);
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.reason.contains("the picture was not filed")) << qPrintable(outcome.reason);
    EXPECT_EQ(c->_screenNumber.load(), 1u);
    EXPECT_TRUE(outcome.filedPath.isEmpty());
    EXPECT_TRUE(outcome.uploadPath.isEmpty());
    // The only file: the camera's bytes, whole, in the scratch folder.
    const QString kept = c->lastFilingResult().scratchPath;
    ASSERT_FALSE(kept.isEmpty());
    const QStringList keptOnly{QDir(dir.path()).relativeFilePath(kept)};
    EXPECT_EQ(boothFiles(), keptOnly);
    EXPECT_TRUE(kept.startsWith(scratch + "/"));
    QFile file(kept);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::vector<uint8_t> camera = sim->lastPicture(camId);
    EXPECT_EQ(file.readAll(), QByteArray(reinterpret_cast<const char*>(camera.data()), qsizetype(camera.size())));
    EXPECT_TRUE(logSince(mark).contains("nothing is uploaded for them"));

    expectNextVisitorSucceeds(keptOnly);
}

TEST_F(CameraFaultTest, TruncatedPictureIsNotFiledAsAVisitorsPicture)
{
    start();
    sim->injectPictureFault(SimDataFault::Truncated, FaultMode::Once);
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    EXPECT_FALSE(outcome.ok) << qPrintable(outcome.uploadPath);
    EXPECT_EQ(c->_screenNumber.load(), 1u);
    EXPECT_TRUE(outcome.filedPath.isEmpty());
    EXPECT_TRUE(outcome.uploadPath.isEmpty());
    // Nothing in the day or upload folders; the camera's bytes as they came for staff.
    const QString kept = c->lastFilingResult().scratchPath;
    ASSERT_FALSE(kept.isEmpty());
    const QStringList keptOnly{QDir(dir.path()).relativeFilePath(kept)};
    EXPECT_EQ(boothFiles(), keptOnly);
    QFile file(kept);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::vector<uint8_t> camera = sim->lastPicture(camId);
    EXPECT_EQ(file.readAll(), QByteArray(reinterpret_cast<const char*>(camera.data()), qsizetype(camera.size())));

    expectNextVisitorSucceeds(keptOnly);
}

TEST_F(CameraFaultTest, GarbageAndTruncatedLiveViewFramesAreSkippedAndThePassGoesOn)
{
    sim->setLiveViewFrameRate(0); // frames as fast as the loop fetches them: the bad ones pass within the countdown
    start();
    const SNP_CanonCameraPtr camera = c->_currentCamera;
    sim->injectLiveViewFrameFault(SimDataFault::Garbage, FaultMode::Times, 20);
    sim->injectLiveViewFrameFault(SimDataFault::Truncated, FaultMode::Times, 20);
    const uint64_t builtBefore = camera->liveViewFramesBuilt();
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    ASSERT_TRUE(outcome.ok) << qPrintable(outcome.reason);
    EXPECT_EQ(camera->liveViewFramesRejected(), 40u);
    EXPECT_GT(camera->liveViewFramesBuilt(), builtBefore); // good frames again after the bad ones
    const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(outcome.uploadPath);
    ASSERT_TRUE(plist);
    EXPECT_EQ(plist->value(QBEmailsForUpload).toStringList(), QStringList{"a@b.cd"});
    EXPECT_EQ(boothFiles().size(), 2);

    expectNextVisitorSucceeds(boothFiles());
}

TEST_F(CameraFaultTest, AFloodOfBadLiveViewFramesLogsABoundedNumberOfLines)
{
    sim->setLiveViewFrameRate(0); // a frame at every request: as many bad frames as the loop can fetch
    start();
    const SNP_CanonCameraPtr camera = c->_currentCamera;

    // A clean pass at the same rate for comparison.
    qsizetype mark = logMark();
    ASSERT_TRUE(pass({"first@visitor.org"}).ok);
    ASSERT_TRUE(camera->waitForLiveViewLoopEnd(5000));
    const int cleanLines = lineCount(logSince(mark));

    sim->injectLiveViewFrameFault(SimDataFault::Garbage, FaultMode::Always);
    const uint64_t rejectedBefore = camera->liveViewFramesRejected();
    mark = logMark();
    const SNP_Rehearsal::Outcome outcome = pass({"a@b.cd"});
    ASSERT_TRUE(camera->waitForLiveViewLoopEnd(5000));
    EXPECT_TRUE(outcome.ok) << qPrintable(outcome.reason);
    const uint64_t rejected = camera->liveViewFramesRejected() - rejectedBefore;
    const QByteArray flood = logSince(mark);
    // A flood indeed: a line per bad frame would overrun the bound below several times. (How
    // many frames a pass fetches depends on the machine's speed; under the sanitizers on a
    // loaded machine it has been under 200.)
    EXPECT_GT(rejected, 50u);
    // The first few bad frames are logged, the rest counted in one summary line.
    EXPECT_EQ(flood.count("error creating NSImage from data"), 5);
    EXPECT_EQ(flood.count("more frames that could not be made into images were not logged"), 1);
    EXPECT_TRUE(flood.contains(QByteArray::number(qulonglong(rejected - 5)) + " more frames"));
    EXPECT_LE(lineCount(flood), cleanLines + 10) << cleanLines << " lines in a clean pass, " << lineCount(flood)
                                                  << " with " << rejected << " bad frames";
    sim->clearFaults();
}

} // namespace
