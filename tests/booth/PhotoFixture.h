// The booth set up for photo intake and filing: its folders below a temporary folder, a
// frame of its own with a transparent photo window, a fixed filing clock, and pictures
// delivered from a thread of their own as the camera delivers them.
#pragma once

#include "AppController.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_XMLinEXIF.h"
#include "TestSupport.h"

#include "../support/JpegFixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace photo_fixture {

using fixtures::exifOf;
using fixtures::exifString;
using fixtures::readFile;

// A frame: opaque white with a transparent hole over the photo window.
inline QImage frameImage(int width, int height, int dpi = 72)
{
    QImage frame(width, height, QImage::Format_ARGB32);
    frame.fill(Qt::white);
    const QRectF window = SNP_ImagePipeline::photoWindowForCompositeSize(QSizeF(width, height));
    QPainter p(&frame);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(window.adjusted(2, 2, -2, -2), Qt::transparent);
    p.end();
    frame.setDotsPerMeterX(qRound(dpi / 0.0254));
    frame.setDotsPerMeterY(qRound(dpi / 0.0254));
    return frame;
}

inline QStringList filesBelow(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

class PhotoTest : public fixtures::LoggedTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        qputenv("BOOTH_LOG_FILE", dir.filePath("test.log").toUtf8());
        logPath = dir.filePath("test.log");
        resources = dir.filePath("resources");
        scratch = dir.filePath("scratch");
        mainImages = dir.filePath("main");
        upload = dir.filePath("upload");
        ASSERT_TRUE(QDir().mkpath(resources));
        ASSERT_TRUE(frameImage(1000, 700).save(resources + "/LumoPictureFrame.png"));
        SNP_Preferences::setStoreFileForTesting(dir.filePath("booth.ini"));
        SNP_Preferences::setArguments(QStringList{"booth", "-resourceFolder", resources, "-scratchFolder", scratch,
                                                  "-mainImagesFolder", mainImages, "-forUploadFolder", upload});
        c = std::make_unique<AppController>();
        ASSERT_EQ(gScratchFolder(), scratch);
        c->_EVFView->resize(320, 240);
        setClock(QDateTime(QDate(2010, 2, 2), QTime(14, 30, 5)));
    }
    void TearDown() override
    {
        c.reset();
        AppController::setPhotoClockForTesting(nullptr);
        AppController::setOpenFileHandlerForTesting(nullptr);
        SNP_Preferences::setStoreFileForTesting(QString());
        SNP_Preferences::setArguments(QStringList{"booth"});
        fixtures::LoggedTest::TearDown();
    }

    void setClock(const QDateTime& t)
    {
        AppController::setPhotoClockForTesting([t] { return t; });
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
    QByteArray picture(QColor colour = QColor(20, 40, 220), int w = 600, int h = 400)
    {
        return fixtures::cameraJpeg(fixtures::solidImage(w, h, colour));
    }
    static QVariantMap plist(const QString& path)
    {
        return SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(path).value_or(QVariantMap());
    }
    QString dayFile(const QString& day, const QString& name) const { return mainImages + "/" + day + "/" + name; }
    QString uploadFile(const QString& day, const QString& name) const
    {
        return upload + mainImages + "/" + day + "/" + name;
    }

    QString resources, scratch, mainImages, upload;
    std::unique_ptr<AppController> c;
};

} // namespace photo_fixture
