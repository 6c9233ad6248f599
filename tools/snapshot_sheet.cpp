// Puts the screen snapshots of one rehearsal pass (booth --rehearse ... --snapshots
// FOLDER) on one sheet for the README: a cell per screen, in screen order, with the
// screen's touch and live snapshots side by side at one height and its number above.
//   snapshot_sheet <snapshot folder> <sheet.png> [cell height, default 180]
//
// Threads: the main thread only.
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <vector>

namespace {

const QColor kPaper(245, 245, 248);
constexpr int kGap = 12;      // between the shots of one screen
constexpr int kCellGap = 36;  // between screens
constexpr int kColumns = 3;

struct Cell {
    int screen = 0;
    std::vector<QImage> shots; // touch, then live, as found
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: snapshot_sheet <snapshot folder> <sheet.png> [cell height]\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const int height = argc == 4 ? std::max(40, std::atoi(argv[3])) : 180;
    const int label = height / 7;

    std::vector<Cell> cells;
    for (int screen = 1; screen <= 8; ++screen) {
        Cell cell{screen, {}};
        for (const char* kind : {"touch", "live"}) {
            const QImage shot(folder.filePath(QStringLiteral("screen%1-%2.png").arg(screen).arg(QLatin1String(kind))));
            if (!shot.isNull())
                cell.shots.push_back(shot.scaledToHeight(height, Qt::SmoothTransformation));
        }
        if (!cell.shots.empty())
            cells.push_back(cell);
    }
    if (cells.empty()) {
        std::fprintf(stderr, "no snapshots in %s\n", argv[1]);
        return 1;
    }

    int cellWidth = 0;
    for (const Cell& cell : cells) {
        int width = -kGap;
        for (const QImage& shot : cell.shots)
            width += shot.width() + kGap;
        cellWidth = std::max(cellWidth, width);
    }
    const int columns = std::min<int>(kColumns, int(cells.size()));
    const int rows = (int(cells.size()) + columns - 1) / columns;
    QImage sheet(columns * (cellWidth + kCellGap) - kCellGap + 2 * kGap, rows * (label + height + kGap) + kGap,
                 QImage::Format_RGB32);
    sheet.fill(kPaper);
    QPainter p(&sheet);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(label * 3 / 4);
    p.setFont(font);
    p.setPen(QColor(40, 40, 50));
    for (size_t i = 0; i < cells.size(); ++i) {
        const int x = kGap + int(i % columns) * (cellWidth + kCellGap);
        const int y = kGap + int(i / columns) * (label + height + kGap);
        p.drawText(QRect(x, y, cellWidth, label), Qt::AlignLeft | Qt::AlignVCenter,
                   cells[i].screen == 7   ? QStringLiteral("Sorry screen")
                   : cells[i].screen == 8 ? QStringLiteral("Saved, sent later")
                                          : QStringLiteral("Screen %1").arg(cells[i].screen));
        int shotX = x;
        for (const QImage& shot : cells[i].shots) {
            p.drawImage(shotX, y + label, shot);
            shotX += shot.width() + kGap;
        }
    }
    p.end();
    if (!sheet.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
