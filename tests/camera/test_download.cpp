// Picture download over the simulated camera: the transfer request, progress steps on the
// main thread, one photo notification with all the bytes and the camera's file name, and
// every way a transfer can end without a photo.
#include "SimCameraSdk.h"
#include "camera/CameraFixture.h"

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

namespace {

// The simulated camera with the directory record rewritten, for names and sizes a real
// camera could report.
class OddItemSdk : public SimCameraSdk {
public:
    // Replaces the file name bytes when not empty (256 max) and the size when not 0.
    void setRecord(std::vector<char> bytes, EdsUInt64 size)
    {
        std::lock_guard<std::mutex> g(lock);
        name = std::move(bytes);
        sizeOverride = size;
    }

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

private:
    std::mutex lock;  // guards the two below
    std::vector<char> name;
    EdsUInt64 sizeOverride = 0;
};

class CancelAt : public SNP_CanonCameraDelegate {
public:
    explicit CancelAt(uint32_t p) : at(p) {}
    bool cancelDownloadForProgress(uint32_t percent) override { return percent >= at; }
    uint32_t at;
};

class DownloadTest : public CameraFixture<OddItemSdk> {
protected:
    void SetUp() override
    {
        CameraFixture::SetUp();
        sdk->setPictureSize(640, 480);
    }
    void TearDown() override
    {
        EXPECT_TRUE(sdk->waitForIdle());
        camera->setDelegate(nullptr);
        CameraFixture::TearDown();
    }
    // Takes a picture and waits until its transfer request and every observer have run.
    void shoot()
    {
        const int before = sdk->picturesTaken(camId);
        camera->takePicture();
        camera->performNextQueuedCameraCommand();
        ASSERT_TRUE(waitUntil([&] { return sdk->picturesTaken(camId) > before; }));
        ASSERT_TRUE(sdk->waitForIdle());
    }
    std::vector<Received> photos() { return receivedNamed(SNP_CanonCameraPhotoDataAvailable); }
    size_t steps() { return receivedNamed(SNP_CanonCameraDownloadProgress).size(); }
    QByteArray lastPicture() const
    {
        const std::vector<uint8_t> bytes = sdk->lastPicture(camId);
        return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    }
};

TEST_F(DownloadTest, TransferRequestGivesOnePhotoWithAllBytesAndTheCameraName)
{
    SNP_CanonCameraDelegate silent;  // asked nothing it answers: the download goes on
    camera->setDelegate(&silent);
    shoot();
    ASSERT_EQ(photos().size(), 1u);
    const Received photo = photos()[0];
    EXPECT_EQ(photo.userInfo.value(SNP_CanonCameraPhotoData).toByteArray(), lastPicture());
    EXPECT_EQ(photo.userInfo.value(SNP_CanonCameraPhotoFilename).toString(), QStringLiteral("IMG_0001.JPG"));
    const std::vector<Received> progress = receivedNamed(SNP_CanonCameraDownloadProgress);
    ASSERT_EQ(progress.size(), 10u);
    for (size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(progress[i].userInfo.value(SNP_CanonCameraDownloadProgressPercent).toUInt(), uint((i + 1) * 10));
        EXPECT_TRUE(progress[i].onMainThread);
    }
    // The next picture is a new transfer with the next name; a large or damaged file arrives
    // byte for byte all the same (deciding what it is is not the camera's).
    sdk->setPictureFileSize(3000000);
    sdk->injectPictureFault(SimDataFault::Garbage);
    shoot();
    ASSERT_EQ(photos().size(), 2u);
    EXPECT_EQ(photos()[1].userInfo.value(SNP_CanonCameraPhotoFilename).toString(), QStringLiteral("IMG_0002.JPG"));
    EXPECT_EQ(photos()[1].userInfo.value(SNP_CanonCameraPhotoData).toByteArray(), lastPicture());

    // Other object events start no transfer. A name filling the whole record (no NUL) is
    // kept whole; one that is not UTF-8 is left out, the data still delivered.
    ASSERT_TRUE(sdk->raiseObjectEvent(camId, kEdsObjectEvent_DirItemCreated));
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(photos().size(), 2u);
    sdk->setRecord(std::vector<char>(256, 'N'), 0);
    shoot();
    EXPECT_EQ(photos().back().userInfo.value(SNP_CanonCameraPhotoFilename).toString(), QString(256, u'N'));
    sdk->setRecord({'I', 'M', 'G', '\xff', '\xfe', '.', 'J', 'P', 'G'}, 0);
    shoot();
    ASSERT_EQ(photos().size(), 4u);
    EXPECT_FALSE(photos().back().userInfo.contains(SNP_CanonCameraPhotoFilename));
    EXPECT_EQ(photos().back().userInfo.value(SNP_CanonCameraPhotoData).toByteArray(), lastPicture());
}

// Each way a transfer ends without a photo gives back every stream and item it took, and
// the camera serves the next picture.
TEST_F(DownloadTest, TransfersThatGiveNoPhoto)
{
    const struct {
        const char* name;
        SimOp op;
        EdsError error;  // 0: no fault
        EdsUInt64 size;  // the reported size, when not 0
        uint32_t cancelAt, unplugAt;
        bool photo;
        size_t steps;
    } rows[] = {
        {"no memory stream", SimOp::CreateMemoryStream, EDS_ERR_MEM_ALLOC_FAILED, 0, 0, 0, false, 0},
        {"transfer fails", SimOp::Download, EDS_ERR_STREAM_IO_ERROR, 0, 0, 0, false, 0},
        {"completion refused", SimOp::DownloadComplete, EDS_ERR_DEVICE_BUSY, 0, 0, 0, false, 10},
        {"no progress handler", SimOp::SetProgressCallback, EDS_ERR_NOT_SUPPORTED, 0, 0, 0, true, 0},
        {"directory record unreadable", SimOp::GetDirectoryItemInfo, EDS_ERR_DEVICE_BUSY, 0, 0, 0, false, 0},
        {"buffer too large to allocate", SimOp::Download, 0, EdsUInt64(1) << 62, 0, 0, false, 0},
        {"delegate cancels at 30 %", SimOp::Download, 0, 0, 30, 0, false, 3},
        {"unplugged at 70 %", SimOp::Download, 0, 0, 0, 70, false, 7},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const int handles = sdk->liveObjectCount();
        const size_t photosBefore = photos().size(), stepsBefore = steps();
        if (row.error)
            sdk->injectFault(row.op, row.error);
        sdk->setRecord({}, row.size);
        CancelAt cancel(row.cancelAt);
        camera->setDelegate(row.cancelAt ? &cancel : nullptr);
        if (row.unplugAt)
            sdk->unplugDuringNextDownload(row.unplugAt);
        shoot();
        camera->setDelegate(nullptr);
        EXPECT_EQ(photos().size() - photosBefore, row.photo ? 1u : 0u);
        EXPECT_EQ(steps() - stepsBefore, row.steps);
        if (row.unplugAt)
            break;
        EXPECT_EQ(sdk->liveObjectCount(), handles);
        sdk->setRecord({}, 0);
        shoot();
        EXPECT_EQ(photos().size() - photosBefore, row.photo ? 2u : 1u);
    }
}

// A delegate going away sets the camera's delegate to null; from then on it is asked
// nothing, even when a question was under way on the camera's thread as it did.
TEST_F(DownloadTest, ADelegateSetAsideIsAskedNothingOnceThatReturns)
{
    struct Held : SNP_CanonCameraDelegate {
        std::atomic<bool> asked{false};
        std::shared_future<void> release;
        std::atomic<int> questions{0};
        std::atomic<bool>* setAside = nullptr;
        bool setAsideWhileAsked = false;
        bool cancelDownloadForProgress(uint32_t) override
        {
            if (questions++ == 0) {
                asked = true;
                release.wait();
                setAsideWhileAsked = setAside->load();
            }
            return false;
        }
    } held;
    std::promise<void> release;
    std::atomic<bool> setAside{false};
    held.release = release.get_future().share();
    held.setAside = &setAside;
    camera->setDelegate(&held);
    camera->takePicture();
    camera->performNextQueuedCameraCommand();
    ASSERT_TRUE(waitUntil([&] { return held.asked.load(); }, 10000));
    std::thread goingAway([&] {
        camera->setDelegate(nullptr);
        setAside = true;
    });
    waitUntil([&] { return setAside.load(); }, 200); // long enough for a setter that does not wait
    release.set_value();
    goingAway.join();
    ASSERT_TRUE(waitUntil([&] { return photos().size() == 1; }, 10000)); // the download goes on
    EXPECT_FALSE(held.setAsideWhileAsked);
    EXPECT_EQ(held.questions.load(), 1);
}

}  // namespace
