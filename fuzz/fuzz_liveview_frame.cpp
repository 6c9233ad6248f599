// Live-view frame handling: the bytes the camera left in the frame buffer are cut to the
// JPEG stream at their front and decoded as the frame loop decodes them (one decoder for
// every frame, at a shown size the input picks) into the displayable, upside-down frame
// image, which the live picture then draws.
#include "FuzzSupport.h"

#include "PWNSImageFlipped.h"
#include "SNP_CanonCamera.h"
#include "SNP_ImagePipeline.h"

#include <QImage>
#include <QPainter>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzSupport::startApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t length = SNP_CanonCamera::liveViewJpegLength(data, size);
    FUZZ_CHECK(length <= size);
    if (length == 0)
        return 0;
    // A stream runs from its start marker to its end marker.
    FUZZ_CHECK(length >= 4);
    FUZZ_CHECK(data[0] == 0xFF && data[1] == 0xD8);
    FUZZ_CHECK(data[length - 2] == 0xFF && data[length - 1] == 0xD9);

    static SNP_ImagePipeline::FrameDecoder decoder; // kept from frame to frame, as the loop keeps it
    const QSize shownSizes[] = {QSize(), QSize(1054, 657), QSize(300, 200), QSize(16, 16)};
    // Chosen by a byte inside the frame (its last is always the end marker's 0xD9).
    const QSize shownAt = shownSizes[data[length / 2] % 4];
    PWNSImageFlipped frame(decoder.decode(data, length, shownAt), FuzzSupport::bytes(data, length));
    if (frame.isNull())
        return 0; // "error creating NSImage from data": the frame is dropped
    frame.setFlippedVertically(true);
    frame.setDataRetained(true);
    FUZZ_CHECK(frame.width() > 0 && frame.height() > 0);
    FUZZ_CHECK(frame.sourceData().size() == qsizetype(length));

    // Drawn the way the live picture draws it, into a small target.
    QImage target(48, 32, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::black);
    QPainter painter(&target);
    frame.drawInRect(painter, QRectF(0, 0, 48, 32));
    frame.drawAtPoint(painter, QPointF(2, 2), QRectF(0, 0, qMin(frame.width(), 8), qMin(frame.height(), 8)));
    FUZZ_CHECK(frame.drawRepresentation(painter, QRectF(4, 4, 16, 16)));
    QImage shown;
    FUZZ_CHECK(PWNSImageFlipped::imageFromVariant(QVariant::fromValue(frame), &shown));
    FUZZ_CHECK(shown.size() == frame.size());
    return 0;
}
