// The camera misbehaving during a visitor's pass, through the real windows over the
// simulated camera: unplugged half-way through the picture's transfer and during live
// view, a refused or busy shutter, a transfer that never ends or breaks off late, a late
// picture, a damaged picture file and damaged live-view frames. After each: no half-written
// file in the scratch, day or upload folders, the booth back on its first screen, and once
// the camera is back the next visitor's pass files and uploads the picture with that
// visitor's addresses.
#include "BoothRunFixture.h"

namespace {

constexpr int kTick = 20; // the screens' second

class CameraFaultTest : public BoothRunTest {
protected:
    void start() { ASSERT_TRUE(run.start(kTick)); }
    SNP_Rehearsal::Outcome pass(const QStringList& addresses) { return run.pass(addresses, false); }

    // The pass ended without a picture, filed or uploaded, and the booth is back on its
    // first screen.
    void expectNoPicture(const SNP_Rehearsal::Outcome& outcome, const char* reason = "no picture arrived")
    {
        EXPECT_FALSE(outcome.ok);
        EXPECT_TRUE(outcome.reason.contains(reason)) << qPrintable(outcome.reason);
        EXPECT_TRUE(outcome.uploadPath.isEmpty() && outcome.filedPath.isEmpty());
        EXPECT_EQ(run.screen(), 1u);
    }
    // The booth lets go of the unplugged camera and its live-view loop ends; plugged in
    // again (a new id, as after a real re-plug), the camera is made current.
    void expectGoneThenReplug(const SNP_CanonCameraPtr& gone)
    {
        ASSERT_TRUE(waitUntil([&] { return run.camera() == nullptr; }, 10000));
        EXPECT_TRUE(gone->waitForLiveViewLoopEnd(5000));
        camId = sim->connectCamera();
        ASSERT_TRUE(waitUntil([&] { return run.camera() != nullptr; }, 10000));
        ASSERT_TRUE(sim->waitForIdle());
        ASSERT_EQ(sim->cameraId(run.camera()->cameraRef()), camId);
        run.cameras.push_back(run.camera());
    }
    // The next visitor's whole pass: picture filed and uploaded with exactly these
    // addresses; the files are the ones found besides those named in before.
    void expectNextVisitorSucceeds(const QStringList& before = {})
    {
        const QStringList addresses{"next@visitor.org", "friend@visitor.org"};
        const SNP_Rehearsal::Outcome outcome = run.pass(addresses);
        ASSERT_TRUE(outcome.ok) << qPrintable(outcome.reason);
        QStringList expected = before;
        for (const QString& path : {outcome.filedPath, outcome.uploadPath}) {
            EXPECT_EQ(addressesIn(path), addresses) << qPrintable(path);
            expected << QDir(run.root).relativeFilePath(path);
        }
        expected.sort();
        EXPECT_EQ(run.files(), expected);
        EXPECT_EQ(run.screen(), 1u);
    }

    int camId = sim->connectedCameras().front();
};

// The cable pulled half-way through the picture's transfer, or while live view streams on
// the touch countdown: no picture, no file, the camera let go; plugged in again, it takes
// the next visitor's picture.
TEST_F(CameraFaultTest, UnpluggedHalfWayThroughThePictureTransferOrDuringLiveView)
{
    start();
    for (const bool duringLiveView : {false, true}) {
        SCOPED_TRACE(duringLiveView ? "during live view" : "during the transfer");
        const SNP_CanonCameraPtr plugged = run.camera();
        const int pluggedId = camId, taken = sim->picturesTaken(camId);
        bool unplugged = false;
        QMetaObject::Connection hold;
        if (duringLiveView)
            hold = run.holdScreen(3, [&] {
                return sim->liveViewFramesServed(pluggedId) >= 3
                       && (unplugged = sim->disconnectCamera(pluggedId), true);
            });
        else
            sim->unplugDuringNextDownload(50);
        const QStringList before = run.files();
        expectNoPicture(pass({"a@b.cd"}));
        QObject::disconnect(hold);
        EXPECT_TRUE(unplugged || !duringLiveView);
        EXPECT_EQ(sim->picturesTaken(pluggedId), taken + (duringLiveView ? 0 : 1));
        EXPECT_EQ(run.files(), before);
        expectGoneThenReplug(plugged);
        EXPECT_TRUE(plugged->liveViewFramesBuilt() >= 1u || !duringLiveView);
        expectNextVisitorSucceeds(before);
    }
}

// Refused for good (the lens cannot focus) or once (busy): the same camera takes the next
// visitor's picture.
TEST_F(CameraFaultTest, RefusedShutterThenTheNextVisitorIsPhotographed)
{
    start();
    const SNP_CanonCameraPtr first = run.camera();
    const struct { EdsError error; FaultMode mode; } kRefusals[] = {{EDS_ERR_TAKE_PICTURE_AF_NG, FaultMode::Always},
                                                                   {EDS_ERR_DEVICE_BUSY, FaultMode::Once}};
    for (const auto& refusal : kRefusals) {
        SCOPED_TRACE(refusal.error);
        const QStringList before = run.files();
        const int taken = sim->picturesTaken(camId);
        sim->injectFault(SimOp::TakePicture, refusal.error, refusal.mode);
        expectNoPicture(pass({"a@b.cd"}));
        EXPECT_EQ(sim->picturesTaken(camId), taken);
        EXPECT_EQ(run.files(), before);
        sim->clearFaults();
        expectNextVisitorSucceeds(before);
        EXPECT_EQ(run.camera(), first); // the same camera all along
    }
}

// A transfer that hangs beyond the capture time-out ends when staff pull the cable (the
// camera plugged in again is then used) or when the camera gives up on it after the visitor
// has gone (the same camera goes on).
TEST_F(CameraFaultTest, TransferThatNeverEndsUntilTheCameraIsPluggedInAgainOrBreaksOffLate)
{
    start();
    for (const bool pulled : {true, false}) {
        SCOPED_TRACE(pulled ? "cable pulled" : "camera gave up");
        const SNP_CanonCameraPtr first = run.camera();
        const QStringList before = run.files();
        sim->stallNextDownload(50);
        expectNoPicture(pass({"a@b.cd"}));
        EXPECT_EQ(sim->stalledDownloads(), 1); // still hanging after the capture time-out
        if (pulled)
            ASSERT_TRUE(sim->disconnectCamera(camId));
        else
            sim->releaseStalledDownloads();
        ASSERT_TRUE(waitUntil([&] { return sim->stalledDownloads() == 0; }));
        ASSERT_TRUE(sim->waitForIdle());
        EXPECT_EQ(run.files(), before);
        if (pulled)
            expectGoneThenReplug(first);
        expectNextVisitorSucceeds(before);
        EXPECT_EQ(run.camera() == first, !pulled);
    }
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
    // The first visitor's transfer waits 3 s before it starts: far longer than the rest of
    // the pass (the capture time-out and the result screen, 19 ticks of 20 ms).
    sim->injectDelay(SimOp::Download, 3000);
    expectNoPicture(pass({"left@visitor.org"}));
    ASSERT_EQ(run.screen(), 1u);
    ASSERT_EQ(sim->picturesTaken(camId), 1);
    const uint64_t intakes = c->photoIntakeCount();

    // The next visitor, on the capture screen for as long as it takes (a minute's tick: the
    // shutter refused while the camera is busy with the late transfer would otherwise end
    // the capture screen at the next tick).
    c->setScreenTickMs(60000); // from the next countdown on
    c->goButtonTouched();
    ASSERT_TRUE(c->acceptEmailAddresses({"next@visitor.org"}));
    c->nextScreen(c.get()); // 4
    c->nextScreen(c.get()); // 5: live view off, the shutter
    ASSERT_EQ(run.screen(), 5u);
    ASSERT_TRUE(waitUntil([&] { return c->photoIntakeCount() >= intakes + filesPerShot; }, 10000)); // the late shot
    EXPECT_EQ(run.screen(), 5u); // still waiting for this visitor's own picture
    EXPECT_TRUE(c->lastFilingResult().filedPath.isEmpty());
    const auto raws = [&] { return QDir(run.scratch).entryList({"*.cr2"}, QDir::Files); };
    EXPECT_EQ(run.files().size(), raws().size()) << qPrintable(run.files().join(' '));
    EXPECT_EQ(raws().size(), rawAndJpeg ? 1 : 0);

    // The shutter again (the first press met the camera busy with the late transfer): the
    // visitor's own picture is filed with the visitor's address.
    ASSERT_TRUE(sim->waitForIdle());
    const int taken = sim->picturesTaken(camId);
    c->takePicture(c.get());
    ASSERT_TRUE(waitUntil([&] { return run.screen() == 6u; }, 10000));
    EXPECT_EQ(sim->picturesTaken(camId), taken + 1);
    ASSERT_TRUE(waitUntil([&] { return c->photoIntakeCount() >= intakes + 2 * filesPerShot; }, 10000));
    const AppController::FilingResult own = c->lastFilingResult();
    ASSERT_TRUE(own.uploaded);
    for (const QString& path : {own.filedPath, own.uploadPath})
        EXPECT_EQ(addressesIn(path), QStringList{"next@visitor.org"});
    // Beside the filed picture and its upload file only the raw files, whole, for staff.
    EXPECT_EQ(run.files().size(), 2 + (rawAndJpeg ? 2 : 0)) << qPrintable(run.files().join(' '));
    for (const QString& name : raws()) {
        const QString raw = QDir(run.scratch).filePath(name);
        EXPECT_TRUE(fixtures::readFile(raw).startsWith("II*")) << qPrintable(name);
        EXPECT_FALSE(SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(raw)) << qPrintable(name);
    }
    c->setScreenTickMs(kTick);
    c->startTimerWithExpirationDelay(0); // the result screen ends at the next tick
    ASSERT_TRUE(waitUntil([&] { return run.screen() == 1u; }, 10000));

    if (!rawAndJpeg)
        expectNextVisitorSucceeds(run.files());
}

INSTANTIATE_TEST_SUITE_P(JpegOrRawAndJpeg, LatePictureTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "RawAndJpeg" : "Jpeg"; });

// Garbage or a picture cut short: the camera's bytes are kept whole in the scratch folder
// for staff, nothing is filed or uploaded as a visitor's picture.
TEST_F(CameraFaultTest, DamagedPictureBytesAreKeptWholeForStaffAndNothingIsUploaded)
{
    start();
    QStringList kept;
    for (SimDataFault damage : {SimDataFault::Garbage, SimDataFault::Truncated}) {
        SCOPED_TRACE(int(damage));
        sim->injectPictureFault(damage, FaultMode::Once);
        const SNP_Rehearsal::Outcome outcome = run.pass({"a@b.cd"});
        expectNoPicture(outcome, "the picture was not filed");
        const QString scratchFile = c->lastFilingResult().scratchPath;
        ASSERT_TRUE(scratchFile.startsWith(run.scratch + "/")) << qPrintable(scratchFile);
        const std::vector<uint8_t> camera = sim->lastPicture(camId);
        EXPECT_EQ(fixtures::readFile(scratchFile),
                  QByteArray(reinterpret_cast<const char*>(camera.data()), qsizetype(camera.size())));
        kept << QDir(run.root).relativeFilePath(scratchFile);
        kept.sort();
        EXPECT_EQ(run.files(), kept);
        sim->clearFaults();
    }
    expectNextVisitorSucceeds(kept);
}

TEST_F(CameraFaultTest, GarbageAndTruncatedLiveViewFramesAreSkippedAndThePassGoesOn)
{
    sim->setLiveViewFrameRate(0); // frames as fast as the loop fetches them
    start();
    const SNP_CanonCameraPtr camera = run.camera();
    sim->injectLiveViewFrameFault(SimDataFault::Garbage, FaultMode::Times, 20);
    sim->injectLiveViewFrameFault(SimDataFault::Truncated, FaultMode::Times, 20);
    const uint64_t builtBefore = camera->liveViewFramesBuilt();
    // The live countdown waits until the bad frames have passed and good ones come again.
    run.holdScreen(4, [&] {
        return camera->liveViewFramesRejected() >= 40u && camera->liveViewFramesBuilt() > builtBefore;
    });
    const SNP_Rehearsal::Outcome outcome = run.pass({"a@b.cd"});
    ASSERT_TRUE(outcome.ok) << qPrintable(outcome.reason);
    EXPECT_EQ(camera->liveViewFramesRejected(), 40u);
    EXPECT_GT(camera->liveViewFramesBuilt(), builtBefore);
    EXPECT_EQ(addressesIn(outcome.uploadPath), QStringList{"a@b.cd"});
    EXPECT_EQ(run.files().size(), 2);
}

} // namespace
