// The kiosk windows and effects: the kiosk on one and two screens of many sizes, and screens
// plugged in and out while it runs (each arrangement in a child process on Qt's offscreen
// platform, whose screens a test can change), centring in the superview,
// the click-through frame overlay, the go button, solid-colour images, the pulse, and
// named resources and their cache.
#include "BoothRunFixture.h"

#include "SNP_Resources.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#ifdef HAVE_QPA_NATIVE_INTERFACE
#include <qpa/qplatformnativeinterface.h>
#endif

namespace {

using KioskTest = BoothRunFixture;

// Screen lists for the offscreen platform, which orders screens by name: the first is
// the touch screen, the last the live screen.
const std::pair<const char*, const char*> kScreenSetups[] = {
    {"one 1920 x 1080", R"([{"name": "1", "x": 0, "y": 0, "width": 1920, "height": 1080}])"},
    {"one 1280 x 720", R"([{"name": "1", "x": 0, "y": 0, "width": 1280, "height": 720}])"},
    {"1280 x 800 and 1920 x 1080",
     R"([{"name": "1", "x": 0, "y": 0, "width": 1280, "height": 800}, {"name": "2", "x": 1280, "y": 0, "width": 1920, "height": 1080}])"},
    {"upright 1080 x 1920 and 3840 x 2160",
     R"([{"name": "1", "x": 0, "y": 0, "width": 1080, "height": 1920}, {"name": "2", "x": 1080, "y": 0, "width": 3840, "height": 2160}])"},
    {"1366 x 768 and 1280 x 720",
     R"([{"name": "1", "x": 0, "y": 0, "width": 1366, "height": 768}, {"name": "2", "x": 1366, "y": 0, "width": 1280, "height": 720}])"},
};

// Runs the test named in a child process on the offscreen platform with these screens.
void runChild(const char* test, const char* screens)
{
    QTemporaryDir dir;
    const QString json = dir.filePath("screens.json");
    ASSERT_TRUE(fixtures::writeFile(json, QByteArray("{\"screens\": ") + screens + "}"));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + json);
    env.insert("BOOTH_KIOSK_CHILD", dir.path());
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=KioskTest.") + test});
    ASSERT_TRUE(child.waitForFinished(120000));
    const QString out = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << qPrintable(out);
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << qPrintable(out);
}

TEST(KioskScreens, EveryArrangementRunsTheScreensFullAndUncovered)
{
    for (const auto& [name, screens] : kScreenSetups) {
        SCOPED_TRACE(name);
        runChild("TheScreensOfOneArrangement", screens);
    }
}

TEST(KioskScreens, ScreensPluggedInAndOutAreFollowed)
{
    runChild("TheScreensOfAChangingArrangement", kScreenSetups[2].second);
}

// A picture of the aspect shown whole and centred, reaching two opposite edges of the
// window: the bounding box of its pure red pixels.
void expectLetterboxed(const QImage& shot, double aspect)
{
    QRect red;
    const QImage image = shot.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (const QRgb p = image.pixel(x, y); qRed(p) > 200 && qGreen(p) < 50 && qBlue(p) < 50)
                red |= QRect(x, y, 1, 1);
    ASSERT_FALSE(red.isEmpty());
    EXPECT_NEAR(double(red.width()) / red.height(), aspect, 0.02 * aspect) << red.width() << "x" << red.height();
    EXPECT_TRUE((red.left() == 0 && red.right() == shot.width() - 1) ||
                (red.top() == 0 && red.bottom() == shot.height() - 1));
    EXPECT_NEAR(red.center().x(), shot.width() / 2, 2);
    EXPECT_NEAR(red.center().y(), shot.height() / 2, 2);
}

QRect globalRect(const QWidget* widget) { return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()); }

// Runs only in the children of the test above, with the screens it gives.
TEST_F(KioskTest, TheScreensOfOneArrangement)
{
    const QString folder = qEnvironmentVariable("BOOTH_KIOSK_CHILD");
    if (folder.isEmpty())
        GTEST_SKIP() << "runs in the child processes of KioskScreens";
    const QList<QScreen*> screens = QGuiApplication::screens();
    const QRect first = screens.first()->geometry();
    const QRect last = screens.last()->geometry();
    const bool oneScreen = screens.size() == 1;

    // Pictures with a shape of their own: red, the top-left pixel (the bars' colour) blue.
    for (const auto& [name, size] : {std::pair{"touch1", QSize(400, 300)}, {"touch1-portrait", QSize(300, 400)},
                                      {"live3", QSize(160, 90)}}) {
        QImage picture(size, QImage::Format_RGB32);
        picture.fill(Qt::red);
        picture.setPixelColor(0, 0, Qt::blue);
        ASSERT_TRUE(picture.save(QDir(folder).filePath(QString::fromLatin1(name) + ".png")));
    }
    setDefault("resourceFolder", folder);
    start(false);
    c->show();
    c->applicationDidFinishLaunching();
    QWidget* touch = c->window();
    QWidget* live = view.get("_liveWindow");
    ASSERT_TRUE(waitUntil([&] { return touch->geometry() == first; }));

    // Kiosk: full screen, the touch picture over the whole first screen, no tab bar, no cursor.
    EXPECT_TRUE(touch->isFullScreen());
    EXPECT_EQ(globalRect(view.get("_touchView")), first);
    EXPECT_TRUE(view.get<QTabWidget>("_tabs")->tabBar()->isHidden());
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);
    expectLetterboxed(touch->grab().toImage(), first.height() > first.width() ? 0.75 : 4.0 / 3.0);

    for (uint32_t screen = 2; screen <= 6; ++screen) {
        SCOPED_TRACE(screen);
        c->nextScreen(c.get());
        ASSERT_EQ(c->screenNumber(), screen);
        ASSERT_TRUE(waitUntil([&] { return live->isVisible() == (!oneScreen || screen >= 3); }));
        EXPECT_TRUE(oneScreen || !touch->geometry().intersects(live->geometry()));
        if (screen == 2) {
            // Every key on the screen and large enough to touch; at 1080 lines at least 60 px.
            const int shorter = std::min(first.width(), first.height());
            for (QPushButton* key : view.keyboard()->keyButtons()) {
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
            QWidget* evfView = view.get("_EVFView");
            evfView->show();
            const QRect evf = evfView->geometry();
            const QImage shot = live->grab().toImage();
            const QPoint mid = evf.center();
            for (const auto& [inside, outside] :
                 {std::pair{QPoint(evf.left() + 1, mid.y()), QPoint(evf.left() - 3, mid.y())},
                  {QPoint(evf.right() - 1, mid.y()), QPoint(evf.right() + 3, mid.y())},
                  {QPoint(mid.x(), evf.top() + 1), QPoint(mid.x(), evf.top() - 3)},
                  {QPoint(mid.x(), evf.bottom() - 1), QPoint(mid.x(), evf.bottom() + 3)}}) {
                EXPECT_EQ(shot.pixelColor(inside), QColor(Qt::magenta)) << inside.x() << "," << inside.y();
                EXPECT_NE(shot.pixelColor(outside), QColor(Qt::magenta)) << outside.x() << "," << outside.y();
            }
            // The countdown digits on the live screen, beside the picture.
            for (const char* digits : {"_liveCountdownField1", "_liveCountdownField2"}) {
                EXPECT_TRUE(last.contains(globalRect(view.get(digits))));
                EXPECT_FALSE(view.get(digits)->geometry().intersects(view.get("_overlayWindow")->geometry()));
            }
        }
    }

    // "quit": ordinary windows for staff, the tab bar and the cursor back.
    c->toggleFullScreen(c.get());
    EXPECT_FALSE(touch->isFullScreen());
    EXPECT_FALSE(view.get<QTabWidget>("_tabs")->tabBar()->isHidden());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(live->isVisible());
}

// Runs only in the child of ScreensPluggedInAndOutAreFollowed: the live screen unplugged
// and plugged back, then the outputs named in the settings, each followed within a few
// (here short) seconds.
TEST_F(KioskTest, TheScreensOfAChangingArrangement)
{
    if (qEnvironmentVariable("BOOTH_KIOSK_CHILD").isEmpty())
        GTEST_SKIP() << "runs in the child process of KioskScreens";
#ifndef HAVE_QPA_NATIVE_INTERFACE
    GTEST_SKIP() << "built without Qt's platform headers (qt6-base-private-dev): the screens cannot be changed";
#else
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    using Configure = void (*)(const QJsonObject&, QPlatformNativeInterface*);
    using Configuration = QJsonObject (*)(QPlatformNativeInterface*);
    const auto configure = reinterpret_cast<Configure>(native->nativeResourceForIntegration("setConfiguration"));
    const auto configuration = reinterpret_cast<Configuration>(native->nativeResourceForIntegration("configuration"));
    ASSERT_TRUE(configure && configuration);
    const QJsonObject both = configuration(native);
    const auto withScreens = [&](const QJsonArray& screens) {
        QJsonObject config = both;
        config["screens"] = screens;
        return config;
    };
    const QJsonArray all = both["screens"].toArray();
    const QRect first(0, 0, 1280, 800), second(1280, 0, 1920, 1080);

    start(false);
    c->setScreenTickMs(20); // the screens settle in a short second
    c->show();
    c->applicationDidFinishLaunching();
    QWidget* touch = c->window();
    QWidget* live = view.get("_liveWindow");
    const auto placed = [&](const QRect& touchAt, const QRect& liveAt) {
        return waitUntil([&] {
            return touch->isFullScreen() && touch->geometry() == touchAt && live->isVisible() &&
                   live->isFullScreen() && live->geometry() == liveAt;
        });
    };
    ASSERT_TRUE(placed(first, second));

    // Unplugged: one screen, the live content over the touch content from screen 3 on.
    qsizetype mark = logMark();
    configure(withScreens({all[0]}), native);
    ASSERT_TRUE(waitUntil([&] { return !live->isVisible() && touch->geometry() == first; }));
    EXPECT_TRUE(logSince(mark).contains("the screens changed: 1 (0, 0, 1280 x 800)"));
    goToScreen3(*c, view.go());
    ASSERT_TRUE(waitUntil([&] { return live->isVisible() && live->geometry() == first; }));
    c->startOver(nullptr);
    view.timer("screenTimer")->stop();

    // Plugged back: the live screen is used again (not left black until staff step in).
    mark = logMark();
    configure(both, native);
    ASSERT_TRUE(placed(first, second));
    EXPECT_TRUE(logSince(mark).contains("kiosk windows on 2 screen(s): touch on 1 (0, 0, 1280 x 800), live on 2"));
    const QImage shot = live->grab().toImage();
    EXPECT_NE(shot.pixelColor(shot.width() / 2, shot.height() / 2), QColor(Qt::black));

    // The outputs named in the settings: the touch screen on "2", the live screen then the
    // other one; a name that is not connected leaves the first-and-last rule.
    setDefault("touchScreenOutput", "2");
    QJsonArray moved = all;
    QJsonObject secondScreen = moved[1].toObject();
    secondScreen["width"] = 1600;
    secondScreen["height"] = 900;
    moved[1] = secondScreen;
    configure(withScreens(moved), native);
    ASSERT_TRUE(placed(QRect(1280, 0, 1600, 900), first));
    mark = logMark();
    setDefault("touchScreenOutput", "HDMI-9");
    configure(both, native);
    ASSERT_TRUE(placed(first, second));
    EXPECT_TRUE(logSince(mark).contains("touchScreenOutput \"HDMI-9\" is not connected"));
#endif
}

TEST_F(KioskTest, CentringInTheSuperview)
{
    // The origin at the lower left: horizontal and scaled; vertical only; wider than the
    // superview (pinned left, the superview's width); taller (below 0).
    struct Case { QRectF frame; bool h, v; float hs; QRectF expected; };
    const Case cases[] = {{{10, 20, 100, 50}, true, false, 2, {100, 20, 200, 50}},
                          {{10, 20, 100, 50}, false, true, 1, {10, 125, 100, 50}},
                          {{10, 20, 500, 50}, true, true, 1, {0, 125, 400, 50}},
                          {{10, 20, 100, 400}, false, true, 1, {10, -50, 100, 400}}};
    for (const Case& row : cases)
        EXPECT_EQ(AppController::centeredFrame({0, 0, 400, 300}, row.frame, row.h, row.v, row.hs, 1), row.expected);
    // On widgets; a non-view or a view without superview changes nothing.
    build();
    QWidget parent, orphan;
    parent.resize(400, 300);
    auto* child = new QWidget(&parent);
    child->setGeometry(10, 20, 100, 50);
    c->centerInSuperview(child, true, true, 1.0f, 2.0f);
    EXPECT_EQ(child->geometry(), QRect(150, 100, 100, 100));
    QObject notAView;
    c->centerInSuperview(&notAView, true, true, 1.0f, 1.0f);
    orphan.setGeometry(5, 5, 50, 50);
    c->centerInSuperview(&orphan, true, true, 1.0f, 1.0f);
    EXPECT_EQ(orphan.geometry(), QRect(5, 5, 50, 50));
}

TEST_F(KioskTest, TheOverlayCarriesTheFrameOverTheLivePictureAndIgnoresTheMouse)
{
    start(false);
    QWidget* liveWindow = view.get("_liveWindow");
    liveWindow->resize(1920, 1080);
    liveWindow->show();
    c->setOverlayWindow();
    QWidget* overlay = view.get("_overlayWindow");
    QLabel* evf = view.get<QLabel>("_EVFView");
    EXPECT_FALSE(overlay->isWindow());
    EXPECT_TRUE(overlay->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_EQ(overlay->parentWidget(), evf->parentWidget());
    const QObjectList siblings = overlay->parentWidget()->children();
    EXPECT_GT(siblings.indexOf(overlay), siblings.indexOf(evf)); // above

    // The picture and the frame follow the live view's size changes by themselves (where
    // the frame's window falls on the picture: the pixels of TheScreensOfOneArrangement).
    for (const QSize size : {QSize(1920, 1080), QSize(1280, 720)}) {
        SCOPED_TRACE(size.width());
        liveWindow->resize(size);
        ASSERT_TRUE(waitUntil([&] { return view.get("_liveView")->size() == size; }));
        EXPECT_NEAR(evf->width() / double(evf->height()), 568.0 / 354.0, 0.01);
        EXPECT_TRUE(overlay->geometry().contains(evf->geometry()));
        EXPECT_EQ(view.get<QLabel>("overlayImageView")->pixmap().size(), overlay->size());
    }
}

TEST_F(KioskTest, TheGoButtonCoversTheTouchViewAndHoldsTheNotice)
{
    build();
    c->show(); // resize events reach shown widgets only
    QLabel* touchView = view.get<QLabel>("_touchView");
    touchView->resize(1024, 700);
    c->setGoButton();
    QPushButton* go = view.go();
    EXPECT_EQ(go->parentWidget(), touchView);
    EXPECT_EQ(go->geometry(), touchView->rect());
    QLabel* notice = view.get<QLabel>("_badEmail");
    EXPECT_EQ(notice->parentWidget(), go);
    EXPECT_TRUE(notice->testAttribute(Qt::WA_TransparentForMouseEvents)); // touches reach the button
    EXPECT_EQ(notice->geometry().center(), go->rect().center());
    touchView->resize(800, 600);
    EXPECT_TRUE(waitUntil([&] { return go->geometry() == QRect(0, 0, 800, 600); }));

    // Placed again, the new button holds the same notice.
    c->setGoButton();
    EXPECT_EQ(touchView->findChildren<QPushButton*>("_goButton").size(), 1);
    ASSERT_EQ(view.get<QLabel>("_badEmail"), notice);
    EXPECT_EQ(notice->parentWidget(), view.go());
}

TEST_F(KioskTest, SolidImagesAndThePulsesOrangeBorder)
{
    QImage allBlack(100, 100, QImage::Format_RGB32);
    allBlack.fill(Qt::black);
    EXPECT_EQ(AppController::blackImage().convertToFormat(QImage::Format_RGB32), allBlack);
    EXPECT_EQ(AppController::imageWithSolidColor(QColor(0, 200, 0)).pixelColor(99, 0), QColor(0, 200, 0));

    build();
    QWidget pulsing;
    pulsing.resize(200, 150);
    c->setFlashEffectForView(&pulsing);
    QImage shot(pulsing.size(), QImage::Format_RGB32);
    shot.fill(Qt::white);
    pulsing.render(&shot, QPoint(), QRegion(), QWidget::DrawChildren);
    EXPECT_EQ(shot.pixelColor(2, 75), QColor(239, 142, 35));
}

TEST_F(KioskTest, AResourceFolderReplacesStockResourcesByName)
{
    const auto named = [](const char* name) { return SNP_Resources::imageNamed(QString::fromLatin1(name)); };
    const auto save = [&](const char* name, QColor colour) {
        QImage image(7, 5, QImage::Format_RGB32);
        image.fill(colour);
        return image.save(dir.filePath(QString::fromLatin1(name)));
    };
    EXPECT_FALSE(named("touch7").isNull()); // the sorry screen
    EXPECT_FALSE(named("touch8").isNull()); // saved for a later try
    EXPECT_TRUE(named("touch9").isNull());
    EXPECT_TRUE(SNP_Resources::soundNamed(QStringLiteral("Grab")).isValid());
    EXPECT_TRUE(SNP_Resources::pathForResource(QStringLiteral("../etc/passwd"), {}).isEmpty());

    ASSERT_TRUE(save("touch1.png", Qt::magenta) && save("touch2.png", Qt::cyan));
    setDefault("resourceFolder", dir.path());
    EXPECT_EQ(named("touch1").pixelColor(0, 0), QColor(Qt::magenta));
    EXPECT_NE(named("touch3").size(), QSize(7, 5)); // stock
    // Decoded once and kept until the operator replaces the file (same size, later time).
    const qint64 kept = named("touch1").cacheKey();
    EXPECT_EQ(named("touch1").cacheKey(), kept);
    ASSERT_TRUE(QFile::remove(dir.filePath("touch1.png")) && save("touch1.png", Qt::yellow));
    QFile replaced(dir.filePath("touch1.png"));
    ASSERT_TRUE(replaced.open(QIODevice::ReadWrite));
    ASSERT_TRUE(replaced.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
    replaced.close();
    EXPECT_EQ(named("touch1").pixelColor(0, 0), QColor(Qt::yellow));

    // With room for one picture only, the least recently used one goes.
    SNP_Resources::setImageCacheBudgetForTesting(7 * 5 * 4);
    const qint64 one = named("touch1").cacheKey();
    EXPECT_EQ(named("touch2").pixelColor(0, 0), QColor(Qt::cyan));
    EXPECT_NE(named("touch1").cacheKey(), one);
    SNP_Resources::setImageCacheBudgetForTesting(-1);
    // A picture removed from the folder falls back to the stock one.
    ASSERT_TRUE(QFile::remove(dir.filePath("touch1.png")));
    EXPECT_EQ(named("touch1").size(), QSize(1024, 768));
}

} // namespace
