// PLACEHOLDER, to be replaced by the live-view implementation: switching logs and does nothing.
#include "SNP_CanonCamera.h"

#include "SNP_Log.h"

void SNP_CanonCamera::liveViewBegin()
{
    SNP_Log::debug(QStringLiteral("live view is not available yet"));
}

void SNP_CanonCamera::liveViewEnd()
{
    _shouldDownloadLiveViewImage = false;
}

uint32_t SNP_CanonCamera::liveViewOutputDevice()
{
    return 0;
}

void SNP_CanonCamera::downloadLiveViewImage()
{
}

EdsError SNP_CanonCamera::setProperty(EdsCameraRef, EdsPropertyID propertyID, uint32_t, uint32_t, const void*)
{
    SNP_Log::debugf("direct property writes are not available yet (property 0x%x)", propertyID);
    return EDS_ERR_UNIMPLEMENTED;
}

void SNP_CanonCamera::liveViewOutputDeviceDidChange()
{
}
