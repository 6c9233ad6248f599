// Draws the booth's stock resources into a folder: the screen pictures touch1..touch6 and
// live1..live6, the frame image LumoPictureFrame.png (a 50-pixel border around a
// transparent 568 x 354 photo window) and the shutter sound Grab.wav.
//   make_resources <output folder>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <QTextStream>

#include <cmath>
#include <cstdio>

namespace {

const QColor kAccent(239, 142, 35);
const QColor kNight(20, 24, 38);

struct ScreenText {
    const char* title;
    const char* line;
};

// What the visitor should do on each screen.
const ScreenText kTouch[6] = {
    {"Touch to start", "Tap anywhere on this screen for your photo"},
    {"Your e-mail", "Type up to four addresses, then press the accept key"},
    {"Get ready!", "Look at the big screen and strike a pose"},
    {"Smile!", "Look at the camera"},
    {"Click!", "Hold still..."},
    {"Thank you!", "Your photo is on its way to your inbox"},
};
const ScreenText kLive[6] = {
    {"Photo Booth", "Touch the small screen to start"},
    {"Enter your e-mail", "on the touch screen"},
    {"Get ready!", ""},
    {"Smile!", ""},
    {"Click!", ""},
    {"Here you are!", "Thank you for visiting"},
};

void drawBackground(QPainter& p, const QSize& size)
{
    QLinearGradient g(0, 0, 0, size.height());
    g.setColorAt(0, kNight.lighter(150));
    g.setColorAt(1, kNight);
    p.fillRect(QRect(QPoint(0, 0), size), g);
    p.fillRect(QRect(0, size.height() - 24, size.width(), 24), kAccent);
}

QImage screenPicture(const QSize& size, const ScreenText& text, bool titleOnTop)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    drawBackground(p, size);
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setBold(true);
    title.setPixelSize(size.height() / 8);
    QFont line(QStringLiteral("DejaVu Sans"));
    line.setPixelSize(size.height() / 20);
    const int top = titleOnTop ? size.height() / 40 : size.height() / 4;
    p.setPen(Qt::white);
    p.setFont(title);
    p.drawText(QRect(0, top, size.width(), size.height() / 6), Qt::AlignCenter, QString::fromUtf8(text.title));
    p.setPen(kAccent);
    p.setFont(line);
    p.drawText(QRect(0, top + size.height() / 6, size.width(), size.height() / 10), Qt::AlignCenter,
               QString::fromUtf8(text.line));
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
    for (int n = 1; n <= 6; ++n) {
        ok &= save(screenPicture(QSize(1024, 768), kTouch[n - 1], n == 2), dir.filePath(QStringLiteral("touch%1.png").arg(n)));
        // The live picture shows in the band above the camera picture (top ~25 %).
        ok &= save(screenPicture(QSize(1920, 1080), kLive[n - 1], true), dir.filePath(QStringLiteral("live%1.png").arg(n)));
    }
    ok &= save(frameImage(), dir.filePath(QStringLiteral("LumoPictureFrame.png")));
    QFile wav(dir.filePath(QStringLiteral("Grab.wav")));
    if (!wav.open(QIODevice::WriteOnly) || wav.write(grabSound()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qUtf8Printable(wav.fileName()));
        ok = false;
    }
    return ok ? 0 : 1;
}
