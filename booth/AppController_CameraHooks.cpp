// The camera operations the visitor's screens use, until the operator commands reach the
// current camera: each logs and does nothing without a current camera.
#include "AppController.h"

#include "SNP_Log.h"

void AppController::liveViewOn(QObject*)
{
    SNP_Log::debug(QStringLiteral("liveViewBegin!"));
    if (!_currentCamera)
        SNP_Log::debug(QStringLiteral("no current camera: live view stays off"));
}

void AppController::liveViewOff(QObject*)
{
    SNP_Log::debug(QStringLiteral("liveViewEnd!"));
    if (!_currentCamera)
        SNP_Log::debug(QStringLiteral("no current camera: no live view to end"));
}

void AppController::takePicture(QObject*)
{
    SNP_Log::debug(QStringLiteral("take a picture!"));
    if (!_currentCamera)
        SNP_Log::debug(QStringLiteral("no current camera: no picture taken"));
}
