// The booth set up for photo intake: the filing's folders, frame and clock (FilingFixture.h)
// with the controller, and pictures delivered from a thread of their own as the camera
// delivers them.
#pragma once

#include "AppController.h"
#include "FilingFixture.h"
#include "SNP_CanonCameraNotifications.h"

#include <QLabel>

#include <memory>
#include <thread>

namespace photo_fixture {

class PhotoTest : public FilingTest {
protected:
    void SetUp() override
    {
        qputenv("BOOTH_LOG_FILE", dir.filePath("test.log").toUtf8());
        FilingTest::SetUp();
        c = std::make_unique<AppController>();
        ASSERT_EQ(gScratchFolder(), scratch);
        c->_EVFView->resize(320, 240);
    }
    void TearDown() override
    {
        c.reset();
        AppController::setOpenFileHandlerForTesting(nullptr);
        FilingTest::TearDown();
    }

    // Delivers the photo notification from a thread of its own, as the camera does, and
    // waits until the intake has ended.
    void deliver(const QByteArray& bytes, const QString& name = QStringLiteral("IMG_0001.JPG"))
    {
        const uint64_t before = c->photoIntakeCount();
        SNP_Notification n{SNP_CanonCameraPhotoDataAvailable, SNP_NotificationObject::nil(),
                           QVariantMap{{SNP_CanonCameraPhotoData, bytes}, {SNP_CanonCameraPhotoFilename, name}}};
        std::thread camera([&] { c->newPhoto(n); });
        const bool done = waitUntil([&] { return c->photoIntakeCount() > before; }, 20000);
        camera.join();
        ASSERT_TRUE(done);
    }
    void onCaptureScreen(const QStringList& emails)
    {
        c->setEmails(emails);
        c->_screenNumber.store(5);
    }
    std::unique_ptr<AppController> c;
};

} // namespace photo_fixture
