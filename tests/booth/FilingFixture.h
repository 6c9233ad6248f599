// Filing set up without any window: the folders below a temporary folder, a frame of its
// own with a transparent photo window, and a fixed filing clock; pictures as the camera
// makes them and a check that a filed or upload file is whole with its visitor's addresses.
//
// Threads: the test's own; filing runs on the thread that calls it.
#pragma once

#include "BoothTeardown.h"
#include "SNP_Filing.h"
#include "SNP_ImagePipeline.h"

#include "../support/JpegFixtures.h"

#include <QPainter>

#include <gtest/gtest.h>

#include <random>

namespace photo_fixture {

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

// A photograph-like picture that does not compress to nothing: about 1.2 MB.
inline QByteArray noisyPicture(unsigned seed)
{
    QImage noisy(1200, 900, QImage::Format_RGB888);
    std::mt19937 noise(seed);
    for (int y = 0; y < noisy.height(); ++y)
        for (int x = 0; x < noisy.width() * 3; ++x)
            noisy.scanLine(y)[x] = uchar(noise());
    return fixtures::cameraJpeg(noisy);
}

class FilingTest : public fixtures::LoggedTest {
protected:
    void SetUp() override
    {
        fixtures::LoggedTest::SetUp();
        ASSERT_TRUE(QDir().mkpath(resources));
        ASSERT_TRUE(frameImage(1000, 700).save(resources + "/LumoPictureFrame.png"));
        SNP_Preferences::setStoreFileForTesting(dir.filePath("booth.ini"));
        SNP_Preferences::setArguments(QStringList{"booth", "-resourceFolder", resources, "-scratchFolder", scratch,
                                                  "-mainImagesFolder", mainImages, "-forUploadFolder", upload});
        setClock(QDateTime(QDate(2010, 2, 2), QTime(14, 30, 5)));
    }
    void TearDown() override
    {
        SNP_Filing::setClockForTesting(nullptr);
        SNP_Preferences::setStoreFileForTesting(QString());
        SNP_Preferences::setArguments(QStringList{"booth"});
        fixtures::LoggedTest::TearDown();
    }

    void setClock(const QDateTime& t)
    {
        SNP_Filing::setClockForTesting([t] { return t; });
    }
    QByteArray picture(QColor colour = QColor(20, 40, 220))
    {
        return fixtures::cameraJpeg(fixtures::solidImage(600, 400, colour));
    }
    // A filed picture or upload file is whole and carries exactly these addresses.
    static void expectWhole(const QString& path, const QStringList& addresses)
    {
        EXPECT_TRUE(SNP_ImagePipeline::decodeJpeg(readFile(path)).has_value()) << qPrintable(path) << " is not whole";
        EXPECT_EQ(addressesIn(path), addresses) << qPrintable(path);
    }
    QString dayFile(const QString& day, const QString& name) const { return mainImages + "/" + day + "/" + name; }
    QString uploadFile(const QString& day, const QString& name) const
    {
        return upload + mainImages + "/" + day + "/" + name;
    }

    const QString resources = dir.filePath("resources"), scratch = dir.filePath("scratch"),
                  mainImages = dir.filePath("main"), upload = dir.filePath("upload");
};

} // namespace photo_fixture
