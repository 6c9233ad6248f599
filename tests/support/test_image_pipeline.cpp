// Decoding for the screen and for the re-encoding: a picture decoded once into its planes is
// encoded again and reduced as the usual decode shows it, whatever its subsampling and
// size; live-view frames are decoded for the size they are shown at, bad frames give no
// image, and a frame's pixels stay as they are while later frames are decoded.
#include "JpegFixtures.h"

#include <QLinearGradient>
#include <QPainter>

#include <turbojpeg.h>

#include <thread>

using namespace fixtures;
using namespace SNP_ImagePipeline;

namespace {

using ImagePipelineTest = LoggedTest;

// Mean absolute difference per colour channel of two pictures (255 when their sizes differ).
double meanDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size() || a.isNull())
        return 255;
    const QImage x = a.convertToFormat(QImage::Format_RGB32), y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * x.width() * x.height());
}

// A picture like a photograph: smooth shading with a few shapes of clear colours.
QImage scene(QSize size)
{
    QImage image(size, QImage::Format_RGB888);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, QColor(90, 140, 220));
    sky.setColorAt(1, QColor(240, 220, 160));
    painter.fillRect(image.rect(), sky);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(200, 40, 40));
    painter.drawEllipse(QRectF(size.width() * 0.1, size.height() * 0.2, size.width() * 0.3, size.height() * 0.4));
    painter.setBrush(QColor(30, 160, 60));
    painter.drawRect(QRectF(size.width() * 0.55, size.height() * 0.5, size.width() * 0.35, size.height() * 0.4));
    return image;
}

// The picture decoded whole and scaled smoothly to size.
QImage reference(const QByteArray& jpeg, QSize size)
{
    return decodeJpeg(jpeg).value_or(QImage()).scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

TEST_F(ImagePipelineTest, APictureDecodedOnceIsEncodedAgainAndReducedAsTheUsualDecodeShowsIt)
{
    const struct { const char* name; QSize size; int subsampling; QSize atLeast, reduced; } rows[] = {
        {"4:2:0", {1200, 800}, TJSAMP_420, {500, 300}, {600, 400}},
        {"4:2:2 of odd size", {999, 667}, TJSAMP_422, {300, 200}, {333, 222}},
        {"4:4:4 smaller than asked", {320, 240}, TJSAMP_444, {1024, 680}, {320, 240}},
        {"grey", {640, 480}, TJSAMP_GRAY, {200, 150}, {213, 160}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QByteArray jpeg = encodeJpeg(scene(row.size), 95, row.subsampling).value();
        const auto decoded = DecodedJpeg::decode(jpeg, row.atLeast);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->size(), row.size);

        const QByteArray again = decoded->encode(90).value_or(QByteArray());
        const auto header = readJpegHeader(again);
        ASSERT_TRUE(header.has_value());
        EXPECT_EQ(QSize(header->width, header->height), row.size);
        EXPECT_EQ(header->subsampling, row.subsampling);
        // No further from the picture than a round trip through RGB pixels goes.
        const QImage original = decodeJpeg(jpeg).value();
        const QByteArray throughRgb = encodeJpeg(original, 90, row.subsampling).value();
        EXPECT_LE(meanDifference(decodeJpeg(again).value(), original),
                  meanDifference(decodeJpeg(throughRgb).value(), original) + 0.1);

        const QImage reduced = decoded->reduced();
        EXPECT_EQ(reduced.format(), QImage::Format_RGB32);
        EXPECT_EQ(reduced.size(), row.reduced);
        EXPECT_LT(meanDifference(reduced, reference(jpeg, row.reduced)), 1.5);
    }
    const QByteArray whole = encodeJpeg(patternImage(64, 48), 90).value();
    for (const QByteArray& bad : {whole.left(whole.size() / 2), QByteArray("not a picture")})
        EXPECT_EQ(DecodedJpeg::decode(bad), nullptr);
}

TEST_F(ImagePipelineTest, FramesAreDecodedForTheSizeTheyAreShownAtAndBadOnesGiveNoImage)
{
    const struct { QSize frame, shown, decoded; } rows[] = {
        {{1024, 680}, {}, {1024, 680}},           // shown at a size not known
        {{1024, 680}, {1054, 657}, {1024, 680}},  // about its own size
        {{1024, 680}, {600, 400}, {1024, 680}},   // more than half its size
        {{1024, 680}, {512, 340}, {512, 340}},    // half
        {{1024, 680}, {300, 200}, {384, 255}},    // 3/8
        {{1023, 677}, {300, 200}, {384, 254}},    // of odd size
        {{1024, 680}, {100, 60}, {128, 85}},      // 1/8, the least
    };
    FrameDecoder decoder;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.shown.width());
        const QByteArray frame = encodeJpeg(scene(row.frame), 85).value();
        const QImage image = decoder.decode(reinterpret_cast<const uchar*>(frame.constData()), size_t(frame.size()), row.shown);
        EXPECT_EQ(image.size(), row.decoded);
        EXPECT_EQ(FrameDecoder::decodedSize(row.frame, row.shown), row.decoded);
        EXPECT_EQ(image.format(), QImage::Format_RGB32);
        const double tolerance = row.decoded == row.frame ? 0.5 : 1.5; // the same decode, or a reduced one
        EXPECT_LT(meanDifference(image, reference(frame, row.decoded)), tolerance);
    }
    const QByteArray frame = encodeJpeg(patternImage(320, 240), 85).value();
    const auto decode = [&](const QByteArray& bytes) {
        return decoder.decode(reinterpret_cast<const uchar*>(bytes.constData()), size_t(bytes.size()), QSize());
    };
    QByteArray garbage = frame;
    for (qsizetype i = 200; i < garbage.size(); i += 7)
        garbage[i] = char(i * 13);
    for (const QByteArray& bad : {frame.left(frame.size() / 3), garbage, QByteArray()})
        EXPECT_TRUE(decode(bad).isNull());
    EXPECT_FALSE(decode(frame).isNull()); // the decoder goes on after bad frames
}

// The buffer of a frame still shown is never written: later frames take other buffers, and
// a frame's buffer comes back for later ones once its image is gone, on whatever thread,
// also after the decoder has gone.
TEST_F(ImagePipelineTest, AFrameKeepsItsPixelsWhileLaterFramesAreDecoded)
{
    const QByteArray red = encodeJpeg(solidImage(320, 240, QColor(220, 20, 20)), 85).value();
    const QByteArray blue = encodeJpeg(solidImage(320, 240, QColor(20, 20, 220)), 85).value();
    const auto bytes = [](const QByteArray& b) { return reinterpret_cast<const uchar*>(b.constData()); };
    QImage kept;
    {
        FrameDecoder decoder;
        kept = decoder.decode(bytes(red), size_t(red.size()), QSize());
        const QImage copy = kept.copy();
        for (int i = 0; i < 10; ++i) {
            QImage later = decoder.decode(bytes(blue), size_t(blue.size()), QSize());
            ASSERT_GT(qBlue(later.pixel(10, 10)), 180);
            std::thread([gone = std::move(later)] {}).join(); // let go of on another thread
        }
        EXPECT_EQ(kept, copy);
        EXPECT_EQ(decoder.buffersMade(), 2);
    }
    EXPECT_GT(qRed(kept.pixel(10, 10)), 180); // outlives its decoder
}
