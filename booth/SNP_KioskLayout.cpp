// The kiosk layout: the kiosk windows on their screens, the screen pictures and what is laid
// out over them (see SNP_KioskLayout.h). Main thread only.
#include "SNP_KioskLayout.h"

#include "AppController.h"
#include "SNP_FlashLayer.h"
#include "SNP_KeyboardView.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Resources.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>

#include <algorithm>

namespace {

QString rectText(const QRectF& r)
{
    return QStringLiteral("{{%1, %2}, {%3, %4}}").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// A widget's frame with the origin at the lower left of its parent (the coordinates the
// layout rules are written in) and back.
QRectF bottomLeftFrame(const QWidget* view)
{
    const QRect g = view->geometry();
    const double parentHeight = view->parentWidget() ? view->parentWidget()->height() : 0.0;
    return QRectF(g.x(), parentHeight - g.y() - g.height(), g.width(), g.height());
}

void setBottomLeftFrame(QWidget* view, const QRectF& frame)
{
    const double parentHeight = view->parentWidget() ? view->parentWidget()->height() : 0.0;
    const QRectF topLeft(frame.x(), parentHeight - frame.y() - frame.height(), frame.width(), frame.height());
    view->setGeometry(topLeft.toRect());
}

// Lays the touch view out again whenever it changes size.
class TouchViewObserver : public QObject {
public:
    TouchViewObserver(AppController* controller) : QObject(controller), _controller(controller) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Resize && watched == _controller->touchView())
            _controller->layoutTouchView();
        return false;
    }

private:
    AppController* _controller;
};

// The font's pixel size, at least 8.
void setPixelSize(QWidget* widget, double size)
{
    if (!widget)
        return;
    QFont font = widget->font();
    if (font.pixelSize() != std::max(8, int(size))) {
        font.setPixelSize(std::max(8, int(size)));
        widget->setFont(font);
    }
}

// "HDMI-1 (0, 0, 1920 x 1080), DP-1 (...)" for the log.
QString describeScreens(const QList<QScreen*>& screens)
{
    QStringList parts;
    for (const QScreen* screen : screens) {
        const QRect g = screen->geometry();
        parts << QStringLiteral("%1 (%2, %3, %4 x %5)")
                     .arg(screen->name().isEmpty() ? QStringLiteral("unnamed") : screen->name())
                     .arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height());
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

// Puts a top-level window on the screen, at the screen's size (none: where it is).
void placeOnScreen(QWidget* window, QScreen* screen)
{
    if (!window || !screen)
        return;
    window->winId(); // the native window, so that it can be given its screen
    if (window->windowHandle())
        window->windowHandle()->setScreen(screen);
    window->setGeometry(screen->geometry());
}

} // namespace

SNP_KioskLayout::SNP_KioskLayout(AppController& controller, const Widgets& widgets)
    : _controller(controller), _widgets(widgets)
{
}

// The settle timer is the controller's child but calls back here: it goes with the layout.
SNP_KioskLayout::~SNP_KioskLayout() { delete _screensSettleTimer; }

QWidget* SNP_KioskLayout::touchWindow() const
{
    return _widgets.touchView ? _widgets.touchView->window() : _controller.window();
}

// ---- kiosk mode and the screens ----

void SNP_KioskLayout::toggleFullScreen()
{
    QWidget* touch = touchWindow();
    QTabWidget* tabs = _controller.findChild<QTabWidget*>(QStringLiteral("_tabs"));

    if (_kioskMode) {
        // Staff mode: ordinary windows, both shown, the operator tab in reach, the cursor back.
        _kioskMode = false;
        touch->showNormal();
        if (_widgets.liveWindow)
            _widgets.liveWindow->showNormal();
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
        if (tabs)
            tabs->tabBar()->show();
        SNP_Log::debug(QStringLiteral("left kiosk mode: ordinary windows for staff"));
        _controller.restartOperatorIdleTimer();
    } else {
        // Kiosk: the touch content fills the touch screen and the live content the live
        // screen, without a tab bar or a cursor.
        _kioskMode = true;
        if (tabs) {
            tabs->setCurrentIndex(0);
            tabs->tabBar()->hide();
        }
        if (!QGuiApplication::overrideCursor())
            QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));
        placeKioskWindows();
        SNP_Log::debugf("entered kiosk mode on %lld screen(s)", static_cast<long long>(QGuiApplication::screens().size()));
        _controller.restartOperatorIdleTimer(); // stops it
    }
    showContentForScreen();

    resizeLiveViewToFit();
    layoutTouchView();
    QWidget* liveStage = _widgets.cameraPicture ? _widgets.cameraPicture->parentWidget() : nullptr;
    if (_overlayWindow && _widgets.cameraPicture && _overlayWindow->parentWidget() != liveStage) {
        _overlayWindow->setParent(liveStage);
        _overlayWindow->show();
    }
    if (_overlayWindow)
        _overlayWindow->raise();
}

SNP_KioskLayout::Screens SNP_KioskLayout::kioskScreens(bool report)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty())
        return {};
    const auto named = [&](const QString& name, const char* key) -> QScreen* {
        if (name.isEmpty())
            return nullptr;
        for (QScreen* screen : screens)
            if (screen->name() == name)
                return screen;
        if (report)
            SNP_Log::debugf("%s \"%s\" is not connected (screens: %s): the first and last screen rule decides",
                            key, qUtf8Printable(name), qUtf8Printable(describeScreens(screens)));
        return nullptr;
    };
    Screens chosen;
    chosen.touch = named(SNP_Preferences::touchScreenOutput(), "touchScreenOutput");
    chosen.live = named(SNP_Preferences::liveScreenOutput(), "liveScreenOutput");
    // Otherwise the touch screen is the first screen and the live screen the last, each
    // other than the one named for the other.
    if (!chosen.touch)
        for (QScreen* screen : screens)
            if (screen != chosen.live || screens.size() == 1) {
                chosen.touch = screen;
                break;
            }
    if (!chosen.live)
        for (auto it = screens.crbegin(); it != screens.crend(); ++it)
            if (*it != chosen.touch || screens.size() == 1) {
                chosen.live = *it;
                break;
            }
    return chosen;
}

void SNP_KioskLayout::placeKioskWindows()
{
    const Screens screens = kioskScreens(true);
    QWidget* touch = touchWindow();
    // A window already full screen keeps its old size on a new screen: it is shown normal,
    // moved, and made full screen again there.
    const auto fill = [](QWidget* window, QScreen* screen) {
        if (window->isFullScreen() && window->screen() != screen)
            window->showNormal();
        placeOnScreen(window, screen);
        window->showFullScreen();
    };
    if (screens.touch)
        fill(touch, screens.touch);
    if (_widgets.liveWindow && screens.live) {
        if (screens.live != screens.touch) {
            fill(_widgets.liveWindow, screens.live);
        } else {
            // One screen: the live content comes over the touch content on screens 3 to 6.
            if (_widgets.liveWindow->isFullScreen())
                _widgets.liveWindow->showNormal();
            _widgets.liveWindow->hide();
            placeOnScreen(_widgets.liveWindow, screens.live);
        }
    }
    SNP_Log::debugf("kiosk windows on %lld screen(s): touch on %s, live on %s",
                    static_cast<long long>(QGuiApplication::screens().size()),
                    qUtf8Printable(screens.touch ? describeScreens({screens.touch}) : QStringLiteral("none")),
                    qUtf8Printable(screens.live ? describeScreens({screens.live}) : QStringLiteral("none")));
}

void SNP_KioskLayout::watchScreens()
{
    if (_screensSettleTimer)
        return;
    // Plugging a screen in or out comes as a burst of changes: the windows are placed again
    // once they have settled.
    _controller.singleShotTimer(_screensSettleTimer, "screensSettleTimer", [this] { screensChanged(); });
    const auto settle = [this] { _screensSettleTimer->start(_controller.screenTickMs()); };
    const auto watch = [this, settle](QScreen* screen) {
        QObject::connect(screen, &QScreen::geometryChanged, _screensSettleTimer, settle);
    };
    for (QScreen* screen : QGuiApplication::screens())
        watch(screen);
    QObject::connect(qApp, &QGuiApplication::screenAdded, _screensSettleTimer, [settle, watch](QScreen* screen) {
        watch(screen);
        settle();
    });
    QObject::connect(qApp, &QGuiApplication::screenRemoved, _screensSettleTimer, settle);
}

void SNP_KioskLayout::screensChanged()
{
    SNP_Log::debugf("the screens changed: %s", qUtf8Printable(describeScreens(QGuiApplication::screens())));
    if (!_kioskMode)
        return; // staff windows stay where staff put them
    placeKioskWindows();
    showContentForScreen();
    resizeLiveViewToFit();
    layoutTouchView();
}

void SNP_KioskLayout::showContentForScreen()
{
    if (!_kioskMode || !_widgets.liveWindow)
        return;
    const Screens screens = kioskScreens();
    if (screens.touch != screens.live)
        return;
    const uint32_t screen = _controller.screenNumber();
    QWidget* touch = touchWindow();
    if (screen >= 3 && screen <= 6) {
        if (!_widgets.liveWindow->isVisible() || !_widgets.liveWindow->isFullScreen())
            _widgets.liveWindow->showFullScreen();
        _widgets.liveWindow->raise();
        _widgets.liveWindow->activateWindow();
    } else {
        _widgets.liveWindow->hide();
        touch->raise();
        touch->activateWindow();
    }
}

// ---- screen updates ----

void SNP_KioskLayout::disableScreenUpdates()
{
    if (_screenUpdatesDisabled++ > 0)
        return;
    for (QWidget* w : {_controller.window(), _widgets.liveWindow}) {
        if (w && w->updatesEnabled()) {
            w->setUpdatesEnabled(false);
            w->setProperty("snpUpdatesSuspended", true);
        }
    }
}

void SNP_KioskLayout::enableScreenUpdates()
{
    if (_screenUpdatesDisabled == 0 || --_screenUpdatesDisabled > 0)
        return;
    for (QWidget* w : {_controller.window(), _widgets.liveWindow}) {
        if (w && w->property("snpUpdatesSuspended").toBool()) {
            w->setProperty("snpUpdatesSuspended", QVariant());
            w->setUpdatesEnabled(true);
        }
    }
}

// ---- screen pictures and what lies over them ----

void SNP_KioskLayout::showScreenPicture(QLabel* view, const QImage& picture)
{
    if (!view || picture.isNull())
        return;
    if (view == _widgets.touchView)
        _touchPicture = picture;
    else if (view == _widgets.liveView)
        _livePicture = picture;
    // Drawn once at the view's size: bars in the picture's own background colour, so that
    // artwork of any shape sits on a screen of any shape undistorted.
    const QSize size = view->size().expandedTo(QSize(1, 1));
    QPixmap canvas(size);
    canvas.fill(picture.pixelColor(0, 0));
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(SNP_LiveLayout::letterboxRect(picture.size(), QRect(QPoint(0, 0), size)), picture);
    }
    view->setPixmap(canvas);
}

void SNP_KioskLayout::showScreenPictures(uint32_t number, bool touchToo)
{
    _pictureNumber = number;
    const auto pictureFor = [number](const char* kind, const QWidget* view) {
        const QString name = QStringLiteral("%1%2").arg(QLatin1String(kind)).arg(number);
        if (view && view->height() > view->width()) {
            const QImage portrait = SNP_Resources::imageNamed(name + QStringLiteral("-portrait"));
            if (!portrait.isNull())
                return portrait;
        }
        return SNP_Resources::imageNamed(name);
    };
    const QImage touch = touchToo ? pictureFor("touch", _widgets.touchView) : QImage();
    const QImage live = pictureFor("live", _widgets.liveView);
    showScreenPicture(_widgets.touchView, touch.isNull() ? _touchPicture : touch);
    showScreenPicture(_widgets.liveView, live.isNull() ? _livePicture : live);
    layoutTouchView();
    resizeLiveViewToFit();
}

void SNP_KioskLayout::followTouchView(QPushButton* goButton, QLabel* cameraNotReadyNotice, QLabel* pinPrompt)
{
    _goButton = goButton;
    _cameraNotReadyNotice = cameraNotReadyNotice;
    _pinPrompt = pinPrompt;
    if (_followingTouchView || !_widgets.touchView)
        return;
    _followingTouchView = true;
    auto* observer = new TouchViewObserver(&_controller);
    observer->setObjectName(QStringLiteral("touchViewObserver"));
    _widgets.touchView->installEventFilter(observer);
}

void SNP_KioskLayout::resizeLiveViewToFit()
{
    QLabel* liveView = _widgets.liveView;
    QLabel* cameraPicture = _widgets.cameraPicture;
    if (!liveView || !cameraPicture)
        return;
    if (!_livePicture.isNull() && liveView->pixmap().size() != liveView->size())
        showScreenPicture(liveView, _livePicture); // the view changed size
    const QRect stage = SNP_LiveLayout::letterboxRect(_livePicture.size(), liveView->rect());
    const QImage frame = SNP_Resources::imageNamed(QString::fromLatin1(SNP_Resources::kFrameImageName));
    const SNP_LiveLayout::Frames layout = SNP_LiveLayout::forStage(QSizeF(stage.size()), QSizeF(frame.size()));
    const QPointF origin = stage.topLeft();

    const QRect newFrame = layout.picture.translated(origin).toRect();
    if (newFrame != cameraPicture->geometry()) {
        SNP_Log::debugf("resizing evfview; old frame = %s; new frame = %s",
                        qUtf8Printable(rectText(bottomLeftFrame(cameraPicture))),
                        qUtf8Printable(rectText(QRectF(newFrame.x(), liveView->height() - newFrame.bottom() - 1,
                                                       newFrame.width(), newFrame.height()))));
        cameraPicture->setGeometry(newFrame);
    }
    const QRectF digits[] = {layout.digits1, layout.digits2};
    QLabel* fields[] = {_widgets.liveCountdownField1, _widgets.liveCountdownField2};
    for (int i = 0; i < 2; ++i) {
        if (!fields[i])
            continue;
        fields[i]->setGeometry(digits[i].translated(origin).toRect());
        QFont font = fields[i]->font();
        if (font.pixelSize() != layout.digitPixelSize) {
            font.setPixelSize(layout.digitPixelSize);
            fields[i]->setFont(font);
        }
    }

    // The overlay follows the camera picture.
    if (_overlayWindow && _overlayWindow->parentWidget() == cameraPicture->parentWidget())
        placeOverlay();
}

void SNP_KioskLayout::layoutTouchView()
{
    if (!_widgets.touchView)
        return;
    if (!_touchPicture.isNull() && _widgets.touchView->pixmap().size() != _widgets.touchView->size()) {
        // A new size, maybe a new orientation with pictures of its own.
        const bool portrait = _widgets.touchView->height() > _widgets.touchView->width();
        if (portrait != (_touchPicture.height() > _touchPicture.width()) && _pictureNumber != 0) {
            showScreenPictures(_pictureNumber, true);
            return;
        }
        showScreenPicture(_widgets.touchView, _touchPicture);
    }
    const QRect view = _widgets.touchView->rect();
    const QRect stage = SNP_LiveLayout::letterboxRect(_touchPicture.size(), view);
    const int unit = std::min(stage.width(), stage.height());

    if (_goButton)
        _goButton->setGeometry(view);

    // The keyboard fills the lower part of the picture; its keys grow with the screen.
    QRect keyboardFrame;
    if (QWidget* keyboard = _controller.keyboardWidget()) {
        keyboardFrame = SNP_LiveLayout::keyboardFrame(stage);
        keyboard->setGeometry(keyboardFrame);
    }

    // The touch countdown: large, in the middle of the lower part of the picture.
    if (QLabel* field = _widgets.touchCountdownField) {
        const QSize size(int(0.8 * unit), int(0.45 * unit));
        field->setGeometry(QRect(QPoint(stage.center().x() - size.width() / 2, stage.y() + int(0.40 * stage.height())),
                                 size));
        setPixelSize(field, 0.36 * unit);
    }
    layoutTouchNotices(view, stage, keyboardFrame);
}

void SNP_KioskLayout::layoutTouchNotices(const QRect& view, const QRect& stage, const QRect& keyboardFrame)
{
    const int unit = std::min(stage.width(), stage.height());
    // The notices over the go button, centred on the screen.
    // Of the view's parity, so that it centres to the pixel.
    QSize noticeSize(int(0.66 * stage.width()), int(0.46 * stage.height()));
    noticeSize -= QSize((view.width() - noticeSize.width()) % 2, (view.height() - noticeSize.height()) % 2);
    const QRect notice(QPoint((view.width() - noticeSize.width()) / 2, (view.height() - noticeSize.height()) / 2),
                       noticeSize);
    for (QLabel* label : {_widgets.badEmail, _cameraNotReadyNotice.data()}) {
        if (label)
            label->setGeometry(notice);
    }
    if (_cameraNotReadyNotice)
        _cameraNotReadyNotice->setMargin(int(0.03 * unit));
    setPixelSize(_cameraNotReadyNotice, 0.055 * unit);
    setPixelSize(_controller.findChild<QLabel*>(QStringLiteral("_badEmailCaption")), 0.05 * unit);
    setPixelSize(_widgets.badEmailItemText, 0.042 * unit);
    setPixelSize(_controller.findChild<QLabel*>(QStringLiteral("_badEmailHint")), 0.034 * unit);

    _controller.layoutStaffMark(stage);
    _controller.layoutAddressQuestion();

    // The PIN prompt covers the picture's text above the keyboard.
    if (_pinPrompt) {
        const int top = stage.y();
        _pinPrompt->setGeometry(stage.x(), top, stage.width(), std::max(1, keyboardFrame.top() - top));
        setPixelSize(_pinPrompt, 0.06 * unit);
    }
}

void SNP_KioskLayout::centerInSuperview(QObject* object, bool horizontally, bool vertically, float hScale, float vScale)
{
    if (!horizontally && !vertically)
        return;
    QWidget* view = qobject_cast<QWidget*>(object);
    if (!view)
        return;
    QWidget* superview = view->parentWidget();
    if (!superview || view->isWindow()) {
        SNP_Log::debugf("centerInSuperview: %s has no superview", qUtf8Printable(view->objectName()));
        return;
    }
    const QRectF superFrame(0, 0, superview->width(), superview->height());
    const QRectF oldFrame = bottomLeftFrame(view);
    const QRectF newFrame =
        SNP_LiveLayout::centeredFrame(superFrame, oldFrame, horizontally, vertically, hScale, vScale);
    SNP_Log::debugf("super frame = %s; old frame = %s; new frame = %s", qUtf8Printable(rectText(superFrame)),
                    qUtf8Printable(rectText(oldFrame)), qUtf8Printable(rectText(newFrame)));
    setBottomLeftFrame(view, newFrame);
    SNP_Log::debug(QStringLiteral("frame is set"));
}

// ---- the frame overlay and the pulse ----

void SNP_KioskLayout::showFrameOverlay(bool shown)
{
    if (_overlayContentView)
        _overlayContentView->setVisible(shown);
}

void SNP_KioskLayout::blankCameraPicture()
{
    if (QLabel* picture = _widgets.cameraPicture) {
        picture->setPixmap(QPixmap::fromImage(AppController::blackImage()));
        picture->setVisible(false);
    }
    showFrameOverlay(false);
}

void SNP_KioskLayout::setOverlayWindow()
{
    if (!_widgets.cameraPicture || !_widgets.cameraPicture->parentWidget()) {
        SNP_Log::debug(QStringLiteral("setOverlayWindow: no live picture to put the frame over"));
        return;
    }
    delete _overlayWindow; // once at launch; a second call replaces the first overlay
    _overlayContentView = nullptr;
    _overlayImageView = nullptr;

    _overlayWindow = new QWidget(_widgets.cameraPicture->parentWidget());
    _overlayWindow->setObjectName(QStringLiteral("_overlayWindow"));
    _overlayWindow->setAttribute(Qt::WA_TransparentForMouseEvents);
    _overlayWindow->setAttribute(Qt::WA_NoSystemBackground);
    _overlayWindow->setAutoFillBackground(false);

    _overlayContentView = new QWidget(_overlayWindow);
    _overlayContentView->setObjectName(QStringLiteral("overlayContentView"));
    _overlayContentView->setAttribute(Qt::WA_TransparentForMouseEvents);
    _overlayImageView = new QLabel(_overlayContentView);
    _overlayImageView->setObjectName(QStringLiteral("overlayImageView"));
    _overlayImageView->setAttribute(Qt::WA_TransparentForMouseEvents);
    _overlayContentView->hide();
    if (SNP_Resources::imageNamed(QString::fromLatin1(SNP_Resources::kFrameImageName)).isNull())
        SNP_Log::debug(QStringLiteral("the frame image \"LumoPictureFrame\" is missing: the overlay stays empty"));
    placeOverlay();
    _overlayWindow->show();
    _overlayWindow->raise();
}

void SNP_KioskLayout::placeOverlay()
{
    if (!_overlayWindow || !_widgets.cameraPicture)
        return;
    // The frame drawn as the composite draws it: scaled so that its photo window covers the
    // camera picture exactly. What the visitor sees framed is what the picture will show.
    const QImage frame = SNP_Resources::imageNamed(QString::fromLatin1(SNP_Resources::kFrameImageName));
    const QRect evf = _widgets.cameraPicture->geometry();
    const QRect framed = SNP_LiveLayout::framedOverlay(evf, frame.size());
    const bool moved = _overlayWindow->geometry() != framed;
    _overlayWindow->setGeometry(framed);
    if (_overlayContentView)
        _overlayContentView->setGeometry(_overlayWindow->rect());
    if (_overlayImageView) {
        _overlayImageView->setGeometry(_overlayWindow->rect());
        if (!frame.isNull() && (moved || _overlayImageView->pixmap().size() != framed.size())) {
            const QRect picture = evf.translated(-framed.topLeft());
            bool clear = false;
            const QImage drawn = SNP_LiveLayout::frameOverPicture(frame, framed.size(), picture, &clear);
            _overlayImageView->setPixmap(QPixmap::fromImage(drawn));
            // Where the frame leaves the picture wholly clear the overlay is not drawn at all,
            // so that each live-view frame repaints the picture alone.
            _overlayWindow->setMask(clear ? QRegion(_overlayWindow->rect()) - QRegion(picture) : QRegion());
        }
    }
    _overlayWindow->raise();
}

void SNP_KioskLayout::setFlashEffectForView(QWidget* view)
{
    if (!view)
        return;
    delete _flashLayer;
    _flashLayer = new SNP_FlashLayer(view);
}
