// PLACEHOLDER, to be replaced by the property implementation: every operation logs and answers its empty result.
#include "SNP_CanonCamera.h"

#include "SNP_Log.h"

QString SNP_CanonCamera::stringNameForPropertyID(EdsPropertyID) const
{
    return QStringLiteral("unknown property");
}

QString SNP_CanonCamera::stringForPropertyID(EdsPropertyID, uint32_t value) const
{
    return QStringLiteral("0X%1").arg(value, 0, 16).toUpper();
}

QDateTime SNP_CanonCamera::dateForEDSTime(const EdsTime*)
{
    return QDateTime();
}

void SNP_CanonCamera::EDSTime(EdsTime*, const SNP_PropertyValue&)
{
}

SNP_PropertyValue SNP_CanonCamera::valueForPropertyID(EdsPropertyID propertyID, uint32_t)
{
    SNP_Log::debugf("property reads are not available yet (property 0x%x)", propertyID);
    return SNP_PropertyValue();
}

bool SNP_CanonCamera::setValue(const SNP_PropertyValue&, EdsPropertyID propertyID, uint32_t)
{
    SNP_Log::debugf("property writes are not available yet (property 0x%x)", propertyID);
    return false;
}

bool SNP_CanonCamera::setStringValue(const QString& text, EdsPropertyID propertyID)
{
    return setValue(QVariant(text), propertyID, 0);
}

std::optional<SNP_SupportedValues> SNP_CanonCamera::supportedValuesForPropertyID(EdsPropertyID propertyID)
{
    SNP_Log::debugf("supported values are not available yet (property 0x%x)", propertyID);
    return std::nullopt;
}

void SNP_CanonCamera::setSupportedValues(const std::optional<SNP_SupportedValues>&, EdsPropertyID)
{
}

void SNP_CanonCamera::propertyDidChange(EdsPropertyID propertyID, uint32_t parameter)
{
    SNP_Log::debugf("property change 0x%x (p=%x) not handled yet", propertyID, parameter);
}

EdsError SNP_CanonCamera::processPropertyEvent(EdsPropertyEvent event, EdsPropertyID propertyID, uint32_t)
{
    SNP_Log::debugf("property event %x for property 0x%x not handled yet", event, propertyID);
    return EDS_ERR_OK;
}

EdsError SNP_CanonCamera::propertyEventCallback(EdsPropertyEvent event, EdsPropertyID propertyID, EdsUInt32 parameter,
                                                void* context)
{
    auto* camera = static_cast<SNP_CanonCamera*>(context);
    return camera ? camera->processPropertyEvent(event, propertyID, parameter) : EDS_ERR_OK;
}

std::optional<SNP_SupportedValues> SNP_CanonCamera::cachedSupportedValues(const QString& propertyName)
{
    QMutexLocker locker(&_propertiesLock);
    if (!_properties.contains(propertyName))
        return std::nullopt;
    return _properties.value(propertyName).toMap();
}
