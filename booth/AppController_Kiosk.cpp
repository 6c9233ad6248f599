// The kiosk windows: the touch window (this controller's window, with the operator tab)
// and the live window, full screen on the first and the last screen; on a computer with
// one screen the live content moves into a borderless window instead. Also the live
// picture's layout, the click-through frame overlay, the go button, the pulse effect and
// solid-colour images.
#include "AppController.h"

#include "SNP_KeyboardView.h"
#include "SNP_Log.h"
#include "SNP_Resources.h"

#include <QCursor>
#include <QEasingCurve>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <QWindow>

namespace {

// The keyboard, also before awakeFromNib has set the outlet.
inline SNP_KeyboardView* keyboardWidget(AppController* c)
{
    if (!c->_keyboard)
        c->_keyboard = c->findChild<SNP_KeyboardView*>(QStringLiteral("_keyboard"));
    return c->_keyboard;
}

const QColor kAccent = QColor::fromRgbF(0.9372549f, 0.5568628f, 0.1372549f, 1.0f);
constexpr double kOverlayMargin = 50.0;
constexpr double kLivePictureHeight = 0.645; // of the live view's height
constexpr double kLivePictureAspect = 1.5;   // width to height
constexpr double kLivePictureBottom = 0.102; // of the live view's height
constexpr double kCountdownBottom = 0.305;   // of the live view's height
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

// Keeps the go button filling the touch view and the rejection notice centred in it.
class TouchViewObserver : public QObject {
public:
    TouchViewObserver(AppController* controller) : QObject(controller), _controller(controller) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Resize && watched == _controller->_touchView) {
            if (_controller->_goButton)
                _controller->_goButton->setGeometry(_controller->_touchView->rect());
            if (_controller->_badEmail)
                _controller->centerInSuperview(_controller->_badEmail, true, true, 1.0f, 1.0f);
            if (QLabel* field = _controller->_touchCountdownField)
                field->move((_controller->_touchView->width() - field->width()) / 2, field->y());
        }
        return false;
    }

private:
    AppController* _controller;
};

// The pulse: an orange border and a glow whose intensity rises from 0 to 1 in a second
// and falls back, for as long as the layer lives; the frame image is drawn over it.
class FlashLayer : public QWidget {
public:
    explicit FlashLayer(QWidget* view) : QWidget(view)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setGeometry(view->rect());
        _frame = SNP_Resources::imageNamed(QStringLiteral("LumoPictureFrame.png"));
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
            QColor glow = kAccent;
            glow.setAlphaF(float(std::clamp(intensity * (1.0 - double(i) / (kBloomRadius + 1)) * 0.6, 0.0, 1.0)));
            p.setPen(QPen(glow, 2.0));
            p.drawRect(r.adjusted(i * 1.5, i * 1.5, -i * 1.5, -i * 1.5));
        }
        if (!_frame.isNull())
            p.drawImage(QRectF(rect()), _frame);
        p.setPen(QPen(kAccent, kBorderWidth));
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
    for (QWidget* w : {static_cast<QWidget*>(window()), _liveWindow, _fullWindow}) {
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
    for (QWidget* w : {static_cast<QWidget*>(window()), _liveWindow, _fullWindow}) {
        if (w && w->property("snpUpdatesSuspended").toBool()) {
            w->setProperty("snpUpdatesSuspended", QVariant());
            w->setUpdatesEnabled(true);
        }
    }
}

// ---- full screen ----

void AppController::toggleFullScreen(QObject*)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    QScreen* firstScreen = screens.isEmpty() ? nullptr : screens.first();
    QScreen* lastScreen = screens.isEmpty() ? nullptr : screens.last();
    if (!_liveContentView)
        _liveContentView = findChild<QWidget*>(QStringLiteral("_liveContentView"));
    QWidget* touchWindow = _touchView ? _touchView->window() : window();
    QTabWidget* tabs = findChild<QTabWidget*>(QStringLiteral("_tabs"));
    auto showCursor = [] {
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
    };
    auto enterFullScreen = [](QWidget* w, QScreen* screen) {
        if (!w)
            return;
        if (screen) {
            w->winId(); // the native window, so that it can be given its screen
            if (w->windowHandle())
                w->windowHandle()->setScreen(screen);
            w->setGeometry(screen->geometry());
        }
        w->showFullScreen();
    };

    if (touchWindow && touchWindow->isFullScreen()) {
        // Back to ordinary windows, touch first.
        touchWindow->showNormal();
        if (_liveWindow)
            _liveWindow->showNormal();
        showCursor();
        if (tabs)
            tabs->tabBar()->show();
        SNP_Log::debug(QStringLiteral("left full-screen mode"));
    } else if (screens.size() >= 2) {
        // Kiosk: the visitor sees only the touch screen, the operator tab is out of reach.
        if (tabs) {
            tabs->setCurrentIndex(0);
            tabs->tabBar()->hide();
        }
        enterFullScreen(touchWindow, firstScreen);
        enterFullScreen(_liveWindow, lastScreen);
        SNP_Log::debug(QStringLiteral("entered full-screen mode"));
    } else if (_liveWindow && _liveContentView) {
        if (_liveWindow->isMinimized())
            _liveWindow->showNormal();
        QRect target;
        if (lastScreen) {
            // The lower-left quarter of the screen.
            const QRect g = lastScreen->geometry();
            target = QRect(g.x(), g.y() + g.height() - g.height() / 2, g.width() / 2, g.height() / 2);
        }
        if (!_fullWindow) {
            _fullWindow = new QWidget(this, Qt::Window | Qt::FramelessWindowHint);
            _fullWindow->setObjectName(QStringLiteral("_fullWindow"));
            _fullWindow->setWindowTitle(_liveWindow->windowTitle());
            auto* layout = new QVBoxLayout(_fullWindow);
            layout->setContentsMargins(0, 0, 0, 0);
            layout->setSpacing(0);
            if (target.isValid())
                _fullWindow->setGeometry(target);
        }
        const bool backToLiveWindow = _fullWindow->isVisible();
        QWidget* source = backToLiveWindow ? _fullWindow : _liveWindow;
        QWidget* destination = backToLiveWindow ? _liveWindow : _fullWindow;
        if (!backToLiveWindow && target.isValid())
            _fullWindow->setGeometry(target);
        if (source->layout())
            source->layout()->removeWidget(_liveContentView);
        _liveContentView->setParent(destination);
        if (!destination->layout()) {
            auto* layout = new QVBoxLayout(destination);
            layout->setContentsMargins(0, 0, 0, 0);
        }
        destination->layout()->addWidget(_liveContentView);
        _liveContentView->show();
        destination->show();
        destination->raise();
        _liveContentView->setFocus();
        source->hide();
        if (backToLiveWindow)
            showCursor();
        SNP_Log::debugf("live content moved to the %s window", backToLiveWindow ? "live" : "borderless");
    }

    resizeLiveViewToFit();
    if (_goButton && _goButton->parentWidget())
        _goButton->setGeometry(_goButton->parentWidget()->rect());
    if (_badEmail)
        centerInSuperview(_badEmail, true, true, 1.0f, 1.0f);
    if (_overlayWindow && _EVFView && _overlayWindow->parentWidget() != _EVFView->parentWidget()) {
        _overlayWindow->setParent(_EVFView->parentWidget());
        _overlayWindow->show();
    }
    if (_overlayWindow)
        _overlayWindow->raise();
}

// ---- layout ----

QRectF AppController::liveViewFrameForSize(const QSizeF& size)
{
    const float h = float(kLivePictureHeight * size.height());
    const float w = float(kLivePictureAspect * double(h));
    const float x = float((size.width() - double(w)) / 2.0);
    const float y = float(kLivePictureBottom * size.height());
    return QRectF(x, y, w, h);
}

float AppController::liveCountdownBottomForHeight(double height) { return float(kCountdownBottom * height); }

void AppController::resizeLiveViewToFit()
{
    if (!_liveView || !_EVFView)
        return;
    const QRectF newFrame = liveViewFrameForSize(QSizeF(_liveView->size()));
    SNP_Log::debugf("resizing evfview; old frame = %s; new frame = %s", qUtf8Printable(rectText(bottomLeftFrame(_EVFView))),
                    qUtf8Printable(rectText(newFrame)));
    setBottomLeftFrame(_EVFView, newFrame);

    const float bottom = liveCountdownBottomForHeight(_liveView->height());
    QRectF field1;
    if (_liveCountdownField1) {
        field1 = bottomLeftFrame(_liveCountdownField1);
        field1.moveTop(bottom); // bottom-left coordinates: "top" is the bottom edge
        setBottomLeftFrame(_liveCountdownField1, field1);
    }
    if (_liveCountdownField2 && _liveCountdownField1) {
        const QRectF own = bottomLeftFrame(_liveCountdownField2);
        setBottomLeftFrame(_liveCountdownField2, QRectF(own.x(), bottom, field1.width(), field1.height()));
    }

    // The overlay follows the camera picture.
    if (_overlayWindow && _overlayWindow->parentWidget() == _EVFView->parentWidget())
        placeOverlay();
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
    if (QWidget* keyboard = keyboardWidget(this))
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

    const int m = int(kOverlayMargin);
    const QRect evf = _EVFView->geometry();
    _overlayWindow = new QWidget(_EVFView->parentWidget());
    _overlayWindow->setObjectName(QStringLiteral("_overlayWindow"));
    _overlayWindow->setAttribute(Qt::WA_TransparentForMouseEvents);
    _overlayWindow->setAttribute(Qt::WA_NoSystemBackground);
    _overlayWindow->setAutoFillBackground(false);
    _overlayWindow->setGeometry(evf.adjusted(-m, -m, m, m));

    _overlayContentView = new QWidget(_overlayWindow);
    _overlayContentView->setObjectName(QStringLiteral("overlayContentView"));
    _overlayContentView->setAttribute(Qt::WA_TransparentForMouseEvents);
    _overlayImageView = new QLabel(_overlayContentView);
    _overlayImageView->setObjectName(QStringLiteral("overlayImageView"));
    _overlayImageView->setAttribute(Qt::WA_TransparentForMouseEvents);
    _overlayImageView->setAlignment(Qt::AlignCenter);
    _overlayContentView->hide();
    if (SNP_Resources::imageNamed(QStringLiteral("LumoPictureFrame")).isNull())
        SNP_Log::debug(QStringLiteral("the frame image \"LumoPictureFrame\" is missing: the overlay stays empty"));
    placeOverlay();
    _overlayWindow->show();
    _overlayWindow->raise();
}

void AppController::placeOverlay()
{
    if (!_overlayWindow || !_EVFView)
        return;
    const int m = int(kOverlayMargin);
    const QRect evf = _EVFView->geometry();
    _overlayWindow->setGeometry(evf.adjusted(-m, -m, m, m));
    if (_overlayContentView)
        _overlayContentView->setGeometry(_overlayWindow->rect());
    if (_overlayImageView) {
        _overlayImageView->setGeometry(_overlayWindow->rect());
        // The frame, stretched to the picture's size plus the margin, centred.
        const QImage frame = SNP_Resources::imageNamed(QStringLiteral("LumoPictureFrame"));
        if (!frame.isNull())
            _overlayImageView->setPixmap(QPixmap::fromImage(
                frame.scaled(evf.width() + m, evf.height() + m, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
    }
    _overlayWindow->raise();
}

void AppController::setGoButton()
{
    if (!_touchView) {
        SNP_Log::debug(QStringLiteral("setGoButton: no touch view"));
        return;
    }
    delete _goButton;
    _goButton = new QPushButton(QStringLiteral("aeiou"), _touchView);
    _goButton->setObjectName(QStringLiteral("_goButton"));
    _goButton->setFlat(true);
    _goButton->setFocusPolicy(Qt::NoFocus);
    _goButton->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; color: transparent; }"));
    _goButton->setGeometry(_touchView->rect());
    connect(_goButton, &QPushButton::clicked, this, [this] { nextScreen(_goButton); });
    _goButton->show();
    _goButton->raise();
    _touchView->installEventFilter(new TouchViewObserver(this));

    if (_badEmail) {
        _badEmail->setParent(_goButton);
        centerInSuperview(_badEmail, true, true, 1.0f, 1.0f);
        _badEmail->hide();
        _badEmail->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        _badEmail->setScaledContents(true);
        _badEmail->setEnabled(false);
        _badEmail->setAttribute(Qt::WA_TransparentForMouseEvents); // touches reach the go button
        QColor cover = kAccent;
        cover.setAlphaF(0.85f);
        _badEmail->setPixmap(QPixmap::fromImage(imageWithSolidColor(cover)));
    }
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
