// The controller's photo operations, each handed to its photo intake (SNP_PhotoIntake: the
// steps from the camera's download thread to the filing, SNP_Filing).
#include "AppController.h"

#include "SNP_CanonCameraNotifications.h"
#include "SNP_PhotoIntake.h"

void AppController::setPhotoClockForTesting(std::function<QDateTime()> clock)
{
    SNP_Filing::setClockForTesting(std::move(clock));
}

void AppController::setOpenFileHandlerForTesting(std::function<bool(const QString&)> handler)
{
    SNP_PhotoIntake::setOpenFileHandlerForTesting(std::move(handler));
}

void AppController::setImageDict(const QVariantMap& dictionary) { _photoIntake->setImageDict(dictionary); }

QVariantMap AppController::imageDict() const { return _photoIntake->imageDict(); }

AppController::FilingResult AppController::lastFilingResult() const { return _photoIntake->lastFilingResult(); }

uint64_t AppController::photoIntakeCount() const { return _photoIntake->photoIntakeCount(); }

uint64_t AppController::photoAcceptedCount() const { return _photoIntake->photoAcceptedCount(); }

int AppController::filingsInProgress() const { return _photoIntake->filingsInProgress(); }

int AppController::uploadsHeldBackCount() const { return _photoIntake->uploadsHeldBackCount(); }

void AppController::newPhoto(const SNP_Notification& notification)
{
    _photoIntake->takeArrivedPhoto(notification.userInfo);
}

AppController::FilingVerdict AppController::filingVerdictFor(const FilingResult& result)
{
    return SNP_PhotoIntake::filingVerdictFor(result);
}

bool AppController::doPostProcessImageForPath(const QString& path, const QImage& decodedPhoto)
{
    return _photoIntake->fileScratchPicture(path, decodedPhoto);
}

void AppController::saveImage(QObject*)
{
    (void)processPhotoData(imageDict());
}

bool AppController::processPhotoData(const QVariantMap& dictionary)
{
    return SNP_PhotoIntake::processPhotoData(dictionary);
}
