// PLACEHOLDER, to be replaced by the download implementation: transfer requests are logged and refused.
#include "SNP_CanonCamera.h"

#include "SNP_Log.h"

EdsError SNP_CanonCamera::objectEventCallback(EdsObjectEvent event, EdsBaseRef object, void* context)
{
    auto* camera = static_cast<SNP_CanonCamera*>(context);
    return camera ? camera->processObjectEvent(event, object) : EDS_ERR_OK;
}

EdsError SNP_CanonCamera::processObjectEvent(EdsObjectEvent event, EdsBaseRef object)
{
    if (event == kEdsObjectEvent_DirItemRequestTransfer)
        downloadObject(object);
    else
        SNP_Log::debugf("received object event %x for camera %s", event, qUtf8Printable(SNP_describeCamera(this)));
    return EDS_ERR_OK;
}

EdsError SNP_CanonCamera::downloadObject(EdsDirectoryItemRef)
{
    SNP_Log::debug(QStringLiteral("downloads are not available yet"));
    return EDS_ERR_UNIMPLEMENTED;
}

EdsError SNP_CanonCamera::progressCallback(EdsUInt32, void*, EdsBool* outCancel)
{
    if (outCancel)
        *outCancel = 0;
    return EDS_ERR_OK;
}

bool SNP_CanonCamera::cancelDownloadForProgress(uint32_t percent)
{
    SNP_CanonCameraDelegate* delegate = _delegate.load();
    return delegate ? delegate->cancelDownloadForProgress(percent) : false;
}
