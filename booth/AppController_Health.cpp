// What staff are told without being asked: the booth's health (SNP_BoothHealth) on the
// operator panel (its status lines: SNP_OperatorPanel) and, while any part of it is wrong,
// a small mark in a corner of the touch screen; and, while the simulated camera serves the
// booth, a "Simulated camera" mark on the operator panel and over the camera picture on the
// live screen. The marks are widgets over the screens: nothing of them reaches a filed
// picture or an upload file, which are made from the camera's bytes. Main thread only.
#include "AppController.h"

#include "SNP_Log.h"
#include "SNP_OperatorPanel.h"
#include "SNP_Preferences.h"
#include "SimCameraSdk.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>

namespace {

const QString kStaffMarkText = QStringLiteral("Staff: please check the booth");
const QString kSimulatedText = QStringLiteral("Simulated camera");

// Puts the mark in the top-right corner of area, its text pixelSize high (at least 9) and
// margin (at least 2) in from both edges.
void placeInTopRightCorner(QLabel* mark, const QRect& area, int pixelSize, int margin)
{
    QFont font = mark->font();
    font.setPixelSize(std::max(9, pixelSize));
    mark->setFont(font);
    mark->adjustSize();
    margin = std::max(2, margin);
    mark->move(area.right() + 1 - margin - mark->width(), area.top() + margin);
}

// Keeps the simulated camera's mark in the top-right corner of the camera picture (the
// simulated scene's clock is in the top-left one), at a size that follows the picture's.
class CornerOfPicture : public QObject {
public:
    CornerOfPicture(QLabel* mark, QWidget* picture) : QObject(mark), _mark(mark)
    {
        picture->installEventFilter(this);
        place(picture);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Resize)
            place(static_cast<QWidget*>(watched));
        return false;
    }

private:
    void place(QWidget* picture)
    {
        placeInTopRightCorner(_mark, picture->rect(), picture->height() / 22, picture->height() / 60);
    }
    QLabel* _mark;
};

// A mark drawn once into a picture of itself and then only copied: the one over the camera
// picture is painted again with every live-view frame, and laying out its styled text each
// time would cost more than the frame's own drawing.
class MarkLabel : public QLabel {
public:
    MarkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}

protected:
    void paintEvent(QPaintEvent* event) override
    {
        if (_rendering) {
            QLabel::paintEvent(event);
            return;
        }
        const qreal ratio = devicePixelRatioF();
        if (_drawn.isNull() || _drawn.size() != size() * ratio) {
            _drawn = QPixmap(size() * ratio);
            _drawn.setDevicePixelRatio(ratio);
            _drawn.fill(Qt::transparent);
            _rendering = true;
            render(&_drawn, QPoint(), QRegion(), QWidget::RenderFlags());
            _rendering = false;
        }
        QPainter(this).drawPixmap(0, 0, _drawn);
    }
    void changeEvent(QEvent* event) override
    {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            _drawn = QPixmap();
        QLabel::changeEvent(event);
    }

private:
    QPixmap _drawn;
    bool _rendering = false;
};

QLabel* makeMark(QWidget* parent, const QString& name, const QString& text, const QString& style)
{
    auto* mark = new MarkLabel(text, parent);
    mark->setObjectName(name);
    mark->setAttribute(Qt::WA_TransparentForMouseEvents); // touches go where they would
    mark->setStyleSheet(style);
    mark->hide();
    return mark;
}

} // namespace

QString AppController::operatorPinMadeText(const QString& pin)
{
    return QStringLiteral("the operator PIN is %1 (made at this first start and stored as operatorPin): type \"quit\" "
                          "on the e-mail screen, then the PIN")
        .arg(pin);
}

bool AppController::simulatedCameraInUse()
{
    return std::dynamic_pointer_cast<SimCameraSdk>(EdsCurrentSdk()) != nullptr;
}

void AppController::setUpHealthAndMarks()
{
    if (_health)
        return;
    if (_touchView)
        _staffMark = makeMark(_touchView, QStringLiteral("_staffMark"), kStaffMarkText,
                              QStringLiteral("color: white; background: rgb(190, 40, 40); border-radius: 6px;"
                                             " padding: 3px 8px; font-family: 'DejaVu Sans'; font-weight: bold;"));

    if (simulatedCameraInUse()) {
        SNP_Log::debug(QStringLiteral("Simulated camera: the booth photographs a made-up test scene, not the "
                                      "visitors (cameraBackend sim); every screen with the camera picture says so"));
        if (_EVFView) {
            QLabel* liveMark = makeMark(_EVFView, QStringLiteral("_simulatedLiveMark"), kSimulatedText,
                                        QStringLiteral("color: white; background: rgba(190, 40, 40, 200);"
                                                       " padding: 2px 6px; font-family: 'DejaVu Sans';"
                                                       " font-weight: bold;"));
            new CornerOfPicture(liveMark, _EVFView);
            liveMark->show();
        }
        _operatorPanel->showSimulatedCameraMark();
    }

    _health = new SNP_BoothHealth(
        [this] {
            SNP_BoothHealth::Facts facts;
            facts.cameraReady = _currentCamera != nullptr;
            facts.cameraName = _currentCamera ? _currentCamera->description() : QString();
            facts.folders = SNP_Filing::Folders{gScratchFolder(), gMainImagesFolder(), gForUploadFolder()};
            facts.uploadsHeldBack = uploadsHeldBackCount();
            facts.lowSpaceBytes = qint64(SNP_Preferences::lowSpaceMegabytes()) * 1024 * 1024;
            return facts;
        },
        this);
    connect(_health, &SNP_BoothHealth::changed, this, &AppController::showHealth);
}

void AppController::showHealth(const SNP_BoothHealth::State& state)
{
    _operatorPanel->showHealth(state);
    if (_staffMark) {
        _staffMark->setVisible(state.wrong());
        if (state.wrong())
            _staffMark->raise();
    }
}

void AppController::layoutStaffMark(const QRect& stage)
{
    if (!_staffMark || !_touchView)
        return;
    // Sized by the picture, in the corner of the screen itself (past any bars).
    const int unit = std::max(1, std::min(stage.width(), stage.height()));
    placeInTopRightCorner(_staffMark, _touchView->rect(), int(0.028 * unit), int(0.015 * unit));
    _staffMark->raise();
}
