// The kiosk layout: which screen the touch window and the live window go to (the outputs
// named by "touchScreenOutput" and "liveScreenOutput" when connected, else the first screen
// and the last), their placement full screen there, and kiosk mode itself (no tab bar, no
// cursor) against the ordinary windows staff use. Screens plugged in or out while the booth
// runs are followed once they settle; on a computer with one screen both windows fill it and
// the live window is shown over the touch window from screen 3 to 6. It keeps the screen
// pictures shown, letterboxed so that they keep their aspect on a screen of any size, and
// lays out what sits on them from the picture's area: on the live screen the camera picture,
// its click-through frame overlay and the countdown digits; on the touch screen the go
// button, the keyboard, the countdown and the notices. Also the pulse over a view and the
// suspension of screen updates over the kiosk windows. The widgets are the controller's
// (from resources/AppController.ui, and the go button and notices it makes); the overlay
// and the pulse are made here. Main thread only.
#pragma once

#include "SNP_LiveLayout.h"

#include <QImage>
#include <QPointer>
#include <QRect>
#include <QSize>

#include <cstdint>

class AppController;
class QLabel;
class QPushButton;
class QScreen;
class QTimer;
class QWidget;

// The operations are the controller's kiosk operations of the same names (AppController.h
// says what each does); the controller forwards them here.
class SNP_KioskLayout {
public:
    // The controller's widgets the layout works on, from the interface file.
    struct Widgets {
        QLabel* cameraPicture = nullptr; // _EVFView
        QWidget* liveWindow = nullptr;
        QLabel* touchView = nullptr;
        QLabel* liveView = nullptr;
        QLabel* badEmail = nullptr;
        QLabel* badEmailItemText = nullptr;
        QLabel* liveCountdownField1 = nullptr;
        QLabel* liveCountdownField2 = nullptr;
        QLabel* touchCountdownField = nullptr;
    };
    SNP_KioskLayout(AppController& controller, const Widgets& widgets);
    ~SNP_KioskLayout();
    SNP_KioskLayout(const SNP_KioskLayout&) = delete;
    SNP_KioskLayout& operator=(const SNP_KioskLayout&) = delete;

    // The touch screen and the live screen (the same one on a computer with one screen): the
    // outputs named in the settings when connected, else the first screen and the last
    // (report: log a named output that is not connected).
    struct Screens {
        QScreen* touch = nullptr;
        QScreen* live = nullptr;
    };
    static Screens kioskScreens(bool report = false);

    // Kiosk mode on (the windows full screen on their screens) or off (ordinary windows).
    void toggleFullScreen();
    bool inKioskMode() const { return _kioskMode; }
    void placeKioskWindows();
    void watchScreens();
    void screensChanged();
    void showContentForScreen();

    // Nested suspension of screen updates over the touch and the live window.
    void disableScreenUpdates();
    void enableScreenUpdates();

    // The screen pictures, kept for the views' later size changes.
    void showScreenPicture(QLabel* view, const QImage& picture);
    void showScreenPictures(uint32_t number, bool touchToo);
    uint32_t screenPictureNumber() const { return _pictureNumber; }
    QSize touchPictureSize() const { return _touchPicture.size(); }

    // The go button and the notices over the touch picture, made (again) by the controller:
    // laid out with the touch view from now on, which is laid out again when it changes size.
    void followTouchView(QPushButton* goButton, QLabel* cameraNotReadyNotice, QLabel* pinPrompt);
    void layoutTouchView();
    void resizeLiveViewToFit();
    void centerInSuperview(QObject* view, bool horizontally, bool vertically, float hScale, float vScale);

    // The frame overlay over the camera picture; its content shown or hidden with the picture.
    void setOverlayWindow();
    void placeOverlay();
    void showFrameOverlay(bool shown);
    void blankCameraPicture();

    // The pulse over the view, in place of the one before.
    void setFlashEffectForView(QWidget* view);

private:
    QWidget* touchWindow() const;
    // The notices and the PIN prompt over the touch picture's area (stage) in the view.
    void layoutTouchNotices(const QRect& view, const QRect& stage, const QRect& keyboardFrame);

    AppController& _controller;
    const Widgets _widgets;
    QPointer<QPushButton> _goButton;
    QPointer<QLabel> _cameraNotReadyNotice;
    QPointer<QLabel> _pinPrompt;
    bool _followingTouchView = false;

    bool _kioskMode = false;
    QTimer* _screensSettleTimer = nullptr;  // screens plugged in or out settle before the windows move
    int _screenUpdatesDisabled = 0;

    QImage _touchPicture;                   // the pictures shown, kept for size changes
    QImage _livePicture;
    uint32_t _pictureNumber = 0;            // of the screen pictures shown

    QWidget* _overlayWindow = nullptr;
    QWidget* _overlayContentView = nullptr; // content view of _overlayWindow
    QLabel* _overlayImageView = nullptr;    // the frame image in the overlay

    QPointer<QWidget> _flashLayer;          // the pulse, with its animation
};
