// The kiosk screens' layout rules as plain geometry, apart from any window: the live screen's
// frame, camera picture and countdown digits inside the live picture's area, a screen picture
// letterboxed into a view, the touch screen's keyboard inside the touch picture's area, a view
// centred in its superview, and the frame overlay drawn over the camera picture as the
// composite draws it. No state: the functions answer from their arguments alone (the kiosk
// layout calls them on the main thread).
#pragma once

#include <QImage>
#include <QRect>
#include <QRectF>
#include <QSize>
#include <QSizeF>

class SNP_LiveLayout {
public:
    // The live screen's layout inside the live picture's area (stage): the frame image
    // (framed), the camera picture inside the frame's photo window, and the two countdown
    // digits beside it, all in the stage's top-left coordinates.
    struct Frames {
        QRectF framed;
        QRectF picture;
        QRectF digits1;
        QRectF digits2;
        int digitPixelSize = 0;
    };
    static Frames forStage(const QSizeF& stage, const QSizeF& frameSize);

    // The area a picture of pictureSize takes in area, scaled to fit with its aspect kept
    // and centred (the whole area when the picture is empty).
    static QRect letterboxRect(const QSize& pictureSize, const QRect& area);

    // The frame centerInSuperview gives a view of frame f in a superview of frame s
    // (both with the origin at the lower left).
    static QRectF centeredFrame(const QRectF& superFrame, const QRectF& frame, bool horizontally,
                                bool vertically, float hScale, float vScale);

    // The touch screen's keyboard inside the touch picture's area (stage): the lower part
    // of the picture, its keys growing with the screen.
    static QRect keyboardFrame(const QRect& stage);

    // The frame image's place for a camera picture at picture: scaled so that the frame's
    // photo window covers the picture exactly (the picture itself without a frame).
    static QRect framedOverlay(const QRect& picture, const QSize& frameSize);

    // The frame scaled to size, with its photo window over the picture's rectangle. Smooth
    // scaling blurs the window's edge into the picture; a window the frame leaves wholly
    // transparent is kept wholly transparent (*clear then says so), so that the screen shows
    // the picture's edge as the composite does.
    static QImage frameOverPicture(const QImage& frame, const QSize& size, const QRect& picture, bool* clear);
};
