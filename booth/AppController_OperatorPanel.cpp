// The controller's operator-panel operations: the interface file's buttons, the camera
// notifications and the tests reach the panel through them, and each forwards to
// SNP_OperatorPanel or its SNP_CameraSettingsControls. Main thread only.
#include "AppController.h"

#include "SNP_CanonCameraNotifications.h"
#include "SNP_OperatorPanel.h"

// ---- the camera menu, the progress bar and the operator commands ----

void AppController::updateCameraPopupWithCameras(const QList<std::shared_ptr<SNP_CanonCamera>>& cameras)
{
    _operatorPanel->updateCameraPopupWithCameras(cameras);
}

void AppController::clearProgressIndicator() { _operatorPanel->clearProgressIndicator(); }
void AppController::pressShutterFull(QObject*) { _operatorPanel->pressShutterFull(); }
void AppController::pressShutterHalf(QObject*) { _operatorPanel->pressShutterHalf(); }
void AppController::releaseShutter(QObject*) { _operatorPanel->releaseShutter(); }
void AppController::liveViewZoom(QObject* sender) { _operatorPanel->liveViewZoom(sender); }
void AppController::liveViewFocus(QObject* sender) { _operatorPanel->liveViewFocus(sender); }
void AppController::openLogFile(QObject*) { _operatorPanel->openLogFile(); }

// ---- the camera settings controls ----

void AppController::connectOperatorPanel() { _operatorPanel->connectControls(); }
void AppController::updateCameraProperties() { _operatorPanel->settings().updateCameraProperties(); }
QWidget* AppController::viewWithTag(int32_t tag) { return _operatorPanel->settings().viewWithTag(tag); }

QWidget* AppController::viewWithTag(int32_t tag, QWidget* view)
{
    return _operatorPanel->settings().viewWithTag(tag, view);
}

void AppController::updateControlWithTagWithValues(int32_t tag, const std::optional<QVariantMap>& values)
{
    _operatorPanel->settings().updateControlWithTagWithValues(tag, values);
}

void AppController::updateControlWithTagWithValue(int32_t tag, const QVariant& value)
{
    _operatorPanel->settings().updateControlWithTagWithValue(tag, value);
}

void AppController::setEnabledForAEMode(const QVariant& value) { _operatorPanel->settings().setEnabledForAEMode(value); }
void AppController::setCameraClockToCurrent(QObject*) { _operatorPanel->settings().setCameraClockToCurrent(); }
void AppController::setCameraProperty(QObject* sender) { _operatorPanel->settings().setCameraProperty(sender); }
void AppController::animateDatePicker(QTimer* timer) { _operatorPanel->settings().animateDatePicker(timer); }
void AppController::beep() { _operatorPanel->settings().beep(); }
int AppController::beepCount() const { return _operatorPanel->settings().beepCount(); }

// The camera's notifications of its allowed values and of one value.
void AppController::cameraPropertiesChanged(const SNP_Notification& notification)
{
    _operatorPanel->settings().propertiesChanged(notification);
}

void AppController::cameraPropertyChanged(const SNP_Notification& notification)
{
    _operatorPanel->settings().propertyChanged(notification);
}
