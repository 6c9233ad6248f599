// Camera properties: reading a property's value by its SDK data type, writing a value or
// a display text, the allowed values of a property as a table from display text to code,
// the cache of the last such table per property, and the camera's property events turned
// into the two property notifications.
#include "SNP_CanonCamera.h"

#include "SNP_CanonCameraNames.h"
#include "SNP_Log.h"
#include "SNP_NSStringAdditions.h"

#include <QCoreApplication>
#include <QDate>
#include <QMetaObject>
#include <QStringList>
#include <QThread>
#include <QTime>
#include <QTimeZone>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

enum : EdsPropertyID {
    kProductName = 0x2,
    kOwnerName = 0x4,
    kDateTime = 0x6,
    kBatteryLevel = 0x8,
    kBatteryQuality = 0x10,
    kImageQuality = 0x100,
    kWhiteBalance = 0x106,
    kColorSpace = 0x10D,
    kAEMode = 0x400,
    kDriveMode = 0x401,
    kISOSpeed = 0x402,
    kMeteringMode = 0x403,
    kAFMode = 0x404,
    kAv = 0x405,
    kTv = 0x406,
    kExposureCompensation = 0x407,
    kArtist = 0x418,
    kCopyright = 0x419,
    kEvfOutputDevice = 0x500,
    kEvfWhiteBalance = 0x502,
};

constexpr double kCameraLockTimeout = 3.0;
constexpr int kMaxAllowedCodes = 128;

bool isTextProperty(EdsPropertyID propertyID)
{
    return propertyID == kProductName || propertyID == kOwnerName || propertyID == kArtist ||
           propertyID == kCopyright;
}

template <typename T>
SNP_PropertyValue numberFrom(const unsigned char* bytes)
{
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return QVariant::fromValue<T>(value);
}

// The camera's raw data as a property value, by the data type the size query reported.
SNP_PropertyValue convertRawData(EdsDataType type, const unsigned char* bytes, uint32_t size)
{
    if (type == kEdsDataType_String) {
        if (size == 0)
            return QVariant(QString());
        std::optional<QString> text = SNP_NSStringAdditions::stringWithCString(
            reinterpret_cast<const char*>(bytes), size, SNP_NSStringAdditions::Encoding::UTF8);
        return text ? QVariant(*text) : SNP_PropertyValue();
    }
    if (type == kEdsDataType_Time) {
        // A record shorter than the camera's 28 bytes is not read past its end.
        if (size < sizeof(EdsTime))
            return SNP_PropertyValue();
        EdsTime time;
        std::memcpy(&time, bytes, sizeof time);
        QDateTime date = SNP_CanonCamera::dateForEDSTime(&time);
        return date.isValid() ? QVariant(date) : SNP_PropertyValue();
    }
    const uint32_t width = edsNumberWidth(type);
    if (width == 0 || size < width)
        return SNP_PropertyValue();
    switch (type) {
    case kEdsDataType_Int8:
        return numberFrom<qint8>(bytes);
    case kEdsDataType_UInt8:
        return numberFrom<quint8>(bytes);
    case kEdsDataType_Int16:
        return numberFrom<qint16>(bytes);
    case kEdsDataType_UInt16:
        return numberFrom<quint16>(bytes);
    case kEdsDataType_Int32:
        return numberFrom<qint32>(bytes);
    default:
        return numberFrom<quint32>(bytes);
    }
}

QString describeTable(const std::optional<SNP_SupportedValues>& table)
{
    if (!table)
        return QStringLiteral("(null)");
    QStringList rows;
    for (auto it = table->constBegin(); it != table->constEnd(); ++it)
        rows << QStringLiteral("\"%1\" = %2").arg(it.key(), SNP_CanonCamera::describeValue(it.value()));
    return QStringLiteral("{") + rows.join(QStringLiteral("; ")) + QStringLiteral("}");
}

QString describeCache(const QVariantMap& cache)
{
    QStringList rows;
    for (auto it = cache.constBegin(); it != cache.constEnd(); ++it)
        rows << QStringLiteral("%1 = %2").arg(it.key(), describeTable(it.value().toMap()));
    return QStringLiteral("{") + rows.join(QStringLiteral("; ")) + QStringLiteral("}");
}

}  // namespace

// ---- value helpers ----

bool SNP_CanonCamera::isNumberValue(const SNP_PropertyValue& value)
{
    switch (value.typeId()) {
    case QMetaType::SChar:
    case QMetaType::Char:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

uint32_t SNP_CanonCamera::uint32Value(const SNP_PropertyValue& value)
{
    if (!isNumberValue(value))
        return 0;
    if (value.typeId() == QMetaType::ULongLong || value.typeId() == QMetaType::ULong)
        return static_cast<uint32_t>(value.toULongLong());
    // Signed values keep their two's-complement bits: -1 is 0xFFFFFFFF.
    return static_cast<uint32_t>(value.toLongLong());
}

QString SNP_CanonCamera::describeValue(const SNP_PropertyValue& value)
{
    if (!value.isValid())
        return QStringLiteral("(null)");
    if (isNumberValue(value)) {
        if (value.typeId() == QMetaType::ULongLong || value.typeId() == QMetaType::ULong ||
            value.typeId() == QMetaType::UInt || value.typeId() == QMetaType::UShort ||
            value.typeId() == QMetaType::UChar)
            return QString::number(value.toULongLong());
        return QString::number(value.toLongLong());
    }
    if (value.typeId() == QMetaType::QDateTime) {
        const QDateTime date = value.toDateTime().toLocalTime();
        const int offset = date.offsetFromUtc();
        const int minutes = std::abs(offset) / 60;
        return date.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
               QString::asprintf(" %c%02d%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    }
    if (value.typeId() == QMetaType::QVariantMap)
        return describeTable(value.toMap());
    return value.toString();
}

// ---- names and display texts ----

QString SNP_CanonCamera::stringNameForPropertyID(EdsPropertyID propertyID) const
{
    return strForPropertyID(propertyID);
}

QString SNP_CanonCamera::stringForPropertyID(EdsPropertyID propertyID, uint32_t value) const
{
    switch (propertyID) {
    case kBatteryLevel:
        return value == 0xFFFFFFFFu ? QStringLiteral("AC Power") : strForDecimalPercent(value);
    case kBatteryQuality:
        return strForBatteryQuality(value);
    case kImageQuality:
        return strForCanonCameraImageQuality(value);
    case kWhiteBalance:
    case kEvfWhiteBalance:
        return strForCanonCameraWB(value);
    case kColorSpace:
        return strForCanonCameraColorSpace(value);
    case kAEMode:
        return strForCanonCameraAEMode(value);
    case kDriveMode:
        return strForCanonCameraDriveMode(value);
    case kISOSpeed:
        return strForCanonCameraISO(value);
    case kMeteringMode:
        return strForCanonCameraMeteringMode(value);
    case kAFMode:
        return strForCanonCameraAFMode(value);
    case kAv:
        return strForCanonCameraAv(value);
    case kTv:
        return strForCanonCameraTv(value);
    case kExposureCompensation:
        return strForCanonCameraEv(value);
    default:
        return strForUInt32(value);
    }
}

// ---- time records ----

QDateTime SNP_CanonCamera::dateForEDSTime(const EdsTime* time)
{
    if (!time)
        return QDateTime();
    // The camera's clock is a wall-clock reading in the host's zone. It is read with the
    // zone's offset in force on that date (not today's), so that a record and the date it
    // came from convert into each other on either side of a daylight-saving change.
    if (time->year > 9999 || time->month > 12 || time->day > 31 || time->hour > 23 || time->minute > 59 ||
        time->second > 59)
        return QDateTime();
    const QDate day(int(time->year), int(time->month), int(time->day));
    const QTime clock(int(time->hour), int(time->minute), int(time->second));
    if (!day.isValid() || !clock.isValid())
        return QDateTime();
    QDateTime date(day, clock);  // local time
    if (!date.isValid())
        return QDateTime();
    if (time->milliseconds != 0)
        date = date.addMSecs(qint64(time->milliseconds));
    return date;
}

void SNP_CanonCamera::EDSTime(EdsTime* time, const SNP_PropertyValue& date)
{
    if (!time || date.typeId() != QMetaType::QDateTime)
        return;
    const QDateTime local = date.toDateTime().toLocalTime();
    if (!local.isValid() || local.date().year() < 0)
        return;
    time->year = EdsUInt32(local.date().year());
    time->month = EdsUInt32(local.date().month());
    time->day = EdsUInt32(local.date().day());
    time->hour = EdsUInt32(local.time().hour());
    time->minute = EdsUInt32(local.time().minute());
    time->second = EdsUInt32(local.time().second());
    time->milliseconds = EdsUInt32(local.time().msec());
}

// ---- reading and writing ----

SNP_PropertyValue SNP_CanonCamera::valueForPropertyID(EdsPropertyID propertyID, uint32_t parameter)
{
    const QByteArray name = stringNameForPropertyID(propertyID).toUtf8();
    SNP_Log::debugf("about to get value for property (%u) (0x%x) %s", propertyID, propertyID, name.constData());
    if (!waitForCameraLock(kCameraLockTimeout))
        return SNP_PropertyValue();

    EdsDataType type = kEdsDataType_Unknown;
    EdsUInt32 size = 0;
    EdsError error = _sdk->EdsGetPropertySize(_camera, propertyID, EdsInt32(parameter), &type, &size);
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error %x (%s) getting property size for %s", error, qUtf8Printable(strForEDSError(error)),
                        name.constData());
        unlockCameraLock();
        return SNP_PropertyValue();
    }

    // At least one byte, so that a reported size of 0 still gets a buffer of its own.
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[std::max<EdsUInt32>(size, 1)]());
    if (!buffer) {
        unlockCameraLock();
        return SNP_PropertyValue();
    }

    error = _sdk->EdsGetPropertyData(_camera, propertyID, EdsInt32(parameter), size, buffer.get());
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error %x (%s) getting property data for %s", error, qUtf8Printable(strForEDSError(error)),
                        name.constData());
        unlockCameraLock();
        return SNP_PropertyValue();
    }

    SNP_PropertyValue value = convertRawData(type, buffer.get(), size);
    SNP_Log::debugf("got value %s for %s (data type %s (%u); size %u)", qUtf8Printable(describeValue(value)),
                    name.constData(), qUtf8Printable(strForEDSDataType(type)), type, size);
    buffer.reset();
    unlockCameraLock();
    return value;
}

bool SNP_CanonCamera::setValue(const SNP_PropertyValue& value, EdsPropertyID propertyID, uint32_t parameter)
{
    // The raw data, chosen by the property (a value of the wrong kind prepares nothing).
    QByteArray data;
    bool prepared = false;
    if (isTextProperty(propertyID)) {
        if (value.typeId() == QMetaType::QString) {
            data = value.toString().toUtf8();
            data.append('\0');
            prepared = true;
        }
    } else if (propertyID == kDateTime) {
        if (value.typeId() == QMetaType::QDateTime && value.toDateTime().isValid()) {
            EdsTime time{};
            EDSTime(&time, value);
            if (time.month != 0) {  // filled
                data = QByteArray(reinterpret_cast<const char*>(&time), sizeof time);
                prepared = true;
            }
        }
    } else if (isNumberValue(value)) {
        const EdsUInt32 number = uint32Value(value);
        data = QByteArray(reinterpret_cast<const char*>(&number), sizeof number);
        prepared = true;
    }

    const QByteArray name = stringNameForPropertyID(propertyID).toUtf8();
    const QByteArray shown = describeValue(value).toUtf8();
    SNP_Log::debugf("about to set value (%s) for property %s", shown.constData(), name.constData());
    if (!prepared)
        return false;

    if (!waitForCameraLock(kCameraLockTimeout))
        return false;
    EdsError error = _sdk->EdsSetPropertyData(_camera, propertyID, EdsInt32(parameter), EdsUInt32(data.size()),
                                              data.constData());
    unlockCameraLock();
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error %x (%s) setting value (%s) for property %s", error,
                        qUtf8Printable(strForEDSError(error)), shown.constData(), name.constData());
        return false;
    }
    SNP_Log::debugf("set value (%s) for property %s", shown.constData(), name.constData());
    return true;
}

bool SNP_CanonCamera::setStringValue(const QString& text, EdsPropertyID propertyID)
{
    if (propertyID == kOwnerName || propertyID == kArtist || propertyID == kCopyright)
        return setValue(QVariant(text), propertyID, 0);

    const QString name = stringNameForPropertyID(propertyID);
    std::optional<SNP_SupportedValues> table = cachedSupportedValues(name);
    if (!table)
        table = supportedValuesForPropertyID(propertyID);  // not stored
    QVariantMap cache;
    {
        QMutexLocker locker(&_propertiesLock);
        cache = _properties;
    }
    SNP_Log::debugf("used key %s for dict %s from properties %s", qUtf8Printable(name),
                    qUtf8Printable(describeTable(table)), qUtf8Printable(describeCache(cache)));

    // A text that is not a key is passed on as it is; it fails there for every number.
    if (table && table->contains(text))
        return setValue(table->value(text), propertyID, 0);
    return setValue(QVariant(text), propertyID, 0);
}

// ---- allowed values ----

std::optional<SNP_SupportedValues> SNP_CanonCamera::supportedValuesForPropertyID(EdsPropertyID propertyID)
{
    const QByteArray name = stringNameForPropertyID(propertyID).toUtf8();
    SNP_Log::debugf("about to get supported values for property (%u) %s", propertyID, name.constData());
    if (!waitForCameraLock(kCameraLockTimeout))
        return std::nullopt;
    EdsPropertyDesc desc{};
    EdsError error = _sdk->EdsGetPropertyDesc(_camera, propertyID, &desc);
    unlockCameraLock();

    std::optional<SNP_SupportedValues> table;
    if (error != EDS_ERR_OK) {
        SNP_Log::debugf("error %x getting proper description for property %u", error, propertyID);
    } else {
        // The description holds at most 128 codes, whatever count the camera reports.
        const int count = std::clamp<int>(desc.numElements, 0, kMaxAllowedCodes);
        SNP_SupportedValues values;
        for (int i = 0; i < count; ++i) {
            const uint32_t code = static_cast<uint32_t>(desc.propDesc[i]);
            values.insert(stringForPropertyID(propertyID, code), QVariant::fromValue<quint32>(code));  // later wins
        }
        table = values;
    }
    SNP_Log::debugf("found %u supported properties for %s (propID 0x%x)", table ? unsigned(table->size()) : 0u,
                    name.constData(), propertyID);
    SNP_Log::debugf("%s", qUtf8Printable(describeTable(table)));
    return table;
}

void SNP_CanonCamera::setSupportedValues(const std::optional<SNP_SupportedValues>& values, EdsPropertyID propertyID)
{
    if (!values)
        return;
    const QString name = stringNameForPropertyID(propertyID);
    {
        QMutexLocker locker(&_propertiesLock);
        _properties.insert(name, *values);
    }
    QVariantMap userInfo;
    userInfo.insert(SNP_CanonCameraPropertyName, name);
    userInfo.insert(SNP_CanonCameraProperties, *values);
    userInfo.insert(SNP_CanonCameraPropertyID, QVariant::fromValue<quint32>(propertyID));
    SNP_NotificationCenter::defaultCenter().postNotificationOnMainThread(
        SNP_Notification{SNP_CanonCameraPropertiesDidChange, notificationObject(), userInfo}, true);
}

std::optional<SNP_SupportedValues> SNP_CanonCamera::cachedSupportedValues(const QString& propertyName)
{
    QMutexLocker locker(&_propertiesLock);
    if (!_properties.contains(propertyName))
        return std::nullopt;
    return _properties.value(propertyName).toMap();
}

// ---- announcements and events ----

void SNP_CanonCamera::propertyDidChange(EdsPropertyID propertyID, uint32_t parameter)
{
    if (propertyID == kEvfOutputDevice) {
        liveViewOutputDeviceDidChange();
        return;
    }

    const SNP_PropertyValue value = valueForPropertyID(propertyID, parameter);
    SNP_PropertyValue rawNumber;
    SNP_PropertyValue shown = value;
    if (isNumberValue(value)) {
        rawNumber = value;
        shown = stringForPropertyID(propertyID, uint32Value(value));
    }
    const QString name = stringNameForPropertyID(propertyID);
    SNP_Log::debugf("camera %s property %s (%x, p=%x) changed to %s", qUtf8Printable(SNP_describeCamera(this)),
                    qUtf8Printable(name), propertyID, parameter, qUtf8Printable(describeValue(shown)));

    // Filled in order, ending at the first missing value.
    QVariantMap userInfo;
    userInfo.insert(SNP_CanonCameraPropertyName, name);
    if (shown.isValid()) {
        userInfo.insert(SNP_CanonCameraProperty, shown);
        userInfo.insert(SNP_CanonCameraPropertyID, QVariant::fromValue<quint32>(propertyID));
        if (rawNumber.isValid())
            userInfo.insert(SNP_CanonCameraPropertyValue, rawNumber);
    }
    SNP_NotificationCenter::defaultCenter().postNotificationOnMainThread(
        SNP_Notification{SNP_CanonCameraPropertyDidChange, notificationObject(), userInfo}, true);
}

EdsError SNP_CanonCamera::processPropertyEvent(EdsPropertyEvent event, EdsPropertyID propertyID, uint32_t parameter)
{
    switch (event) {
    case kEdsPropertyEvent_PropertyChanged:
        propertyDidChange(propertyID, parameter);
        break;
    case kEdsPropertyEvent_PropertyDescChanged:
        SNP_Log::debugf("camera %s property %s (%u) description changed (p=%x)",
                        qUtf8Printable(SNP_describeCamera(this)), qUtf8Printable(stringNameForPropertyID(propertyID)),
                        propertyID, parameter);
        setSupportedValues(supportedValuesForPropertyID(propertyID), propertyID);
        break;
    default:
        SNP_Log::debugf("received unknown property event %x for camera %s", event,
                        qUtf8Printable(SNP_describeCamera(this)));
        break;
    }
    return EDS_ERR_OK;
}

EdsError SNP_CanonCamera::propertyEventCallback(EdsPropertyEvent event, EdsPropertyID propertyID, EdsUInt32 parameter,
                                                void* context)
{
    // A strong reference for the length of the event; none when the object is going away.
    SNP_CanonCameraPtr self = cameraForHandlerContext(context);
    if (!self) {
        SNP_Log::debugf("dropping property event %x for a camera that is going away", event);
        return EDS_ERR_OK;
    }
    EdsError result = self->processPropertyEvent(event, propertyID, parameter);
    // Never let the last reference go inside the SDK's own callback.
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread())
        QMetaObject::invokeMethod(app, [keep = std::move(self)]() mutable { keep.reset(); }, Qt::QueuedConnection);
    return result;
}
