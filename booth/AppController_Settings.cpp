// Placeholder until the operator's setting controls exist: the property notifications
// are logged and the (absent) controls are left alone.
#include "AppController.h"

#include "SNP_CanonCameraNotifications.h"
#include "SNP_Log.h"

void AppController::updateCameraProperties() {}

void AppController::cameraPropertiesChanged(const SNP_Notification& notification)
{
    SNP_Log::debugf("allowed values of %s changed",
                    qUtf8Printable(notification.userInfo.value(SNP_CanonCameraPropertyName).toString()));
}

void AppController::cameraPropertyChanged(const SNP_Notification& notification)
{
    SNP_Log::debugf("property %s changed",
                    qUtf8Printable(notification.userInfo.value(SNP_CanonCameraPropertyName).toString()));
}
