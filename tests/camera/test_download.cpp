// Picture download over the simulated camera: the transfer request, progress steps on the
// main thread, one photo notification with all the bytes and the camera's file name, the
// delegate's cancel question, every failure row, odd file names, and unplugging mid-transfer.
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SimCameraSdk.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// The simulated camera with the directory record rewritten, for names and sizes a real
// camera could report.
class OddItemSdk : public SimCameraSdk {
public:
    std::mutex lock;
    std::vector<char> name;           // replaces the file name bytes when not empty (256 max)
    EdsUInt64 sizeOverride = 0;       // replaces the size when not 0

    EdsError EdsGetDirectoryItemInfo(EdsDirectoryItemRef ref, EdsDirectoryItemInfo* info) override
    {
        const EdsError status = SimCameraSdk::EdsGetDirectoryItemInfo(ref, info);
        std::lock_guard<std::mutex> g(lock);
        if (status == EDS_ERR_OK && !name.empty()) {
            std::memset(info->szFileName, 0, sizeof info->szFileName);
            std::memcpy(info->szFileName, name.data(), std::min(name.size(), sizeof info->szFileName));
        }
        if (status == EDS_ERR_OK && sizeOverride)
            info->size = sizeOverride;
        return status;
    }
};

struct Photo {
    QByteArray data;
    bool hasName = false;
    QString name;
    bool onMainThread = false;
    const void* object = nullptr;
};

struct Progress {
    uint percent = 0;
    bool onMainThread = false;
};

class CancelAt : public SNP_CanonCameraDelegate {
public:
    explicit CancelAt(uint32_t p) : at(p) {}
    bool cancelDownloadForProgress(uint32_t percent) override
    {
        asked.push_back(percent);
        return percent >= at;
    }
    uint32_t at;
    std::vector<uint32_t> asked;
};

class SilentDelegate : public SNP_CanonCameraDelegate {};

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath(QStringLiteral("download.log"));
        ASSERT_TRUE(SNP_Log::setLogFile(logPath));
        sim = std::make_shared<OddItemSdk>();
        sim->setPictureSize(640, 480);
        EdsSetCurrentSdk(sim);
        camId = sim->connectedCameras().front();
        camera = SNP_CanonCamera::initWithCameraRef(sim->cameraRef(camId));
        ASSERT_TRUE(camera);
        ASSERT_TRUE(camera->load());
        ASSERT_TRUE(sim->waitForIdle());
        auto& center = SNP_NotificationCenter::defaultCenter();
        center.addObserver(this, SNP_CanonCameraPhotoDataAvailable, [this](const SNP_Notification& n) {
            Photo p;
            p.data = n.userInfo.value(SNP_CanonCameraPhotoData).toByteArray();
            p.hasName = n.userInfo.contains(SNP_CanonCameraPhotoFilename);
            p.name = n.userInfo.value(SNP_CanonCameraPhotoFilename).toString();
            p.onMainThread = QThread::currentThread() == qApp->thread();
            p.object = n.object.identity();
            std::lock_guard<std::mutex> g(m);
            photos.push_back(p);
        });
        center.addObserver(this, SNP_CanonCameraDownloadProgress, [this](const SNP_Notification& n) {
            Progress p;
            p.percent = n.userInfo.value(SNP_CanonCameraDownloadProgressPercent).toUInt();
            p.onMainThread = QThread::currentThread() == qApp->thread();
            std::lock_guard<std::mutex> g(m);
            progress.push_back(p);
        });
    }

    void TearDown() override
    {
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        if (sim) {
            sim->clearFaults();
            sim->releaseStalledDownloads();
            EXPECT_TRUE(sim->waitForIdle());
        }
        if (camera) {
            camera->setDelegate(nullptr);
            camera->unload();
            camera.reset();
        }
        EdsSetCurrentSdk(nullptr);
        std::weak_ptr<SimCameraSdk> weak = sim;
        sim.reset();
        EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
        if (HasFailure())
            std::printf("--- log ---\n%s\n", qUtf8Printable(logText()));
        SNP_Log::resetForTesting();
    }

    QString logText() const
    {
        std::fflush(nullptr);
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    int logCount(const QString& text) const { return int(logText().count(text)); }
    // Index of the first line holding text, -1 when none.
    int lineOf(const QString& text) const
    {
        const QStringList lines = logText().split(u'\n');
        for (int i = 0; i < lines.size(); ++i)
            if (lines[i].contains(text))
                return i;
        return -1;
    }

    size_t photoCount()
    {
        std::lock_guard<std::mutex> g(m);
        return photos.size();
    }
    std::vector<Progress> progressSteps()
    {
        std::lock_guard<std::mutex> g(m);
        return progress;
    }
    // Takes a picture and waits until the camera has delivered its request (and the
    // download with every observer has run).
    void shoot()
    {
        const int before = sim->picturesTaken(camId);
        camera->takePicture();
        camera->performNextQueuedCameraCommand();
        ASSERT_TRUE(waitUntil([&] { return sim->picturesTaken(camId) > before; })) << qPrintable(logText());
        ASSERT_TRUE(sim->waitForIdle());
    }
    QByteArray lastPicture() const
    {
        const std::vector<uint8_t> bytes = sim->lastPicture(camId);
        return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    }

    QTemporaryDir dir;
    QString logPath;
    std::shared_ptr<OddItemSdk> sim;
    int camId = 0;
    SNP_CanonCameraPtr camera;
    std::mutex m;
    std::vector<Photo> photos;
    std::vector<Progress> progress;
};

TEST_F(DownloadTest, TransferRequestGivesOnePhotoWithAllBytesAndTheCameraName)
{
    SilentDelegate delegate; // no cancel question answered: the download goes on
    camera->setDelegate(&delegate);
    shoot();
    ASSERT_EQ(photoCount(), 1u);
    const Photo p = photos.front();
    const QByteArray file = lastPicture();
    ASSERT_FALSE(file.isEmpty());
    EXPECT_EQ(p.data.size(), file.size());
    EXPECT_EQ(p.data, file);
    EXPECT_TRUE(p.hasName);
    EXPECT_EQ(p.name, QStringLiteral("IMG_0001.JPG"));
    EXPECT_FALSE(p.onMainThread); // delivered on the SDK's thread
    EXPECT_EQ(p.object, static_cast<const void*>(camera.get()));

    // Progress: ten steps, in order, each delivered on the main thread.
    const auto steps = progressSteps();
    ASSERT_EQ(steps.size(), 10u);
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(steps[i].percent, uint((i + 1) * 10));
        EXPECT_TRUE(steps[i].onMainThread);
    }
    EXPECT_EQ(logCount(QStringLiteral("download progress (100 %)")), 1);

    // The log lines of a good transfer, in order.
    const QStringList lines = {
        QStringLiteral("requests that obj ("),
        QStringLiteral("should download an object"),
        QStringLiteral("starting download of %1 byte file named \"IMG_0001.JPG\"").arg(file.size()),
        QStringLiteral("beginning download"),
        QStringLiteral("download progress (10 %)"),
        QStringLiteral("image download complete"),
    };
    int previous = -1;
    for (const QString& line : lines) {
        const int at = lineOf(line);
        EXPECT_GT(at, previous) << qPrintable(line);
        previous = at;
    }
    EXPECT_TRUE(logText().contains(QStringLiteral("camera Canon EOS 5D Mark II requests that obj (")));
    EXPECT_EQ(logCount(QStringLiteral("error creating image data")), 0);

    // The next picture is a new transfer with the next name.
    shoot();
    ASSERT_EQ(photoCount(), 2u);
    EXPECT_EQ(photos.back().name, QStringLiteral("IMG_0002.JPG"));
    EXPECT_EQ(photos.back().data, lastPicture());
}

TEST_F(DownloadTest, OtherObjectEventsAreLoggedAndIgnored)
{
    ASSERT_TRUE(sim->raiseObjectEvent(camId, kEdsObjectEvent_DirItemCreated));
    ASSERT_TRUE(sim->raiseObjectEvent(camId, kEdsObjectEvent_VolumeInfoChanged));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(logCount(QStringLiteral("received object event 204 for camera Canon EOS 5D Mark II")), 1);
    EXPECT_EQ(logCount(QStringLiteral("received object event 201 for camera Canon EOS 5D Mark II")), 1);
    EXPECT_EQ(logCount(QStringLiteral("should download an object")), 0);
    EXPECT_EQ(sim->callCount(SimOp::Download), 0);
    EXPECT_EQ(photoCount(), 0u);
}

TEST_F(DownloadTest, DelegateCancelStopsTheTransferWithoutPhoto)
{
    CancelAt delegate(30);
    camera->setDelegate(&delegate);
    shoot();
    EXPECT_EQ(photoCount(), 0u);
    EXPECT_EQ(delegate.asked, (std::vector<uint32_t>{10, 20, 30}));
    EXPECT_EQ(progressSteps().size(), 3u); // each asked after its progress was delivered
    EXPECT_EQ(logCount(QStringLiteral("error 5 during download of image stream")), 1);
    EXPECT_GT(lineOf(QStringLiteral("error creating image data from download stream")),
              lineOf(QStringLiteral("error 5 during download of image stream")));

    // The camera still serves the next request.
    camera->setDelegate(nullptr);
    shoot();
    EXPECT_EQ(photoCount(), 1u);
}

TEST_F(DownloadTest, FailureRowsOfTheTransfer)
{
    // Memory stream not created.
    sim->injectFault(SimOp::CreateMemoryStream, EDS_ERR_MEM_ALLOC_FAILED);
    shoot();
    EXPECT_EQ(photoCount(), 0u);
    EXPECT_EQ(logCount(QStringLiteral("error 3 creating memory stream")), 1);
    EXPECT_EQ(logCount(QStringLiteral("error creating image data from download stream")), 1);
    EXPECT_EQ(sim->callCount(SimOp::Download), 0);

    // Transfer fails.
    sim->injectFault(SimOp::Download, EDS_ERR_STREAM_IO_ERROR);
    shoot();
    EXPECT_EQ(photoCount(), 0u);
    EXPECT_EQ(logCount(QStringLiteral("error a0 during download of image stream")), 1);
    EXPECT_EQ(logCount(QStringLiteral("error creating image data from download stream")), 2);

    // Completion refused: the bytes arrived but nothing is announced.
    sim->injectFault(SimOp::DownloadComplete, EDS_ERR_DEVICE_BUSY);
    shoot();
    EXPECT_EQ(photoCount(), 0u);
    EXPECT_EQ(progressSteps().size(), 10u); // this transfer ran through
    EXPECT_EQ(logCount(QStringLiteral("error 81 completing download stream")), 1);
    EXPECT_EQ(logCount(QStringLiteral("image download complete")), 0);
    EXPECT_EQ(logCount(QStringLiteral("error creating image data from download stream")), 2);

    // Every stream made was given back.
    EXPECT_EQ(sim->callCount(SimOp::CreateMemoryStream), 3);

    // Progress handler not registered: the transfer goes on without progress.
    sim->injectFault(SimOp::SetProgressCallback, EDS_ERR_NOT_SUPPORTED);
    shoot();
    EXPECT_EQ(logCount(QStringLiteral("error 7 registering for download progress")), 1);
    ASSERT_EQ(photoCount(), 1u);
    EXPECT_EQ(photos.back().data, lastPicture());
    EXPECT_EQ(progressSteps().size(), 10u); // none more

    // Directory record unreadable: no transfer at all.
    sim->injectFault(SimOp::GetDirectoryItemInfo, EDS_ERR_DEVICE_BUSY);
    shoot();
    EXPECT_EQ(photoCount(), 1u);
    EXPECT_EQ(logCount(QStringLiteral("error 81 reading the directory item information")), 1);
    EXPECT_EQ(sim->callCount(SimOp::CreateMemoryStream), 4);

    // And the camera is still good for the next one.
    shoot();
    EXPECT_EQ(photoCount(), 2u);
}

TEST_F(DownloadTest, FileNamesOfFullLengthOrBadBytes)
{
    {
        std::lock_guard<std::mutex> g(sim->lock);
        sim->name.assign(256, 'N'); // no NUL in the record
    }
    shoot();
    ASSERT_EQ(photoCount(), 1u);
    EXPECT_TRUE(photos.back().hasName);
    EXPECT_EQ(photos.back().name, QString(256, u'N'));

    {
        std::lock_guard<std::mutex> g(sim->lock);
        sim->name = {'I', 'M', 'G', '\xff', '\xfe', '.', 'J', 'P', 'G'};
    }
    shoot();
    ASSERT_EQ(photoCount(), 2u);
    EXPECT_FALSE(photos.back().hasName); // only the data
    EXPECT_EQ(photos.back().data, lastPicture());
    EXPECT_TRUE(logText().contains(QStringLiteral("file named \"(null)\"")));
}

TEST_F(DownloadTest, BufferThatCannotBeAllocatedEndsWithoutTransfer)
{
    {
        std::lock_guard<std::mutex> g(sim->lock);
        sim->sizeOverride = EdsUInt64(1) << 62;
    }
    shoot();
    EXPECT_EQ(photoCount(), 0u);
    EXPECT_EQ(sim->callCount(SimOp::CreateMemoryStream), 0);
    EXPECT_EQ(logCount(QStringLiteral("cannot allocate 4611686018427387904 bytes for the download")), 1);
    {
        std::lock_guard<std::mutex> g(sim->lock);
        sim->sizeOverride = 0;
    }
    shoot();
    EXPECT_EQ(photoCount(), 1u);
}

TEST_F(DownloadTest, UnpluggedMidTransferGivesNoPhoto)
{
    sim->stallNextDownload(50);
    camera->takePicture();
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitUntil([&] { return sim->stalledDownloads() == 1; })) << qPrintable(logText());
    EXPECT_EQ(progressSteps().size(), 5u);
    ASSERT_TRUE(sim->disconnectCamera(camId));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(photoCount(), 0u);
    EXPECT_EQ(logCount(QStringLiteral("error c1 during download of image stream")), 1);
    EXPECT_EQ(logCount(QStringLiteral("error creating image data from download stream")), 1);
    EXPECT_TRUE(logText().contains(QStringLiteral("has disappeared (was shutdown or unplugged)")));
}

TEST_F(DownloadTest, UnpluggedAtAStepOfTheTransfer)
{
    sim->unplugDuringNextDownload(70);
    shoot();
    EXPECT_EQ(photoCount(), 0u);
    EXPECT_EQ(progressSteps().size(), 7u);
    EXPECT_EQ(logCount(QStringLiteral("error c1 during download of image stream")), 1);
}

} // namespace
