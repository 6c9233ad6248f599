// Filing set up without any window: the folders below a temporary folder, a frame of its
// own with a transparent photo window, and a fixed filing clock.
#pragma once

#include "SNP_Filing.h"
#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_XMLinEXIF.h"
#include "TestSupport.h"

#include "../support/JpegFixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

class FilingTest : public fixtures::LoggedTest {
protected:
    void SetUp() override
    {
        fixtures::LoggedTest::SetUp();
        resources = dir.filePath("resources");
        scratch = dir.filePath("scratch");
        mainImages = dir.filePath("main");
        upload = dir.filePath("upload");
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
    SNP_Filing::Folders folders() const { return SNP_Filing::Folders{scratch, mainImages, upload}; }
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
};

} // namespace photo_fixture
