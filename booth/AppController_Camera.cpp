// The current camera and its notifications: the camera menu (SNP_OperatorPanel) follows
// the registry, the first camera is loaded, the chosen one replaces it, and the visitor's
// screens reach the current camera. All of it runs on the main thread.
#include "AppController.h"

#include "PWNSImageFlipped.h"
#include "SNP_CanonCamera.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_Log.h"
#include "SNP_OperatorPanel.h"

#include <QLabel>

void AppController::setCurrentCamera(const std::shared_ptr<SNP_CanonCamera>& camera)
{
    SNP_Log::debugf("setting current camera to %s", qUtf8Printable(SNP_describeCamera(camera.get())));
    if (!camera) {
        _operatorPanel->settings().stopCameraClock();
        if (_currentCamera) {
            auto previous = _currentCamera;
            previous->unload();
            previous->setDelegate(nullptr);
            _currentCamera.reset();
        }
        updateCameraProperties();
        return;
    }
    camera->load();
}

void AppController::chooseCamera(QObject*)
{
    SNP_Log::debug(QStringLiteral("choose a camera!!"));
    setCurrentCamera(_operatorPanel->chosenCamera());
}

void AppController::cameraAdded(const SNP_Notification&)
{
    SNP_Log::debug(QStringLiteral("SNP_CanonCameraAdded!"));
    const auto list = SNP_CanonCamera::cameras();
    SNP_Log::debugf("now cameras = %s", list ? qUtf8Printable(SNP_describeCameras(*list)) : "(null)");
}

void AppController::cameraDidLoad(const SNP_Notification& notification)
{
    SNP_Log::debug(QStringLiteral("SNP_CanonCameraDidLoad!"));
    _operatorPanel->settings().stopCameraClock();
    const std::shared_ptr<SNP_CanonCamera> loaded = notification.object.camera();
    if (_currentCamera && _currentCamera != loaded)
        _currentCamera->setDelegate(nullptr); // the camera before asks this controller nothing more
    _currentCamera = loaded;
    if (_currentCamera)
        _currentCamera->setDelegate(this);
    if (_currentCamera && _cameraNotReadyNotice)
        _cameraNotReadyNotice->hide();
    updateCameraProperties();
    SNP_Log::debug(QStringLiteral("set current camera to \"") + SNP_describeCamera(_currentCamera.get()) +
                   QStringLiteral("\"!!"));
}

void AppController::cameraListUpdated(const SNP_Notification&)
{
    SNP_Log::debug(QStringLiteral("SNP_CanonCameraListDidUpdate!"));
    const auto list = SNP_CanonCamera::cameras();
    if (!list) {
        // The registry is busy with an update of its own; that update posts again.
        SNP_Log::debug(QStringLiteral("now cameras = (null)"));
        return;
    }
    SNP_Log::debugf("now cameras = %s", qUtf8Printable(SNP_describeCameras(*list)));
    updateCameraPopupWithCameras(*list);
    if (!list->isEmpty() && !_currentCamera)
        setCurrentCamera(list->first());
}

void AppController::cameraDisappeared(const SNP_Notification& notification)
{
    SNP_Log::debugf("SNP_CanonCameraDisappeared: %s",
                    qUtf8Printable(SNP_describeCamera(notification.object.camera().get())));
    const auto& camera = notification.object.camera();
    if (camera && _currentCamera && camera->isEqual(_currentCamera.get()))
        setCurrentCamera(nullptr);
}

void AppController::liveViewUpdated(const SNP_Notification& notification)
{
    const QVariant image = notification.userInfo.value(SNP_CanonCameraLiveViewImage);
    QImage decoded;
    if (!PWNSImageFlipped::imageFromVariant(image, &decoded))
        return;
    updateDisplayImage(image);
    if (_EVFView && _EVFView->isHidden())
        _EVFView->show();
    // The camera decodes the next frames for the size they are shown at.
    if (_EVFView && notification.object.camera())
        notification.object.camera()->setLiveViewShownSize(_EVFView->size() * _EVFView->devicePixelRatioF());
}

void AppController::updateDisplayImage(const QVariant& image)
{
    QImage decoded;
    if (!_EVFView || !PWNSImageFlipped::imageFromVariant(image, &decoded))
        return;
    // Drawn stretched over the view by the paint that shows it (SNP_StretchedPicture).
    _EVFView->setPixmap(QPixmap::fromImage(decoded));
}

void AppController::downloadProgress(const SNP_Notification& notification)
{
    const double percent = notification.userInfo.value(SNP_CanonCameraDownloadProgressPercent).toDouble();
    _operatorPanel->showProgress(static_cast<int>(percent));
}

void AppController::commandError(const SNP_Notification& notification)
{
    const QVariantMap command = notification.userInfo.value(SNP_CanonCameraCommandDictionary).toMap();
    const auto error = notification.userInfo.value(SNP_CanonCameraCommandError).value<SNP_Error>();
    const bool shotRefused = command.value(QStringLiteral("commandNumber")).toUInt() == 0;
    if (shotRefused)
        _operatorPanel->clearProgressIndicator();
    SNP_Log::debugf("received command error notification: %s %s", qUtf8Printable(error.toString()),
                    qUtf8Printable(SNP_CanonCamera::descriptionForCommandDictionary(command)));
    if (shotRefused && screenNumber() == 5) {
        // No picture will come for this visitor: the capture screen ends at its next tick,
        // with the sorry screen, instead of waiting out the time-out.
        SNP_Log::debug(QStringLiteral("the camera refused the visitor's picture: the pass ends without one"));
        startTimerWithExpirationDelay(0);
    }
}

void AppController::takePicture(QObject*)
{
    SNP_Log::debug(QStringLiteral("take a picture!"));
    _operatorPanel->showProgress(5);
    if (!_currentCamera)
        return;
    _currentCamera->takePicture();
    _currentCamera->performNextQueuedCameraCommand();
}

void AppController::liveViewOn(QObject*)
{
    SNP_Log::debug(QStringLiteral("liveViewBegin!"));
    if (_currentCamera)
        _currentCamera->liveViewBegin();
}

void AppController::liveViewOff(QObject*)
{
    SNP_Log::debug(QStringLiteral("liveViewEnd!"));
    if (_currentCamera)
        _currentCamera->liveViewEnd();
}
