// An image that draws itself upside down: the live-view frames are made of it. It is a
// QImage (so it shows anywhere a QImage does) with the flag that asks for vertical
// flipping and, when asked to, the encoded data it was made from.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QMetaType>
#include <QPainter>
#include <QPointF>
#include <QRectF>
#include <QVariant>

class PWNSImageFlipped : public QImage {
public:
    PWNSImageFlipped() = default;
    explicit PWNSImageFlipped(const QImage& image) : QImage(image) {}
    // An image decoded elsewhere from data (null when image is); the data is kept only when
    // setDataRetained(true) is called afterwards.
    PWNSImageFlipped(const QImage& image, const QByteArray& data)
        : QImage(image), _sourceData(image.isNull() ? QByteArray() : data) {}

    // Decodes an encoded image (JPEG and the other formats Qt reads). Bytes after the end
    // of the JPEG stream are ignored. A null image when the data cannot be decoded; the
    // data is kept only when setDataRetained(true) is called afterwards.
    static PWNSImageFlipped imageWithData(const QByteArray& data);

    void setFlippedVertically(bool flag) { _isFlippedVertically = flag; }
    bool isFlippedVertically() const { return _isFlippedVertically; }

    // Keeps (or drops) the encoded data the image was made from.
    void setDataRetained(bool flag);
    bool isDataRetained() const { return _dataRetained; }
    // The retained source data; empty unless retained.
    QByteArray sourceData() const { return _dataRetained ? _sourceData : QByteArray(); }

    // Draws the part fromRect (the whole image when empty) of the image with its top-left
    // corner at point, upside down in its own place: a point (u, v) of the image lands at
    // (point.x + u, point.y + height - v). Flipped whatever the flag holds.
    void drawAtPoint(QPainter& painter, const QPointF& point, const QRectF& fromRect = QRectF(),
                     QPainter::CompositionMode operation = QPainter::CompositionMode_SourceOver,
                     qreal fraction = 1.0) const;
    // Draws the part fromRect (whole image when empty) into rect, the right way up.
    void drawInRect(QPainter& painter, const QRectF& rect, const QRectF& fromRect = QRectF(),
                    QPainter::CompositionMode operation = QPainter::CompositionMode_SourceOver,
                    qreal fraction = 1.0) const;
    // Draws the whole image into rect; false when there is nothing to draw.
    bool drawRepresentation(QPainter& painter, const QRectF& rect) const;

    // The picture carried by a variant: a PWNSImageFlipped, a QImage or a QPixmap. False
    // (and image untouched) for anything else or a null picture.
    static bool imageFromVariant(const QVariant& value, QImage* image);

private:
    QByteArray _sourceData;
    bool _isFlippedVertically = false;
    bool _dataRetained = false;
};

Q_DECLARE_METATYPE(PWNSImageFlipped)
