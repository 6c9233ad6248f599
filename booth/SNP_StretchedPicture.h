// Draws the camera picture (a QLabel's pixmap) stretched over the whole label, as the
// label's scaledContents shows it, but without the smooth-scaled copy QLabel makes of each
// new pixmap: the painter scales the pixmap while it draws it into the label's rectangle.
// For the live view that is one scaling per frame, done by the paint that shows it: pixel for
// pixel when the picture is shown within a tenth of its own size, bilinear otherwise.
//
// The label is opaque (black where its picture is transparent, or without one, as the live
// screen behind it is), so that a new frame repaints the label and what lies over it, not
// what lies under it.
//
// Threads: main thread only (it filters the label's paint events; it is the label's child).
#pragma once

#include <QObject>

class QLabel;

class SNP_StretchedPicture : public QObject {
public:
    explicit SNP_StretchedPicture(QLabel* label);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
