// The operator panel (see the header). Main thread only.
#include "SNP_OperatorPanel.h"

#include "AppController.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QUrl>

#include <utility>

namespace {

// The sender's tag: its integer "tag" property, 0 without one.
uint32_t tagOf(QObject* sender)
{
    return sender ? sender->property("tag").toUInt() : 0;
}

}  // namespace

SNP_OperatorPanel::SNP_OperatorPanel(AppController& controller)
    : _controller(controller),
      _camerasButton(controller.findChild<QComboBox*>(QStringLiteral("_camerasButton"))),
      _progress(controller.findChild<QProgressBar*>(QStringLiteral("_progress"))),
      _settings(controller)
{
}

// ---- wiring ----

void SNP_OperatorPanel::connectControls()
{
    if (_camerasButton)
        connect(_camerasButton, &QComboBox::activated, this, [this] { _controller.chooseCamera(_camerasButton); });
    _settings.connectControls();

    using Action = void (AppController::*)(QObject*);
    const std::pair<const char*, Action> buttons[] = {
        {"_setCameraClockButton", &AppController::setCameraClockToCurrent},
        {"_pressShutterHalfButton", &AppController::pressShutterHalf},
        {"_pressShutterFullButton", &AppController::pressShutterFull},
        {"_releaseShutterButton", &AppController::releaseShutter},
        {"_takePictureButton", &AppController::takePicture},
        {"_saveLastPictureButton", &AppController::saveImage},
        {"_liveViewOnButton", &AppController::liveViewOn},
        {"_liveViewOffButton", &AppController::liveViewOff},
        {"_zoom1Button", &AppController::liveViewZoom},
        {"_zoom5Button", &AppController::liveViewZoom},
        {"_zoom10Button", &AppController::liveViewZoom},
        {"_focusNear1Button", &AppController::liveViewFocus},
        {"_focusNear2Button", &AppController::liveViewFocus},
        {"_focusNear3Button", &AppController::liveViewFocus},
        {"_focusFar1Button", &AppController::liveViewFocus},
        {"_focusFar2Button", &AppController::liveViewFocus},
        {"_focusFar3Button", &AppController::liveViewFocus},
        {"_scratchFolderButton", &AppController::setDownloadFolder},
        {"_mainImagesFolderButton", &AppController::setMainImagesFolder},
        {"_forUploadFolderButton", &AppController::setForUploadFolder},
        {"_openLogFileButton", &AppController::openLogFile},
    };
    for (const auto& [name, action] : buttons) {
        auto* button = _controller.findChild<QAbstractButton*>(QString::fromLatin1(name));
        if (!button)
            continue;
        AppController* controller = &_controller;
        const Action handler = action; // a named copy: a structured binding is not captured
        connect(button, &QAbstractButton::clicked, this, [controller, button, handler] { (controller->*handler)(button); });
    }
}

void SNP_OperatorPanel::showNoCameraYet()
{
    if (_progress)
        _progress->setRange(0, 100);
    updateCameraPopupWithCameras({});
}

// ---- the camera menu ----

void SNP_OperatorPanel::updateCameraPopupWithCameras(const QList<std::shared_ptr<SNP_CanonCamera>>& cameras)
{
    if (_camerasButton) {
        _camerasButton->blockSignals(true);
        _camerasButton->clear();
        for (const auto& camera : cameras)
            _camerasButton->addItem(camera->description(), QVariant::fromValue(camera));
        if (cameras.isEmpty())
            _camerasButton->addItem(QStringLiteral("No Cameras available"));
        _camerasButton->blockSignals(false);
    }
    if (cameras.isEmpty())
        _settings.updateCameraProperties();
}

std::shared_ptr<SNP_CanonCamera> SNP_OperatorPanel::chosenCamera() const
{
    if (!_camerasButton)
        return nullptr;
    return _camerasButton->currentData().value<std::shared_ptr<SNP_CanonCamera>>();
}

// ---- the progress bar ----

void SNP_OperatorPanel::showProgress(int percent)
{
    if (_progress) {
        _progress->setValue(percent);
        _progress->update();
    }
}

void SNP_OperatorPanel::clearProgressIndicator()
{
    if (_progress)
        _progress->setValue(0);
}

// ---- operator commands ----

void SNP_OperatorPanel::runShutterCommand(const QString& line, void (SNP_CanonCamera::*command)())
{
    SNP_Log::debug(line);
    const std::shared_ptr<SNP_CanonCamera> camera = _controller.currentCamera();
    if (!camera)
        return;
    (camera.get()->*command)();
    camera->performNextQueuedCameraCommand();
}

void SNP_OperatorPanel::pressShutterFull()
{
    runShutterCommand(QStringLiteral("press shutter fully!"), &SNP_CanonCamera::pressShutterFull);
}

void SNP_OperatorPanel::pressShutterHalf()
{
    runShutterCommand(QStringLiteral("press shutter halfway!"), &SNP_CanonCamera::pressShutterHalf);
}

void SNP_OperatorPanel::releaseShutter()
{
    runShutterCommand(QStringLiteral("release shutter!"), &SNP_CanonCamera::releaseShutter);
}

void SNP_OperatorPanel::liveViewZoom(QObject* sender)
{
    if (const std::shared_ptr<SNP_CanonCamera> camera = _controller.currentCamera())
        camera->liveViewSetZoom(tagOf(sender));
}

void SNP_OperatorPanel::liveViewFocus(QObject* sender)
{
    if (const std::shared_ptr<SNP_CanonCamera> camera = _controller.currentCamera())
        camera->liveViewDriveAF(tagOf(sender));
}

void SNP_OperatorPanel::openLogFile()
{
    const QString path = SNP_Log::logFilePath().isEmpty() ? SNP_Log::defaultLogFilePath() : SNP_Log::logFilePath();
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

// ---- status lines ----

void SNP_OperatorPanel::showHealth(const SNP_BoothHealth::State& state)
{
    QStringList lines;
    QString mail;
    for (const SNP_BoothHealth::Part& part : state.parts) {
        const QString line = part.problem.isEmpty() ? part.text : QStringLiteral("PROBLEM: ") + part.text;
        if (part.name == QLatin1String("Mail"))
            mail = line;
        else
            lines << line;
    }
    if (auto* label = _controller.findChild<QLabel*>(QStringLiteral("_healthStatus")))
        label->setText(lines.join(u'\n'));
    if (auto* label = _controller.findChild<QLabel*>(QStringLiteral("_mailStatus")))
        label->setText(mail);
}

void SNP_OperatorPanel::showSimulatedCameraMark()
{
    if (auto* mark = _controller.findChild<QLabel*>(QStringLiteral("_simulatedCameraMark")))
        mark->show();
}
