#include "PWNSImageFlipped.h"

#include "SNP_Log.h"

#include <QPixmap>

PWNSImageFlipped PWNSImageFlipped::imageWithData(const QByteArray& data)
{
    PWNSImageFlipped image;
    if (data.isEmpty())
        return image;
    if (!image.loadFromData(data)) {
        SNP_Log::debugf("PWNSImageFlipped: cannot decode %lld bytes of image data", static_cast<long long>(data.size()));
        return PWNSImageFlipped();
    }
    image._sourceData = data;
    return image;
}

void PWNSImageFlipped::setDataRetained(bool flag)
{
    _dataRetained = flag;
    if (!flag)
        _sourceData.clear();
}

void PWNSImageFlipped::drawAtPoint(QPainter& painter, const QPointF& point, const QRectF& fromRect,
                                   QPainter::CompositionMode operation, qreal fraction) const
{
    SNP_Log::debug(QStringLiteral("drawAtPoint"));
    if (isNull())
        return;
    const QRectF source = fromRect.isEmpty() ? QRectF(QPointF(0, 0), QSizeF(size())) : fromRect;
    painter.save();
    painter.translate(point.x(), point.y() + height());
    painter.scale(1.0, -1.0);
    painter.setCompositionMode(operation);
    painter.setOpacity(painter.opacity() * fraction);
    painter.drawImage(QRectF(QPointF(0, 0), source.size()), static_cast<const QImage&>(*this), source);
    painter.restore();
}

void PWNSImageFlipped::drawInRect(QPainter& painter, const QRectF& rect, const QRectF& fromRect,
                                  QPainter::CompositionMode operation, qreal fraction) const
{
    SNP_Log::debug(QStringLiteral("drawInRect"));
    if (isNull())
        return;
    const QRectF source = fromRect.isEmpty() ? QRectF(QPointF(0, 0), QSizeF(size())) : fromRect;
    painter.save();
    painter.setCompositionMode(operation);
    painter.setOpacity(painter.opacity() * fraction);
    painter.drawImage(rect, static_cast<const QImage&>(*this), source);
    painter.restore();
}

bool PWNSImageFlipped::drawRepresentation(QPainter& painter, const QRectF& rect) const
{
    SNP_Log::debug(QStringLiteral("drawRepresentation"));
    if (isNull())
        return false;
    painter.drawImage(rect, static_cast<const QImage&>(*this));
    return true;
}

bool PWNSImageFlipped::imageFromVariant(const QVariant& value, QImage* image)
{
    QImage found;
    if (value.metaType() == QMetaType::fromType<PWNSImageFlipped>())
        found = value.value<PWNSImageFlipped>();
    else if (value.metaType() == QMetaType::fromType<QImage>())
        found = value.value<QImage>();
    else if (value.metaType() == QMetaType::fromType<QPixmap>())
        found = value.value<QPixmap>().toImage();
    if (found.isNull())
        return false;
    if (image)
        *image = found;
    return true;
}
