// The kiosk windows and effects: the live picture's layout arithmetic, centring in the
// superview, the one-screen toggle, the click-through frame overlay, the go button,
// solid-colour images, named resources and the flipped image.
#include "AppController.h"
#include "PWNSImageFlipped.h"
#include "SNP_Preferences.h"
#include "SNP_Resources.h"
#include "TestSupport.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QVariantAnimation>

#include <gtest/gtest.h>

namespace {

class KioskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(_dir.isValid());
        qputenv("BOOTH_LOG_FILE", _dir.filePath("booth.log").toUtf8());
        SNP_Preferences::setStoreFileForTesting(_dir.filePath("booth.ini"));
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
        c = std::make_unique<AppController>();
    }
    void TearDown() override
    {
        c.reset();
        SNP_Preferences::setStoreFileForTesting(QString());
    }
    QTemporaryDir _dir;
    std::unique_ptr<AppController> c;
};

TEST(LiveLayout, ArithmeticFor1920By1080)
{
    const QRectF f = AppController::liveViewFrameForSize(QSizeF(1920, 1080));
    EXPECT_NEAR(f.width(), 1044.9, 0.01);
    EXPECT_NEAR(f.height(), 696.6, 0.01);
    EXPECT_NEAR(f.x(), 437.55, 0.01);
    EXPECT_NEAR(f.y(), 110.16, 0.01);
    EXPECT_NEAR(AppController::liveCountdownBottomForHeight(1080), 329.4, 0.01);
    const QRectF small = AppController::liveViewFrameForSize(QSizeF(800, 600));
    EXPECT_NEAR(small.height(), 387.0, 0.01);
    EXPECT_NEAR(small.width(), 580.5, 0.01);
    EXPECT_NEAR(small.x(), 109.75, 0.01);
}

TEST_F(KioskTest, ResizeLiveViewToFitLaysOutPictureAndCountdowns)
{
    const QRect field1Before = c->_liveCountdownField1->geometry();
    const QRect field2Before = c->_liveCountdownField2->geometry();
    c->_liveView->resize(1920, 1080);
    c->resizeLiveViewToFit();
    // Bottom-left rules in top-left widget coordinates: top = H - bottom - height.
    const QRect evf = c->_EVFView->geometry();
    EXPECT_EQ(evf, QRectF(437.55, 1080 - 110.16 - 696.6, 1044.9, 696.6).toRect());
    const QRect f1 = c->_liveCountdownField1->geometry();
    const QRect f2 = c->_liveCountdownField2->geometry();
    EXPECT_EQ(f1.x(), field1Before.x());
    EXPECT_EQ(f1.size(), field1Before.size());
    EXPECT_NEAR(1080 - (f1.y() + f1.height()), 329.4, 0.6);
    EXPECT_EQ(f2.x(), field2Before.x());
    EXPECT_EQ(f2.size(), f1.size());
    EXPECT_EQ(f2.y(), f1.y());
    EXPECT_NE(field2Before.y(), f2.y());
}

TEST_F(KioskTest, FrameChangeOfLiveViewRelaysOut)
{
    c->_liveView->resize(1000, 500);
    c->NSViewFrameDidChangeNotification(c->_liveView);
    EXPECT_NEAR(c->_EVFView->height(), 0.645 * 500, 1.0);
    const QRect before = c->_EVFView->geometry();
    c->_liveView->resize(1200, 600);
    c->NSViewFrameDidChangeNotification(c->_touchView); // not the live view: no layout
    EXPECT_EQ(c->_EVFView->geometry(), before);
}

TEST(CenterArithmetic, Cases)
{
    const QRectF s(0, 0, 400, 300);
    // Horizontal, scaled.
    QRectF r = AppController::centeredFrame(s, QRectF(10, 20, 100, 50), true, false, 2.0f, 1.0f);
    EXPECT_EQ(r, QRectF(100, 20, 200, 50));
    // Vertical only keeps the horizontal edge and size.
    r = AppController::centeredFrame(s, QRectF(10, 20, 100, 50), false, true, 1.0f, 1.0f);
    EXPECT_EQ(r, QRectF(10, 125, 100, 50));
    // Wider than the superview: pinned to the left edge with the superview's width.
    r = AppController::centeredFrame(s, QRectF(10, 20, 500, 50), true, true, 1.0f, 1.0f);
    EXPECT_EQ(r, QRectF(0, 125, 400, 50));
    // Taller than the superview: centred all the same, below 0.
    r = AppController::centeredFrame(s, QRectF(10, 20, 100, 400), false, true, 1.0f, 1.0f);
    EXPECT_EQ(r, QRectF(10, -50, 100, 400));
}

TEST_F(KioskTest, CenterInSuperviewMovesWidgets)
{
    QWidget parent;
    parent.resize(400, 300);
    auto* child = new QWidget(&parent);
    child->setGeometry(10, 20, 100, 50);
    c->centerInSuperview(child, true, true, 1.0f, 2.0f);
    EXPECT_EQ(child->geometry(), QRect(150, 100, 100, 100));
    child->setGeometry(10, 20, 100, 400);
    c->centerInSuperview(child, false, true, 1.0f, 1.0f);
    EXPECT_EQ(child->geometry(), QRect(10, -50, 100, 400));
    // Neither direction, a non-view, a view without superview: nothing changes.
    child->setGeometry(10, 20, 100, 50);
    c->centerInSuperview(child, false, false, 3.0f, 3.0f);
    EXPECT_EQ(child->geometry(), QRect(10, 20, 100, 50));
    QObject notAView;
    c->centerInSuperview(&notAView, true, true, 1.0f, 1.0f);
    QWidget orphan;
    orphan.setGeometry(5, 5, 50, 50);
    c->centerInSuperview(&orphan, true, true, 1.0f, 1.0f);
    EXPECT_EQ(orphan.geometry(), QRect(5, 5, 50, 50));
}

TEST_F(KioskTest, OneScreenToggleSwapsTheLiveContent)
{
    ASSERT_EQ(QGuiApplication::screens().size(), 1);
    QWidget* content = c->findChild<QWidget*>(QStringLiteral("_liveContentView"));
    ASSERT_NE(content, nullptr);
    ASSERT_NE(c->_liveWindow, nullptr);
    EXPECT_TRUE(c->_liveWindow->isWindow());
    EXPECT_EQ(c->_fullWindow, nullptr);

    c->toggleFullScreen(c.get());
    ASSERT_NE(c->_fullWindow, nullptr);
    EXPECT_TRUE(c->_fullWindow->isVisible());
    EXPECT_TRUE(c->_fullWindow->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_FALSE(c->_liveWindow->isVisible());
    EXPECT_EQ(content->parentWidget(), c->_fullWindow);
    const QRect g = QGuiApplication::screens().last()->geometry();
    EXPECT_EQ(c->_fullWindow->geometry(), QRect(g.x(), g.y() + g.height() - g.height() / 2, g.width() / 2, g.height() / 2));

    c->toggleFullScreen(c.get());
    EXPECT_FALSE(c->_fullWindow->isVisible());
    EXPECT_TRUE(c->_liveWindow->isVisible());
    EXPECT_EQ(content->parentWidget(), c->_liveWindow);
    EXPECT_TRUE(c->_EVFView->isVisibleTo(c->_liveWindow) || c->_EVFView->isHidden());
}

TEST_F(KioskTest, OverlayCarriesTheFrameOverTheLivePictureAndIgnoresTheMouse)
{
    c->_liveWindow->resize(1920, 1080);
    c->_liveWindow->show();
    ASSERT_TRUE(waitUntil([&] { return c->_liveView->size() == QSize(1920, 1080); }));
    c->resizeLiveViewToFit();
    c->setOverlayWindow();
    QWidget* overlay = c->_overlayWindow;
    ASSERT_NE(overlay, nullptr);
    EXPECT_FALSE(overlay->isWindow());
    EXPECT_TRUE(overlay->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_EQ(overlay->parentWidget(), c->_EVFView->parentWidget());
    const QRect evf = c->_EVFView->geometry();
    EXPECT_EQ(overlay->geometry(), evf.adjusted(-50, -50, 50, 50));
    ASSERT_NE(c->_overlayImageView, nullptr);
    EXPECT_EQ(c->_overlayImageView->pixmap().size(), evf.size() + QSize(50, 50));
    EXPECT_TRUE(c->_overlayContentView->isHidden());
    const QObjectList siblings = overlay->parentWidget()->children();
    EXPECT_GT(siblings.indexOf(overlay), siblings.indexOf(c->_EVFView)); // above

    // Rendered: the camera picture shows through the frame's window, the frame around it.
    QImage red(10, 10, QImage::Format_RGB32);
    red.fill(Qt::red);
    c->_EVFView->setPixmap(QPixmap::fromImage(red));
    c->_EVFView->show();
    c->_overlayContentView->show();
    QImage shot(c->_liveView->size(), QImage::Format_RGB32);
    c->_liveView->render(&shot);
    EXPECT_EQ(shot.pixelColor(evf.center()), QColor(Qt::red));
    const QPoint onFrame(evf.left() + 5, evf.center().y());
    EXPECT_NE(shot.pixelColor(onFrame), QColor(Qt::red));

    // The overlay follows the picture when the live view changes size.
    c->_liveWindow->resize(1280, 720);
    ASSERT_TRUE(waitUntil([&] { return c->_liveView->size() == QSize(1280, 720); }));
    c->resizeLiveViewToFit();
    EXPECT_EQ(c->_EVFView->height(), qRound(0.645 * 720));
    EXPECT_EQ(overlay->geometry(), c->_EVFView->geometry().adjusted(-50, -50, 50, 50));
}

TEST_F(KioskTest, GoButtonCoversTheTouchViewAndHoldsTheNotice)
{
    c->show(); // resize events reach shown widgets only
    ASSERT_TRUE(waitUntil([&] { return c->isVisible(); }));
    c->_touchView->resize(1024, 700);
    c->setGoButton();
    ASSERT_NE(c->_goButton, nullptr);
    EXPECT_EQ(c->_goButton->parentWidget(), c->_touchView);
    EXPECT_EQ(c->_goButton->geometry(), c->_touchView->rect());
    EXPECT_EQ(c->_goButton->text(), QStringLiteral("aeiou"));
    EXPECT_EQ(c->_badEmail->parentWidget(), c->_goButton);
    EXPECT_TRUE(c->_badEmail->isHidden());
    EXPECT_FALSE(c->_badEmail->isEnabled());
    const QRect notice = c->_badEmail->geometry();
    EXPECT_EQ(notice.center(), c->_goButton->rect().center());
    const QImage cover = c->_badEmail->pixmap().toImage();
    ASSERT_EQ(cover.size(), QSize(100, 100));
    const QColor px = cover.convertToFormat(QImage::Format_ARGB32).pixelColor(3, 3);
    EXPECT_NEAR(px.alphaF(), 0.85, 0.01);
    EXPECT_NEAR(px.redF(), 0.937, 0.01);
    // The button keeps covering the touch view when it changes size.
    c->_touchView->resize(800, 600);
    EXPECT_TRUE(waitUntil([&] { return c->_goButton->geometry() == QRect(0, 0, 800, 600); }));
    // A touch advances the screens.
    c->_screenNumber = 1;
    c->_goButton->click();
    EXPECT_EQ(c->_screenNumber.load(), 2u);
}

TEST(SolidImages, BlackAndColoured)
{
    const QImage black = AppController::blackImage();
    ASSERT_EQ(black.size(), QSize(100, 100));
    for (QPoint p : {QPoint(0, 0), QPoint(99, 99), QPoint(50, 20)})
        EXPECT_EQ(black.pixelColor(p), QColor(Qt::black));
    const QImage green = AppController::imageWithSolidColor(QColor(0, 200, 0));
    EXPECT_EQ(green.pixelColor(99, 0), QColor(0, 200, 0));
}

TEST_F(KioskTest, FlashEffectPulsesWithAnOrangeBorder)
{
    QWidget view;
    view.resize(200, 150);
    c->setFlashEffectForView(&view);
    ASSERT_NE(c->_flashLayer, nullptr);
    EXPECT_EQ(c->_flashLayer->parentWidget(), &view);
    EXPECT_EQ(c->_flashLayer->geometry(), view.rect());
    ASSERT_NE(c->_flashAnimation, nullptr);
    EXPECT_EQ(c->_flashAnimation->loopCount(), -1);
    EXPECT_EQ(c->_flashAnimation->duration(), 2000);
    EXPECT_EQ(c->_flashAnimation->state(), QAbstractAnimation::Running);
    EXPECT_NEAR(c->_flashAnimation->keyValueAt(0.5).toDouble(), 1.0, 1e-9);
    QImage shot(view.size(), QImage::Format_RGB32);
    shot.fill(Qt::white);
    view.render(&shot, QPoint(), QRegion(), QWidget::DrawChildren);
    EXPECT_EQ(shot.pixelColor(2, 75), QColor(239, 142, 35));
}

TEST_F(KioskTest, ResourceFolderReplacesStockResourcesByName)
{
    EXPECT_FALSE(SNP_Resources::imageNamed(QStringLiteral("touch1")).isNull());
    const QImage frame = SNP_Resources::imageNamed(QStringLiteral("LumoPictureFrame.png"));
    ASSERT_FALSE(frame.isNull());
    // The photo window of 568 x 354, centred, is transparent; the border is not.
    const QPoint centre(frame.width() / 2, frame.height() / 2);
    EXPECT_EQ(frame.pixelColor(centre).alpha(), 0);
    EXPECT_EQ(frame.pixelColor((frame.width() - 568) / 2 + 1, centre.y()).alpha(), 0);
    EXPECT_EQ(frame.pixelColor(2, 2).alpha(), 255);
    EXPECT_TRUE(SNP_Resources::soundNamed(QStringLiteral("Grab")).isValid());
    EXPECT_TRUE(SNP_Resources::imageNamed(QStringLiteral("touch7")).isNull());
    EXPECT_TRUE(SNP_Resources::pathForResource(QStringLiteral("../etc/passwd"), {}).isEmpty());

    QTemporaryDir own;
    QImage mine(7, 5, QImage::Format_RGB32);
    mine.fill(Qt::magenta);
    ASSERT_TRUE(mine.save(own.filePath("touch1.png")));
    auto store = SNP_Preferences::store();
    store->setValue(QStringLiteral("resourceFolder"), own.path());
    store->sync();
    EXPECT_EQ(SNP_Resources::imageNamed(QStringLiteral("touch1")).size(), QSize(7, 5));
    EXPECT_NE(SNP_Resources::imageNamed(QStringLiteral("touch2")).size(), QSize(7, 5)); // stock
}

TEST_F(KioskTest, DecodedImagesAreKeptUntilTheirFileChanges)
{
    QTemporaryDir own;
    const auto save = [&](const char* name, QColor colour) {
        QImage image(7, 5, QImage::Format_RGB32);
        image.fill(colour);
        return image.save(own.filePath(QString::fromLatin1(name)));
    };
    ASSERT_TRUE(save("touch1.png", Qt::magenta));
    ASSERT_TRUE(save("touch2.png", Qt::cyan));
    auto store = SNP_Preferences::store();
    store->setValue(QStringLiteral("resourceFolder"), own.path());
    store->sync();

    const QImage first = SNP_Resources::imageNamed(QStringLiteral("touch1"));
    ASSERT_EQ(first.pixelColor(0, 0), QColor(Qt::magenta));
    EXPECT_EQ(SNP_Resources::imageNamed(QStringLiteral("touch1")).cacheKey(), first.cacheKey()); // not decoded again

    // The operator replaces the picture with one of the same size: it is read anew.
    ASSERT_TRUE(QFile::remove(own.filePath("touch1.png")));
    ASSERT_TRUE(save("touch1.png", Qt::yellow));
    QFile replaced(own.filePath("touch1.png"));
    ASSERT_TRUE(replaced.open(QIODevice::ReadWrite));
    ASSERT_TRUE(replaced.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
    replaced.close();
    EXPECT_EQ(SNP_Resources::imageNamed(QStringLiteral("touch1")).pixelColor(0, 0), QColor(Qt::yellow));

    // With room for one picture only, the least recently used one goes.
    SNP_Resources::setImageCacheBudgetForTesting(7 * 5 * 4);
    const QImage one = SNP_Resources::imageNamed(QStringLiteral("touch1"));
    EXPECT_EQ(SNP_Resources::imageNamed(QStringLiteral("touch1")).cacheKey(), one.cacheKey());
    EXPECT_EQ(SNP_Resources::imageNamed(QStringLiteral("touch2")).pixelColor(0, 0), QColor(Qt::cyan));
    EXPECT_NE(SNP_Resources::imageNamed(QStringLiteral("touch1")).cacheKey(), one.cacheKey());
    SNP_Resources::setImageCacheBudgetForTesting(-1);

    // A picture removed from the folder falls back to the stock one.
    ASSERT_TRUE(QFile::remove(own.filePath("touch1.png")));
    EXPECT_EQ(SNP_Resources::imageNamed(QStringLiteral("touch1")).size(), QSize(1024, 768));
}

QImage topRedBottomBlue()
{
    QImage image(4, 2, QImage::Format_ARGB32);
    for (int x = 0; x < 4; ++x) {
        image.setPixelColor(x, 0, Qt::red);
        image.setPixelColor(x, 1, Qt::blue);
    }
    return image;
}

TEST(FlippedImage, DrawAtPointIsUpsideDownInItsOwnPlace)
{
    PWNSImageFlipped image(topRedBottomBlue());
    image.setFlippedVertically(true);
    EXPECT_TRUE(image.isFlippedVertically());
    QImage canvas(10, 10, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    {
        QPainter p(&canvas);
        image.drawAtPoint(p, QPointF(3, 4));
    }
    EXPECT_EQ(canvas.pixelColor(3, 4), QColor(Qt::blue));
    EXPECT_EQ(canvas.pixelColor(6, 5), QColor(Qt::red));
    EXPECT_EQ(canvas.pixelColor(3, 3), QColor(Qt::white));
    EXPECT_EQ(canvas.pixelColor(3, 6), QColor(Qt::white));
    // Flipped whatever the flag holds.
    image.setFlippedVertically(false);
    canvas.fill(Qt::white);
    {
        QPainter p(&canvas);
        image.drawAtPoint(p, QPointF(0, 0));
    }
    EXPECT_EQ(canvas.pixelColor(0, 0), QColor(Qt::blue));
}

TEST(FlippedImage, DrawInRectAndRepresentationAreUpright)
{
    PWNSImageFlipped image(topRedBottomBlue());
    image.setFlippedVertically(true);
    QImage canvas(8, 4, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    {
        QPainter p(&canvas);
        image.drawInRect(p, QRectF(0, 0, 8, 4));
    }
    EXPECT_EQ(canvas.pixelColor(1, 0), QColor(Qt::red));
    EXPECT_EQ(canvas.pixelColor(1, 3), QColor(Qt::blue));
    canvas.fill(Qt::white);
    {
        QPainter p(&canvas);
        EXPECT_TRUE(image.drawRepresentation(p, QRectF(0, 0, 4, 2)));
        EXPECT_FALSE(PWNSImageFlipped().drawRepresentation(p, QRectF(0, 0, 4, 2)));
    }
    EXPECT_EQ(canvas.pixelColor(0, 0), QColor(Qt::red));
}

TEST(FlippedImage, MadeFromJpegDataKeepingIt)
{
    QImage source(64, 48, QImage::Format_RGB32);
    source.fill(QColor(10, 200, 30));
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(source.save(&buffer, "JPEG"));
    QByteArray stream = jpeg + QByteArray(4096, '\0'); // the camera's buffer is larger than the frame

    PWNSImageFlipped frame = PWNSImageFlipped::imageWithData(stream);
    ASSERT_FALSE(frame.isNull());
    EXPECT_EQ(frame.size(), QSize(64, 48));
    frame.setFlippedVertically(true);
    EXPECT_TRUE(frame.sourceData().isEmpty()); // not retained yet
    frame.setDataRetained(true);
    EXPECT_EQ(frame.sourceData(), stream);

    EXPECT_TRUE(PWNSImageFlipped::imageWithData(QByteArray("not an image")).isNull());
    EXPECT_TRUE(PWNSImageFlipped::imageWithData(QByteArray()).isNull());

    // Through a notification's user info.
    const QVariant carried = QVariant::fromValue(frame);
    QImage shown;
    ASSERT_TRUE(PWNSImageFlipped::imageFromVariant(carried, &shown));
    EXPECT_EQ(shown.size(), QSize(64, 48));
    EXPECT_EQ(carried.value<PWNSImageFlipped>().isFlippedVertically(), true);
    EXPECT_FALSE(PWNSImageFlipped::imageFromVariant(QVariant(QStringLiteral("text")), &shown));
}

} // namespace
