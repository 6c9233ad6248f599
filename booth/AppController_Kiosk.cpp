// The controller's side of the kiosk: its kiosk operations, which SNP_KioskLayout carries
// out (the windows on their screens, the screen pictures and what is laid out over them),
// and the touch screen's go button with the notices it holds, which the screens show and
// hide. Main thread only.
#include "AppController.h"

#include "SNP_KeyboardView.h"
#include "SNP_Log.h"
#include "SNP_Resources.h"

#include <QLabel>
#include <QPushButton>

namespace {

constexpr int kSolidImageSide = 100;

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

} // namespace

// ---- kiosk mode and the screens ----

void AppController::toggleFullScreen(QObject*) { _kiosk->toggleFullScreen(); }

AppController::KioskScreens AppController::kioskScreens(bool report) { return SNP_KioskLayout::kioskScreens(report); }

void AppController::placeKioskWindows() { _kiosk->placeKioskWindows(); }

void AppController::watchScreens() { _kiosk->watchScreens(); }

void AppController::screensChanged() { _kiosk->screensChanged(); }

void AppController::showContentForScreen() { _kiosk->showContentForScreen(); }

void AppController::disableScreenUpdates() { _kiosk->disableScreenUpdates(); }

void AppController::enableScreenUpdates() { _kiosk->enableScreenUpdates(); }

// ---- screen pictures and layout ----

QRect AppController::letterboxRect(const QSize& pictureSize, const QRect& area)
{
    return SNP_LiveLayout::letterboxRect(pictureSize, area);
}

void AppController::showScreenPicture(QLabel* view, const QImage& picture) { _kiosk->showScreenPicture(view, picture); }

void AppController::showScreenPictures(uint32_t number, bool touchToo) { _kiosk->showScreenPictures(number, touchToo); }

AppController::LiveLayout AppController::liveLayoutForStage(const QSizeF& stage, const QSizeF& frameSize)
{
    return SNP_LiveLayout::forStage(stage, frameSize);
}

void AppController::resizeLiveViewToFit() { _kiosk->resizeLiveViewToFit(); }

void AppController::layoutTouchView() { _kiosk->layoutTouchView(); }

QRectF AppController::centeredFrame(const QRectF& superFrame, const QRectF& frame, bool horizontally, bool vertically,
                                    float hScale, float vScale)
{
    return SNP_LiveLayout::centeredFrame(superFrame, frame, horizontally, vertically, hScale, vScale);
}

void AppController::centerInSuperview(QObject* view, bool horizontally, bool vertically, float hScale, float vScale)
{
    _kiosk->centerInSuperview(view, horizontally, vertically, hScale, vScale);
}

void AppController::NSViewFrameDidChangeNotification(QObject* notificationObject)
{
    if (QWidget* keyboard = keyboardWidget())
        centerInSuperview(keyboard, true, false, 1.0f, 1.0f);
    if (notificationObject && notificationObject == _liveView)
        resizeLiveViewToFit();
}

// ---- overlay, camera picture, effects ----

void AppController::setOverlayWindow() { _kiosk->setOverlayWindow(); }

void AppController::placeOverlay() { _kiosk->placeOverlay(); }

void AppController::showFrameOverlay(bool shown) { _kiosk->showFrameOverlay(shown); }

void AppController::blankCameraPicture() { _kiosk->blankCameraPicture(); }

void AppController::setFlashEffectForView(QWidget* view) { _kiosk->setFlashEffectForView(view); }

// ---- the go button ----

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
    _kiosk->followTouchView(_goButton, _cameraNotReadyNotice, _pinPrompt);
    layoutTouchView();
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
