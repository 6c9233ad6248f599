// Draws the booth's stock resources into a folder: the screen pictures touch1..touch8 and
// live1..live8 (7: the sorry screen of a pass without a picture; 8: the result screen of a
// picture saved but held back for a later try), portrait variants
// touch1-portrait..touch8-portrait for upright touch screens, the frame image
// LumoPictureFrame.png (a 50-pixel border around a transparent 568 x 354 photo window)
// and the shutter sound Grab.wav.
//
// Every picture has one flat background colour, which the booth also puts in the bars
// when a screen's shape differs from the picture's. The texts leave room for what the
// booth lays over them: the keyboard (touch 2, lower 64 %), the touch countdown (touch 3,
// lower 60 %), the framed camera picture and the countdown columns (live 3 to 6: all but
// the top 19 %).
//   make_resources <output folder>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTextStream>

#include <cmath>
#include <cstdio>

namespace {

const QColor kAccent(239, 142, 35);
const QColor kNight(20, 24, 38);

// Where a picture's text goes: in the middle, in the top third (above the keyboard or
// the touch countdown), or in the top band above the framed camera picture.
enum class Place { Middle, TopThird, TopBand };

struct ScreenText {
    const char* title;
    const char* line;
    Place touch;
    Place live;
};

// What the visitor should do on each screen; then the sorry screen and the result screen of
// a picture held back (saved, to be sent once the booth can: it promises no more).
const ScreenText kScreens[8] = {
    {"Touch to start", "Tap anywhere on this screen for your photo", Place::Middle, Place::Middle},
    {"Your e-mail", "Type up to four addresses, then press OK", Place::TopThird, Place::Middle},
    {"Get ready!", "Look at the big screen and strike a pose", Place::TopThird, Place::TopBand},
    {"Smile!", "Look at the camera", Place::Middle, Place::TopBand},
    {"Click!", "Hold still...", Place::Middle, Place::TopBand},
    {"Thank you!", "Your photo is on its way to your inbox", Place::Middle, Place::TopBand},
    {"Sorry!", "No picture this time. Please try again.", Place::Middle, Place::Middle},
    {"Thank you!", "Your photo is saved. It will be sent as soon as possible.", Place::Middle, Place::TopBand},
};
const char* const kLiveTitles[8][2] = {
    {"Photo Booth", "Touch the screen to start"},
    {"Enter your e-mail", "on the touch screen"},
    {"Get ready!", "Strike a pose"},
    {"Smile!", ""},
    {"Click!", ""},
    {"Here you are!", "Thank you for visiting"},
    {"Sorry, no picture this time", "Please try again"},
    {"Here you are!", "Your photo is saved. It will be sent as soon as possible."},
};

// The largest pixel size up to size at which the text fits the width.
QFont fitted(QFont font, int size, const QString& text, int width)
{
    for (; size > 8; size = size * 9 / 10) {
        font.setPixelSize(size);
        if (QFontMetrics(font).horizontalAdvance(text) <= width)
            break;
    }
    return font;
}

QImage screenPicture(const QSize& size, const QString& titleText, const QString& lineText, Place place)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(kNight);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const int w = size.width();
    const int h = size.height();
    const int unit = std::min(w, h);
    const int textWidth = w * 9 / 10;

    // Title and line as a block: its top edge and the title's height by place.
    int top = 0;
    int titleSize = unit / 7;
    switch (place) {
    case Place::Middle: top = h / 2 - titleSize; break;
    case Place::TopThird: top = h / 16; break;
    case Place::TopBand:
        titleSize = h / 12;
        top = h / 80;
        break;
    }
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setBold(true);
    title = fitted(title, titleSize, titleText, textWidth);
    const int titleHeight = QFontMetrics(title).height();
    p.setPen(Qt::white);
    p.setFont(title);
    p.drawText(QRect(0, top, w, titleHeight), Qt::AlignCenter, titleText);

    // An accent rule under the title, then the line.
    const int ruleY = top + titleHeight + unit / 200;
    const int ruleWidth = std::min(textWidth, QFontMetrics(title).horizontalAdvance(titleText)) / 2;
    p.fillRect(QRect((w - ruleWidth) / 2, ruleY, ruleWidth, std::max(3, unit / 120)), kAccent);
    if (!lineText.isEmpty()) {
        QFont line(QStringLiteral("DejaVu Sans"));
        line = fitted(line, place == Place::TopBand ? h / 28 : unit / 18, lineText, textWidth);
        p.setPen(kAccent.lighter(120));
        p.setFont(line);
        p.drawText(QRect(0, ruleY + unit / 80, w, QFontMetrics(line).height()), Qt::AlignCenter, lineText);
    }
    return image;
}

QImage frameImage()
{
    const QSize size(668, 454);
    const QRect window((size.width() - 568) / 2, (size.height() - 354) / 2, 568, 354);
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(image.rect(), kNight);
    p.setPen(QPen(kAccent, 8));
    p.drawRect(image.rect().adjusted(4, 4, -4, -4));
    p.setPen(QPen(Qt::white, 3));
    p.drawRect(window.adjusted(-6, -6, 6, 6));
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setBold(true);
    f.setPixelSize(22);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(0, size.height() - window.top(), size.width(), window.top()), Qt::AlignCenter,
               QStringLiteral("PHOTO BOOTH"));
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.fillRect(window, Qt::transparent);
    return image;
}

// A short mechanical shutter: two clicks of filtered noise, 16-bit mono 44.1 kHz.
QByteArray grabSound()
{
    const int rate = 44100;
    const int samples = rate * 35 / 100;
    QRandomGenerator random(1234);
    QVector<qint16> pcm(samples);
    double low = 0.0;
    for (int i = 0; i < samples; ++i) {
        const double t = double(i) / rate;
        auto click = [&](double start, double decay) {
            if (t < start)
                return 0.0;
            return std::exp(-(t - start) / decay);
        };
        const double envelope = click(0.0, 0.012) + 0.8 * click(0.14, 0.02);
        const double noise = random.bounded(2.0) - 1.0;
        low = 0.6 * low + 0.4 * noise;
        const double value = envelope * (0.7 * low + 0.3 * std::sin(2 * M_PI * 1800 * t));
        pcm[i] = qint16(std::clamp(value, -1.0, 1.0) * 28000);
    }
    QByteArray wav;
    QDataStream out(&wav, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    const quint32 dataBytes = quint32(samples * 2);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataBytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(rate) << quint32(rate * 2) << quint16(2) << quint16(16);
    out.writeRawData("data", 4);
    out << dataBytes;
    for (qint16 s : pcm)
        out << s;
    return wav;
}

bool save(const QImage& image, const QString& path)
{
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qUtf8Printable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_resources <output folder>\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(dir.absolutePath())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = true;
    for (int n = 1; n <= 8; ++n) {
        const ScreenText& text = kScreens[n - 1];
        const QString touchTitle = QString::fromUtf8(text.title);
        const QString touchLine = QString::fromUtf8(text.line);
        ok &= save(screenPicture(QSize(1024, 768), touchTitle, touchLine, text.touch),
                   dir.filePath(QStringLiteral("touch%1.png").arg(n)));
        ok &= save(screenPicture(QSize(1080, 1920), touchTitle, touchLine, text.touch),
                   dir.filePath(QStringLiteral("touch%1-portrait.png").arg(n)));
        ok &= save(screenPicture(QSize(1920, 1080), QString::fromUtf8(kLiveTitles[n - 1][0]),
                                 QString::fromUtf8(kLiveTitles[n - 1][1]), text.live),
                   dir.filePath(QStringLiteral("live%1.png").arg(n)));
    }
    ok &= save(frameImage(), dir.filePath(QStringLiteral("LumoPictureFrame.png")));
    QFile wav(dir.filePath(QStringLiteral("Grab.wav")));
    if (!wav.open(QIODevice::WriteOnly) || wav.write(grabSound()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qUtf8Printable(wav.fileName()));
        ok = false;
    }
    return ok ? 0 : 1;
}
