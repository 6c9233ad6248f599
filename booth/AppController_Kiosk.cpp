// The kiosk windows: the touch window (this controller's window, with the operator tab)
// and the live window, full screen on the touch screen and the live screen (the outputs
// named in the settings, else the first and the last screen); on a computer with one screen
// both fill it and the live window is shown over the touch window from screen 3 to 6.
// Screens plugged in or out while the booth runs are followed once they settle. Screen
// pictures keep their aspect on a screen of any size; the keyboard, the countdowns and the
// notices are laid out from the picture's area. Also the click-through frame overlay (its
// photo window exactly over the camera picture), the go button, the pulse effect and
// solid-colour images. Main thread only.
#include "AppController.h"

#include "SNP_ImagePipeline.h"
#include "SNP_KeyboardView.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Resources.h"

#include <QCursor>
#include <QEasingCurve>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QVariantAnimation>
#include <QWindow>

namespace {

// The live screen, in parts of the live picture's area (stage): the frame image at most
// this high, this far above the bottom edge; a countdown column each side of it.
constexpr double kFramedHeight = 0.78;  // of the stage's height
constexpr double kFramedBottom = 0.03;  // of the stage's height
constexpr double kDigitWidth = 0.17;    // of the stage's height
constexpr double kDigitHeight = 0.30;   // of the stage's height
constexpr double kDigitFont = 0.22;     // pixel size, of the stage's height
constexpr double kSideMargin = 0.02;    // of the stage's width, each side of a column

// The touch screen's keyboard, in parts of the touch picture's area: its height of the
// area's height (and at most kKeyboardHeightOfWidth of its width, so that an upright
// screen gets taller keys, not a keyboard of its whole height), its width of the area's
// width (and at most kKeyboardAspect times its height), its margin above the bottom edge.
constexpr double kKeyboardHeight = 0.6;
constexpr double kKeyboardHeightOfWidth = 0.75;
constexpr double kKeyboardWidth = 0.9;
constexpr double kKeyboardAspect = 2.2;
constexpr double kKeyboardBottom = 0.04;
constexpr int kSolidImageSide = 100;
constexpr double kBloomRadius = 10.0;
constexpr double kBorderWidth = 10.0;

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

// The frame scaled to size, with its photo window over the picture's rectangle. Smooth
// scaling blurs the window's edge into the picture; a window the frame leaves wholly
// transparent is kept wholly transparent (*clear then says so), so that the screen shows
// the picture's edge as the composite does.
QImage frameOverPicture(const QImage& frame, const QSize& size, const QRect& picture, bool* clear)
{
    *clear = false;
    QImage scaled = frame.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QRect window = SNP_ImagePipeline::photoWindowForCompositeSize(QSizeF(frame.size())).toRect() & frame.rect();
    const QImage source = frame.convertToFormat(QImage::Format_ARGB32);
    for (int y = window.top(); y <= window.bottom(); ++y)
        for (int x = window.left(); x <= window.right(); ++x)
            if (qAlpha(source.pixel(x, y)) != 0)
                return scaled; // the frame draws into its window: shown as it is
    QPainter painter(&scaled);
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.fillRect(picture, Qt::transparent);
    *clear = true;
    return scaled;
}

// A notice over the touch picture: white text on the accent orange, opaque so that the
// picture's own text does not show through.
QLabel* makeNotice(QWidget* parent, const QString& name, const QString& text)
{
    auto* notice = new QLabel(text, parent);
    notice->setObjectName(name);
    notice->setAlignment(Qt::AlignCenter);
    notice->setWordWrap(true);
    notice->setAttribute(Qt::WA_TransparentForMouseEvents); // touches reach the go button
    notice->setStyleSheet(QStringLiteral("color: white; background: %1; border-radius: 12px;"
                                         " font-family: 'DejaVu Sans'; font-weight: bold;")
                              .arg(QLatin1String(SNP_Resources::kAccentStyleColor)));
    notice->hide();
    return notice;
}

// The pulse: an orange border and a glow whose intensity rises from 0 to 1 in a second
// and falls back, for as long as the layer lives; the frame image is drawn over it.
class FlashLayer : public QWidget {
public:
    explicit FlashLayer(QWidget* view) : QWidget(view)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setGeometry(view->rect());
        _frame = SNP_Resources::imageNamed(QString::fromLatin1(SNP_Resources::kFrameImageName));
        view->installEventFilter(this);
    }
    double intensity = 0.0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == parent() && event->type() == QEvent::Resize)
            setGeometry(parentWidget()->rect());
        return false;
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(kBorderWidth / 2, kBorderWidth / 2, -kBorderWidth / 2, -kBorderWidth / 2);
        // Bloom: soft rings inside the border, stronger with the intensity.
        for (int i = 1; i <= int(kBloomRadius); ++i) {
            QColor glow = SNP_Resources::accentColor();
            glow.setAlphaF(float(std::clamp(intensity * (1.0 - double(i) / (kBloomRadius + 1)) * 0.6, 0.0, 1.0)));
            p.setPen(QPen(glow, 2.0));
            p.drawRect(r.adjusted(i * 1.5, i * 1.5, -i * 1.5, -i * 1.5));
        }
        if (!_frame.isNull())
            p.drawImage(QRectF(rect()), _frame);
        p.setPen(QPen(SNP_Resources::accentColor(), kBorderWidth));
        p.drawRect(r);
    }

private:
    QImage _frame;
};

} // namespace

// ---- screen updates ----

void AppController::disableScreenUpdates()
{
    if (_screenUpdatesDisabled++ > 0)
        return;
    for (QWidget* w : {static_cast<QWidget*>(window()), _liveWindow}) {
        if (w && w->updatesEnabled()) {
            w->setUpdatesEnabled(false);
            w->setProperty("snpUpdatesSuspended", true);
        }
    }
}

void AppController::enableScreenUpdates()
{
    if (_screenUpdatesDisabled == 0 || --_screenUpdatesDisabled > 0)
        return;
    for (QWidget* w : {static_cast<QWidget*>(window()), _liveWindow}) {
        if (w && w->property("snpUpdatesSuspended").toBool()) {
            w->setProperty("snpUpdatesSuspended", QVariant());
            w->setUpdatesEnabled(true);
        }
    }
}

// ---- kiosk mode ----

void AppController::toggleFullScreen(QObject*)
{
    QWidget* touchWindow = _touchView ? _touchView->window() : window();
    QTabWidget* tabs = findChild<QTabWidget*>(QStringLiteral("_tabs"));

    if (_kioskMode) {
        // Staff mode: ordinary windows, both shown, the operator tab in reach, the cursor back.
        _kioskMode = false;
        touchWindow->showNormal();
        if (_liveWindow)
            _liveWindow->showNormal();
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
        if (tabs)
            tabs->tabBar()->show();
        SNP_Log::debug(QStringLiteral("left kiosk mode: ordinary windows for staff"));
        restartOperatorIdleTimer();
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
        restartOperatorIdleTimer(); // stops it
    }
    showContentForScreen();

    resizeLiveViewToFit();
    layoutTouchView();
    if (_overlayWindow && _EVFView && _overlayWindow->parentWidget() != _EVFView->parentWidget()) {
        _overlayWindow->setParent(_EVFView->parentWidget());
        _overlayWindow->show();
    }
    if (_overlayWindow)
        _overlayWindow->raise();
}

AppController::KioskScreens AppController::kioskScreens(bool report)
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
    KioskScreens chosen;
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

void AppController::placeKioskWindows()
{
    const KioskScreens screens = kioskScreens(true);
    QWidget* touchWindow = _touchView ? _touchView->window() : window();
    // A window already full screen keeps its old size on a new screen: it is shown normal,
    // moved, and made full screen again there.
    const auto fill = [](QWidget* window, QScreen* screen) {
        if (window->isFullScreen() && window->screen() != screen)
            window->showNormal();
        placeOnScreen(window, screen);
        window->showFullScreen();
    };
    if (screens.touch)
        fill(touchWindow, screens.touch);
    if (_liveWindow && screens.live) {
        if (screens.live != screens.touch) {
            fill(_liveWindow, screens.live);
        } else {
            // One screen: the live content comes over the touch content on screens 3 to 6.
            if (_liveWindow->isFullScreen())
                _liveWindow->showNormal();
            _liveWindow->hide();
            placeOnScreen(_liveWindow, screens.live);
        }
    }
    SNP_Log::debugf("kiosk windows on %lld screen(s): touch on %s, live on %s",
                    static_cast<long long>(QGuiApplication::screens().size()),
                    qUtf8Printable(screens.touch ? describeScreens({screens.touch}) : QStringLiteral("none")),
                    qUtf8Printable(screens.live ? describeScreens({screens.live}) : QStringLiteral("none")));
}

void AppController::watchScreens()
{
    if (_screensSettleTimer)
        return;
    // Plugging a screen in or out comes as a burst of changes: the windows are placed again
    // once they have settled.
    singleShotTimer(_screensSettleTimer, "screensSettleTimer", [this] { screensChanged(); });
    const auto settle = [this] { _screensSettleTimer->start(screenTickMs()); };
    const auto watch = [this, settle](QScreen* screen) {
        connect(screen, &QScreen::geometryChanged, _screensSettleTimer, settle);
    };
    for (QScreen* screen : QGuiApplication::screens())
        watch(screen);
    connect(qApp, &QGuiApplication::screenAdded, _screensSettleTimer, [settle, watch](QScreen* screen) {
        watch(screen);
        settle();
    });
    connect(qApp, &QGuiApplication::screenRemoved, _screensSettleTimer, settle);
}

void AppController::screensChanged()
{
    SNP_Log::debugf("the screens changed: %s", qUtf8Printable(describeScreens(QGuiApplication::screens())));
    if (!_kioskMode)
        return; // staff windows stay where staff put them
    placeKioskWindows();
    showContentForScreen();
    resizeLiveViewToFit();
    layoutTouchView();
}

void AppController::showContentForScreen()
{
    if (!_kioskMode || !_liveWindow)
        return;
    const KioskScreens screens = kioskScreens();
    if (screens.touch != screens.live)
        return;
    const uint32_t screen = screenNumber();
    QWidget* touchWindow = _touchView ? _touchView->window() : window();
    if (screen >= 3 && screen <= 6) {
        if (!_liveWindow->isVisible() || !_liveWindow->isFullScreen())
            _liveWindow->showFullScreen();
        _liveWindow->raise();
        _liveWindow->activateWindow();
    } else {
        _liveWindow->hide();
        touchWindow->raise();
        touchWindow->activateWindow();
    }
}

// ---- screen pictures ----

QRect AppController::letterboxRect(const QSize& pictureSize, const QRect& area)
{
    if (pictureSize.isEmpty() || area.isEmpty())
        return area;
    const QSize fitted = pictureSize.scaled(area.size(), Qt::KeepAspectRatio);
    return QRect(area.x() + (area.width() - fitted.width()) / 2, area.y() + (area.height() - fitted.height()) / 2,
                 fitted.width(), fitted.height());
}

void AppController::showScreenPicture(QLabel* view, const QImage& picture)
{
    if (!view || picture.isNull())
        return;
    if (view == _touchView)
        _touchPicture = picture;
    else if (view == _liveView)
        _livePicture = picture;
    // Drawn once at the view's size: bars in the picture's own background colour, so that
    // artwork of any shape sits on a screen of any shape undistorted.
    const QSize size = view->size().expandedTo(QSize(1, 1));
    QPixmap canvas(size);
    canvas.fill(picture.pixelColor(0, 0));
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(letterboxRect(picture.size(), QRect(QPoint(0, 0), size)), picture);
    }
    view->setPixmap(canvas);
}

void AppController::showScreenPictures(uint32_t number, bool touchToo)
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
    const QImage touch = touchToo ? pictureFor("touch", _touchView) : QImage();
    const QImage live = pictureFor("live", _liveView);
    showScreenPicture(_touchView, touch.isNull() ? _touchPicture : touch);
    showScreenPicture(_liveView, live.isNull() ? _livePicture : live);
    layoutTouchView();
    resizeLiveViewToFit();
}

// ---- layout ----

AppController::LiveLayout AppController::liveLayoutForStage(const QSizeF& stage, const QSizeF& frameSize)
{
    // The frame as the composite draws it: the photo fills the frame's centred photo
    // window. Without a frame the picture is the window alone.
    const QSizeF window(SNP_ImagePipeline::kPhotoWindowWidth, SNP_ImagePipeline::kPhotoWindowHeight);
    const QSizeF frame = frameSize.isEmpty() ? window : frameSize.expandedTo(window);
    const double w = std::max(1.0, stage.width());
    const double h = std::max(1.0, stage.height());

    // The frame is as large as the stage allows next to a countdown column on each side.
    const double column = kDigitWidth * h + kSideMargin * w;
    const double scale = std::min(kFramedHeight * h / frame.height(), std::max(1.0, w - 2 * column) / frame.width());
    LiveLayout layout;
    const QSizeF framed = frame * scale;
    layout.framed = QRectF(QPointF((w - framed.width()) / 2, h - kFramedBottom * h - framed.height()), framed);
    const QRectF photoWindow = SNP_ImagePipeline::photoWindowForCompositeSize(frame);
    layout.picture = QRectF(layout.framed.topLeft() + photoWindow.topLeft() * scale, photoWindow.size() * scale);

    // The digits: centred in the space beside the frame, level with the picture's middle,
    // never outside the stage.
    const QSizeF digits(kDigitWidth * h, kDigitHeight * h);
    const auto column_at = [&](double centreX) {
        const double x = std::clamp(centreX - digits.width() / 2, 0.0, std::max(0.0, w - digits.width()));
        const double y = std::clamp(layout.picture.center().y() - digits.height() / 2, 0.0,
                                    std::max(0.0, h - digits.height()));
        return QRectF(QPointF(x, y), digits);
    };
    layout.digits1 = column_at(layout.framed.left() / 2);
    layout.digits2 = column_at((layout.framed.right() + w) / 2);
    layout.digitPixelSize = std::max(8, int(kDigitFont * h));
    return layout;
}

void AppController::resizeLiveViewToFit()
{
    if (!_liveView || !_EVFView)
        return;
    if (!_livePicture.isNull() && _liveView->pixmap().size() != _liveView->size())
        showScreenPicture(_liveView, _livePicture); // the view changed size
    const QRect stage = letterboxRect(_livePicture.size(), _liveView->rect());
    const QImage frame = SNP_Resources::imageNamed(QString::fromLatin1(SNP_Resources::kFrameImageName));
    const LiveLayout layout = liveLayoutForStage(QSizeF(stage.size()), QSizeF(frame.size()));
    const QPointF origin = stage.topLeft();

    const QRect newFrame = layout.picture.translated(origin).toRect();
    if (newFrame != _EVFView->geometry()) {
        SNP_Log::debugf("resizing evfview; old frame = %s; new frame = %s",
                        qUtf8Printable(rectText(bottomLeftFrame(_EVFView))),
                        qUtf8Printable(rectText(QRectF(newFrame.x(), _liveView->height() - newFrame.bottom() - 1,
                                                       newFrame.width(), newFrame.height()))));
        _EVFView->setGeometry(newFrame);
    }
    const QRectF digits[] = {layout.digits1, layout.digits2};
    QLabel* fields[] = {_liveCountdownField1, _liveCountdownField2};
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
    if (_overlayWindow && _overlayWindow->parentWidget() == _EVFView->parentWidget())
        placeOverlay();
}

void AppController::layoutTouchView()
{
    if (!_touchView)
        return;
    if (!_touchPicture.isNull() && _touchView->pixmap().size() != _touchView->size()) {
        // A new size, maybe a new orientation with pictures of its own.
        const bool portrait = _touchView->height() > _touchView->width();
        if (portrait != (_touchPicture.height() > _touchPicture.width()) && _pictureNumber != 0) {
            showScreenPictures(_pictureNumber);
            return;
        }
        showScreenPicture(_touchView, _touchPicture);
    }
    const QRect view = _touchView->rect();
    const QRect stage = letterboxRect(_touchPicture.size(), view);
    const int unit = std::min(stage.width(), stage.height());
    const auto setPixelSize = [](QWidget* widget, double size) {
        if (!widget)
            return;
        QFont font = widget->font();
        if (font.pixelSize() != std::max(8, int(size))) {
            font.setPixelSize(std::max(8, int(size)));
            widget->setFont(font);
        }
    };

    if (_goButton)
        _goButton->setGeometry(view);

    // The keyboard fills the lower part of the picture; its keys grow with the screen.
    QRect keyboardFrame;
    if (QWidget* keyboard = keyboardWidget()) {
        const int height = int(std::min(kKeyboardHeight * stage.height(), kKeyboardHeightOfWidth * stage.width()));
        const int width = int(std::min(kKeyboardWidth * stage.width(), kKeyboardAspect * height));
        keyboardFrame = QRect(stage.center().x() - width / 2,
                              stage.bottom() + 1 - int(kKeyboardBottom * stage.height()) - height, width, height);
        keyboard->setGeometry(keyboardFrame);
    }

    // The touch countdown: large, in the middle of the lower part of the picture.
    if (QLabel* field = _touchCountdownField) {
        const QSize size(int(0.8 * unit), int(0.45 * unit));
        field->setGeometry(QRect(QPoint(stage.center().x() - size.width() / 2, stage.y() + int(0.40 * stage.height())),
                                 size));
        setPixelSize(field, 0.36 * unit);
    }

    // The notices over the go button, centred on the screen.
    // Of the view's parity, so that it centres to the pixel.
    QSize noticeSize(int(0.66 * stage.width()), int(0.46 * stage.height()));
    noticeSize -= QSize((view.width() - noticeSize.width()) % 2, (view.height() - noticeSize.height()) % 2);
    const QRect notice(QPoint((view.width() - noticeSize.width()) / 2, (view.height() - noticeSize.height()) / 2),
                       noticeSize);
    for (QLabel* label : {_badEmail, _cameraNotReadyNotice}) {
        if (label)
            label->setGeometry(notice);
    }
    if (_cameraNotReadyNotice)
        _cameraNotReadyNotice->setMargin(int(0.03 * unit));
    setPixelSize(_cameraNotReadyNotice, 0.055 * unit);
    setPixelSize(findChild<QLabel*>(QStringLiteral("_badEmailCaption")), 0.05 * unit);
    setPixelSize(_badEmailItemText, 0.042 * unit);
    setPixelSize(findChild<QLabel*>(QStringLiteral("_badEmailHint")), 0.034 * unit);

    layoutStaffMark(stage);
    layoutAddressQuestion();

    // The PIN prompt covers the picture's text above the keyboard.
    if (_pinPrompt) {
        const int top = stage.y();
        _pinPrompt->setGeometry(stage.x(), top, stage.width(), std::max(1, keyboardFrame.top() - top));
        setPixelSize(_pinPrompt, 0.06 * unit);
    }
}

QRectF AppController::centeredFrame(const QRectF& s, const QRectF& f, bool horizontally, bool vertically,
                                    float hScale, float vScale)
{
    QRectF r = f;
    if (horizontally) {
        float width = float(f.width()) * hScale;
        float x = (float(s.width()) - width) / 2.0f;
        if (x < 0.0f) {
            x = 0.0f;
            width = float(s.width());
        }
        r.setX(x);
        r.setWidth(width);
    }
    if (vertically) {
        const float height = float(f.height()) * vScale;
        r.setY((float(s.height()) - height) / 2.0f);
        r.setHeight(height);
    }
    return r;
}

void AppController::centerInSuperview(QObject* object, bool horizontally, bool vertically, float hScale, float vScale)
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
    const QRectF newFrame = centeredFrame(superFrame, oldFrame, horizontally, vertically, hScale, vScale);
    SNP_Log::debugf("super frame = %s; old frame = %s; new frame = %s", qUtf8Printable(rectText(superFrame)),
                    qUtf8Printable(rectText(oldFrame)), qUtf8Printable(rectText(newFrame)));
    setBottomLeftFrame(view, newFrame);
    SNP_Log::debug(QStringLiteral("frame is set"));
}

void AppController::NSViewFrameDidChangeNotification(QObject* notificationObject)
{
    if (QWidget* keyboard = keyboardWidget())
        centerInSuperview(keyboard, true, false, 1.0f, 1.0f);
    if (notificationObject && notificationObject == _liveView)
        resizeLiveViewToFit();
}

// ---- overlay, go button, effects ----

void AppController::setOverlayWindow()
{
    if (!_EVFView || !_EVFView->parentWidget()) {
        SNP_Log::debug(QStringLiteral("setOverlayWindow: no live picture to put the frame over"));
        return;
    }
    delete _overlayWindow; // once at launch; a second call replaces the first overlay
    _overlayContentView = nullptr;
    _overlayImageView = nullptr;

    _overlayWindow = new QWidget(_EVFView->parentWidget());
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

void AppController::placeOverlay()
{
    if (!_overlayWindow || !_EVFView)
        return;
    // The frame drawn as the composite draws it: scaled so that its photo window covers the
    // camera picture exactly. What the visitor sees framed is what the picture will show.
    const QImage frame = SNP_Resources::imageNamed(QString::fromLatin1(SNP_Resources::kFrameImageName));
    const QRect evf = _EVFView->geometry();
    QRect framed = evf;
    if (!frame.isNull()) {
        const QSizeF frameSize = QSizeF(frame.size()).expandedTo(
            QSizeF(SNP_ImagePipeline::kPhotoWindowWidth, SNP_ImagePipeline::kPhotoWindowHeight));
        const QRectF window = SNP_ImagePipeline::photoWindowForCompositeSize(frameSize);
        const double sx = evf.width() / window.width();
        const double sy = evf.height() / window.height();
        framed = QRectF(evf.x() - window.x() * sx, evf.y() - window.y() * sy, frameSize.width() * sx,
                        frameSize.height() * sy)
                     .toRect();
    }
    const bool moved = _overlayWindow->geometry() != framed;
    _overlayWindow->setGeometry(framed);
    if (_overlayContentView)
        _overlayContentView->setGeometry(_overlayWindow->rect());
    if (_overlayImageView) {
        _overlayImageView->setGeometry(_overlayWindow->rect());
        if (!frame.isNull() && (moved || _overlayImageView->pixmap().size() != framed.size())) {
            const QRect picture = evf.translated(-framed.topLeft());
            bool clear = false;
            _overlayImageView->setPixmap(QPixmap::fromImage(frameOverPicture(frame, framed.size(), picture, &clear)));
            // Where the frame leaves the picture wholly clear the overlay is not drawn at all,
            // so that each live-view frame repaints the picture alone.
            _overlayWindow->setMask(clear ? QRegion(_overlayWindow->rect()) - QRegion(picture) : QRegion());
        }
    }
    _overlayWindow->raise();
}

void AppController::setGoButton()
{
    if (!_touchView) {
        SNP_Log::debug(QStringLiteral("setGoButton: no touch view"));
        return;
    }
    // Placed again: the rejection notice the old button holds is kept, not deleted with it.
    if (_badEmail && _goButton && _badEmail->parentWidget() == _goButton)
        _badEmail->setParent(_touchView);
    delete _goButton;
    _cameraNotReadyNotice = nullptr; // went with the old button
    _goButton = new QPushButton(QStringLiteral("aeiou"), _touchView);
    _goButton->setObjectName(QStringLiteral("_goButton"));
    _goButton->setFlat(true);
    _goButton->setFocusPolicy(Qt::NoFocus);
    _goButton->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; color: transparent; }"));
    _goButton->setGeometry(_touchView->rect());
    connect(_goButton, &QPushButton::clicked, this, &AppController::goButtonTouched);
    _goButton->show();
    _goButton->raise();
    if (!findChild<QObject*>(QStringLiteral("touchViewObserver"), Qt::FindDirectChildrenOnly)) {
        auto* observer = new TouchViewObserver(this);
        observer->setObjectName(QStringLiteral("touchViewObserver"));
        _touchView->installEventFilter(observer);
    }

    if (_badEmail) {
        _badEmail->setParent(_goButton);
        centerInSuperview(_badEmail, true, true, 1.0f, 1.0f);
        _badEmail->hide();
        _badEmail->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        _badEmail->setScaledContents(true);
        // Enabled: a disabled label draws its picture greyed, and the notice must read
        // orange over the keyboard. Touches pass through it all the same.
        _badEmail->setAttribute(Qt::WA_TransparentForMouseEvents); // touches reach the go button
        QColor cover = SNP_Resources::accentColor();
        cover.setAlphaF(0.85f);
        _badEmail->setPixmap(QPixmap::fromImage(imageWithSolidColor(cover)));
    }
    _cameraNotReadyNotice = makeNotice(_goButton, QStringLiteral("_cameraNotReadyNotice"),
                                       QStringLiteral("The camera is not ready.\nPlease ask the staff."));
    if (!_pinPrompt) {
        // Over the e-mail screen's text while staff type the operator PIN.
        _pinPrompt = makeNotice(_touchView, QStringLiteral("_pinPrompt"),
                                QStringLiteral("Staff only: type the operator PIN and press OK"));
        _pinPrompt->setStyleSheet(QStringLiteral("color: white; background: rgb(20, 24, 38);"
                                                 " font-family: 'DejaVu Sans'; font-weight: bold;"));
    }
    layoutTouchView();
}

void AppController::setFlashEffectForView(QWidget* view)
{
    if (!view)
        return;
    delete _flashLayer;
    auto* layer = new FlashLayer(view);
    layer->setObjectName(QStringLiteral("flashLayer"));
    _flashLayer = layer;
    _flashAnimation = new QVariantAnimation(layer);
    // One second up, one second down, for ever, easing in and out each way.
    _flashAnimation->setDuration(2000);
    _flashAnimation->setStartValue(0.0);
    _flashAnimation->setKeyValueAt(0.5, 1.0);
    _flashAnimation->setEndValue(0.0);
    _flashAnimation->setLoopCount(-1);
    connect(_flashAnimation, &QVariantAnimation::valueChanged, layer, [layer](const QVariant& v) {
        static const QEasingCurve ease(QEasingCurve::InOutSine);
        layer->intensity = ease.valueForProgress(v.toDouble());
        layer->update();
    });
    layer->show();
    layer->raise();
    _flashAnimation->start();
}

QImage AppController::imageWithSolidColor(const QColor& color)
{
    QImage image(kSolidImageSide, kSolidImageSide, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    image.fill(color);
    return image;
}

QImage AppController::blackImage() { return imageWithSolidColor(Qt::black); }
