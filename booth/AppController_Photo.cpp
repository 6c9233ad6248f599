// Placeholder until photo intake and filing exist: a picture that arrives is shown and
// logged; nothing is filed yet.
#include "AppController.h"

#include "SNP_CanonCameraNotifications.h"
#include "SNP_Log.h"

#include <QMetaObject>
#include <QThread>

void AppController::newPhoto(const SNP_Notification& notification)
{
    const QByteArray data = notification.userInfo.value(SNP_CanonCameraPhotoData).toByteArray();
    SNP_Log::debugf("photo of %lld bytes arrived; filing is not available in this build",
                    static_cast<long long>(data.size()));
    QImage image;
    if (!image.loadFromData(data))
        return;
    auto show = [this, image] { updateDisplayImage(QVariant::fromValue(image)); };
    if (QThread::currentThread() == thread())
        show();
    else
        QMetaObject::invokeMethod(this, show, Qt::BlockingQueuedConnection);
}
