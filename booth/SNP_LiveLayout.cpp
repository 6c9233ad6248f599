// The kiosk screens' layout rules as plain geometry (see SNP_LiveLayout.h).
#include "SNP_LiveLayout.h"

#include "SNP_ImagePipeline.h"

#include <QPainter>

#include <algorithm>

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

} // namespace

SNP_LiveLayout::Frames SNP_LiveLayout::forStage(const QSizeF& stage, const QSizeF& frameSize)
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
    Frames layout;
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

QRect SNP_LiveLayout::letterboxRect(const QSize& pictureSize, const QRect& area)
{
    if (pictureSize.isEmpty() || area.isEmpty())
        return area;
    const QSize fitted = pictureSize.scaled(area.size(), Qt::KeepAspectRatio);
    return QRect(area.x() + (area.width() - fitted.width()) / 2, area.y() + (area.height() - fitted.height()) / 2,
                 fitted.width(), fitted.height());
}

QRectF SNP_LiveLayout::centeredFrame(const QRectF& s, const QRectF& f, bool horizontally, bool vertically,
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

QRect SNP_LiveLayout::keyboardFrame(const QRect& stage)
{
    const int height = int(std::min(kKeyboardHeight * stage.height(), kKeyboardHeightOfWidth * stage.width()));
    const int width = int(std::min(kKeyboardWidth * stage.width(), kKeyboardAspect * height));
    return QRect(stage.center().x() - width / 2, stage.bottom() + 1 - int(kKeyboardBottom * stage.height()) - height,
                 width, height);
}

QRect SNP_LiveLayout::framedOverlay(const QRect& picture, const QSize& frameSize)
{
    if (frameSize.isEmpty())
        return picture;
    const QSizeF frame = QSizeF(frameSize).expandedTo(
        QSizeF(SNP_ImagePipeline::kPhotoWindowWidth, SNP_ImagePipeline::kPhotoWindowHeight));
    const QRectF window = SNP_ImagePipeline::photoWindowForCompositeSize(frame);
    const double sx = picture.width() / window.width();
    const double sy = picture.height() / window.height();
    return QRectF(picture.x() - window.x() * sx, picture.y() - window.y() * sy, frame.width() * sx, frame.height() * sy)
        .toRect();
}

QImage SNP_LiveLayout::frameOverPicture(const QImage& frame, const QSize& size, const QRect& picture, bool* clear)
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
