// The kiosk windows and effects: the kiosk on one and two screens of many sizes (each
// arrangement in a child process on Qt's offscreen platform), the live layout, centring
// in the superview, the click-through frame overlay, the go button, solid-colour images,
// named resources and the flipped image.
#include "AppController.h"
#include "PWNSImageFlipped.h"
#include "SNP_Preferences.h"
#include "SNP_Resources.h"
#include "TestSupport.h"

#include "BoothTeardown.h"
#include "SNP_KeyboardView.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
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

// ---- the kiosk on screens of any size ----

// Screen lists for the offscreen platform, which orders screens by name: the first is
// the touch screen, the last the live screen.
struct ScreenSetup {
    const char* name;
    const char* screens;
};
const ScreenSetup kScreenSetups[] = {
    {"one 1920 x 1080", R"([{"name": "1", "x": 0, "y": 0, "width": 1920, "height": 1080}])"},
    {"one 1280 x 720", R"([{"name": "1", "x": 0, "y": 0, "width": 1280, "height": 720}])"},
    {"1280 x 800 and 1920 x 1080",
     R"([{"name": "1", "x": 0, "y": 0, "width": 1280, "height": 800}, {"name": "2", "x": 1280, "y": 0, "width": 1920, "height": 1080}])"},
    {"upright 1080 x 1920 and 3840 x 2160",
     R"([{"name": "1", "x": 0, "y": 0, "width": 1080, "height": 1920}, {"name": "2", "x": 1080, "y": 0, "width": 3840, "height": 2160}])"},
    {"1366 x 768 and 1280 x 720",
     R"([{"name": "1", "x": 0, "y": 0, "width": 1366, "height": 768}, {"name": "2", "x": 1366, "y": 0, "width": 1280, "height": 720}])"},
};

TEST(KioskScreens, EveryArrangementRunsTheScreensFullAndUncovered)
{
    for (const ScreenSetup& setup : kScreenSetups) {
        SCOPED_TRACE(setup.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        QFile json(dir.filePath("screens.json"));
        ASSERT_TRUE(json.open(QIODevice::WriteOnly));
        json.write(QByteArray("{\"screens\": ") + setup.screens + "}");
        json.close();
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + json.fileName());
        env.insert("BOOTH_KIOSK_CHILD", dir.path());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=KioskScreensChild.*"});
        ASSERT_TRUE(child.waitForFinished(120000));
        const QString out = QString::fromUtf8(child.readAll());
        EXPECT_EQ(child.exitCode(), 0) << qPrintable(out);
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << qPrintable(out);
    }
}

// The bounding box of the pure red pixels of a grabbed window.
QRect redArea(const QImage& shot)
{
    QRect area;
    const QImage image = shot.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (qRed(line[x]) > 200 && qGreen(line[x]) < 50 && qBlue(line[x]) < 50)
                area |= QRect(x, y, 1, 1);
    }
    return area;
}

// A picture of the aspect shown whole, centred, reaching two opposite edges of the window.
void expectLetterboxed(const QImage& shot, double aspect)
{
    const QRect red = redArea(shot);
    ASSERT_FALSE(red.isEmpty());
    EXPECT_NEAR(double(red.width()) / red.height(), aspect, 0.02 * aspect) << red.width() << "x" << red.height();
    const bool fullWidth = red.left() == 0 && red.right() == shot.width() - 1;
    const bool fullHeight = red.top() == 0 && red.bottom() == shot.height() - 1;
    EXPECT_TRUE(fullWidth || fullHeight);
    EXPECT_NEAR(red.center().x(), shot.width() / 2, 2);
    EXPECT_NEAR(red.center().y(), shot.height() / 2, 2);
}

QRect globalRect(const QWidget* widget) { return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()); }

// Runs only in the children of the test above, with the screens it gives.
TEST(KioskScreensChild, TheScreensOfOneArrangement)
{
    const QString folder = qEnvironmentVariable("BOOTH_KIOSK_CHILD");
    if (folder.isEmpty())
        GTEST_SKIP() << "runs in the child processes of KioskScreens";
    const QList<QScreen*> screens = QGuiApplication::screens();
    ASSERT_FALSE(screens.isEmpty());
    const QRect first = screens.first()->geometry();
    const QRect last = screens.last()->geometry();
    const bool oneScreen = screens.size() == 1;
    const bool upright = first.height() > first.width();

    // Pictures with a shape of their own: red, the top-left pixel (the bars' colour) blue.
    const QDir resources(folder);
    for (const auto& [name, size] : {std::pair{"touch1", QSize(400, 300)}, {"touch1-portrait", QSize(300, 400)},
                                      {"live3", QSize(160, 90)}}) {
        QImage picture(size, QImage::Format_RGB32);
        picture.fill(Qt::red);
        picture.setPixelColor(0, 0, Qt::blue);
        ASSERT_TRUE(picture.save(resources.filePath(QString::fromLatin1(name) + ".png")));
    }
    qputenv("BOOTH_LOG_FILE", resources.filePath("booth.log").toUtf8());
    SNP_Preferences::setStoreFileForTesting(resources.filePath("booth.ini"));
    SNP_Preferences::setArguments(QStringList{"booth", "-resourceFolder", folder});
    auto sim = std::make_shared<SimCameraSdk>(false);
    EdsSetCurrentSdk(sim);
    auto c = std::make_unique<AppController>();
    c->awakeFromNib();
    c->show();
    c->applicationDidFinishLaunching();
    QWidget* touch = c->window();
    QWidget* live = c->_liveWindow;
    ASSERT_TRUE(waitUntil([&] { return touch->geometry() == first; }));

    // Kiosk: full screen, the touch picture over the whole first screen, no tab bar, no cursor.
    EXPECT_TRUE(touch->isFullScreen());
    EXPECT_EQ(globalRect(c->_touchView), first);
    EXPECT_TRUE(c->findChild<QTabWidget*>("_tabs")->tabBar()->isHidden());
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);
    expectLetterboxed(touch->grab().toImage(), upright ? 0.75 : 4.0 / 3.0);

    for (uint32_t screen = 2; screen <= 6; ++screen) {
        SCOPED_TRACE(screen);
        c->nextScreen(c.get());
        ASSERT_EQ(c->_screenNumber.load(), screen);
        ASSERT_TRUE(waitUntil([&] { return live->isVisible() == (!oneScreen || screen >= 3); }));
        EXPECT_TRUE(oneScreen || !touch->geometry().intersects(live->geometry()));
        if (screen == 2) {
            // Every key on the screen and large enough to touch; at 1080 lines at least 60 px.
            const int shorter = std::min(first.width(), first.height());
            for (QPushButton* key : c->_keyboard->keyButtons()) {
                EXPECT_TRUE(first.contains(globalRect(key))) << qPrintable(key->objectName());
                EXPECT_GE(key->height(), std::max(shorter >= 1080 ? 60 : 0, int(0.055 * shorter)));
            }
        }
        if (screen == 3) {
            ASSERT_TRUE(waitUntil([&] { return live->isFullScreen() && live->geometry() == last; }));
            expectLetterboxed(live->grab().toImage(), 16.0 / 9.0);
            // A camera picture in magenta: all of it shows in the frame's window, and the
            // frame begins right outside it, as in the composite.
            QImage magenta(64, 40, QImage::Format_RGB32);
            magenta.fill(Qt::magenta);
            c->updateDisplayImage(QVariant::fromValue(magenta));
            c->_EVFView->show();
            const QRect evf = c->_EVFView->geometry();
            const QImage shot = live->grab().toImage();
            for (const auto& [inside, outside] :
                 {std::pair{QPoint(evf.left() + 1, evf.center().y()), QPoint(evf.left() - 3, evf.center().y())},
                  {QPoint(evf.right() - 1, evf.center().y()), QPoint(evf.right() + 3, evf.center().y())},
                  {QPoint(evf.center().x(), evf.top() + 1), QPoint(evf.center().x(), evf.top() - 3)},
                  {QPoint(evf.center().x(), evf.bottom() - 1), QPoint(evf.center().x(), evf.bottom() + 3)}}) {
                EXPECT_EQ(shot.pixelColor(inside), QColor(Qt::magenta)) << inside.x() << "," << inside.y();
                EXPECT_NE(shot.pixelColor(outside), QColor(Qt::magenta)) << outside.x() << "," << outside.y();
            }
            // The countdown digits on the live screen, beside the picture.
            for (QLabel* digits : {c->_liveCountdownField1, c->_liveCountdownField2}) {
                EXPECT_TRUE(last.contains(globalRect(digits)));
                EXPECT_FALSE(digits->geometry().intersects(c->_overlayWindow->geometry()));
            }
        }
    }

    // "quit": ordinary windows for staff, the tab bar and the cursor back.
    c->toggleFullScreen(c.get());
    EXPECT_FALSE(touch->isFullScreen());
    EXPECT_FALSE(c->findChild<QTabWidget*>("_tabs")->tabBar()->isHidden());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(live->isVisible());
    EXPECT_TRUE(takeDownBooth(c, sim));
}

TEST(LiveLayout, ThePictureIsTheFramesPhotoWindowWithTheDigitsBesideIt)
{
    const QSizeF frame(668, 454); // the stock frame: a 50-pixel border around 568 x 354
    for (const QSizeF stage : {QSizeF(1920, 1080), QSizeF(1280, 720), QSizeF(1024, 768), QSizeF(1080, 1920)}) {
        const AppController::LiveLayout layout = AppController::liveLayoutForStage(stage, frame);
        const QRectF all(QPointF(0, 0), stage);
        const double scale = layout.framed.width() / frame.width();
        EXPECT_NEAR(layout.framed.height(), frame.height() * scale, 0.01);
        EXPECT_NEAR(layout.picture.x() - layout.framed.x(), 50 * scale, 0.01);
        EXPECT_NEAR(layout.picture.y() - layout.framed.y(), 50 * scale, 0.01);
        EXPECT_NEAR(layout.picture.width(), 568 * scale, 0.01);
        EXPECT_NEAR(layout.picture.height(), 354 * scale, 0.01);
        for (const QRectF& digits : {layout.digits1, layout.digits2}) {
            EXPECT_TRUE(all.contains(digits)) << stage.width() << "x" << stage.height();
            EXPECT_FALSE(digits.intersects(layout.framed));
        }
        EXPECT_TRUE(all.contains(layout.framed));
    }
    // Without a frame image the picture is the photo window alone.
    const AppController::LiveLayout bare = AppController::liveLayoutForStage(QSizeF(1920, 1080), QSizeF());
    EXPECT_EQ(bare.picture, bare.framed);
    EXPECT_NEAR(bare.picture.width() / bare.picture.height(), 568.0 / 354.0, 1e-6);
}

TEST_F(KioskTest, FrameChangeOfLiveViewRelaysOut)
{
    c->_liveView->resize(1000, 500);
    c->NSViewFrameDidChangeNotification(c->_liveView);
    const QRect before = c->_EVFView->geometry();
    EXPECT_NEAR(before.width() / double(before.height()), 568.0 / 354.0, 0.01);
    c->_liveView->resize(1200, 600);
    c->NSViewFrameDidChangeNotification(c->_touchView); // not the live view: no layout
    EXPECT_EQ(c->_EVFView->geometry(), before);
    c->NSViewFrameDidChangeNotification(c->_liveView);
    EXPECT_NEAR(c->_EVFView->width(), before.width() * 1.2, 2);
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
    EXPECT_TRUE(c->_overlayContentView->isHidden());
    const QObjectList siblings = overlay->parentWidget()->children();
    EXPECT_GT(siblings.indexOf(overlay), siblings.indexOf(c->_EVFView)); // above

    // The frame's 50-pixel border, scaled with the picture, around the camera picture; it
    // follows the picture when the live view changes size.
    for (const QSize size : {QSize(1920, 1080), QSize(1280, 720)}) {
        c->_liveWindow->resize(size);
        ASSERT_TRUE(waitUntil([&] { return c->_liveView->size() == size; }));
        c->resizeLiveViewToFit();
        const QRect evf = c->_EVFView->geometry();
        const int border = qRound(50.0 * evf.width() / 568.0);
        EXPECT_LE((overlay->geometry().adjusted(border, border, -border, -border).topLeft() - evf.topLeft())
                      .manhattanLength(),
                  2);
        EXPECT_EQ(c->_overlayImageView->pixmap().size(), overlay->size());
    }
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
    EXPECT_TRUE(c->_badEmail->testAttribute(Qt::WA_TransparentForMouseEvents)); // touches reach the button
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
    EXPECT_FALSE(SNP_Resources::imageNamed(QStringLiteral("touch7")).isNull()); // the sorry screen
    EXPECT_TRUE(SNP_Resources::imageNamed(QStringLiteral("touch8")).isNull());
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
