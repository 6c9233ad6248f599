// Camera commands: a per-camera queue of command dictionaries, started one at a time, each
// sent on a thread of its own under the command lock; refused commands are reported with
// "SNP_CanonCameraCommandError". Also the camera lock and the clock, owner-name and zoom
// operations that are property writes rather than commands.
//
// Lock order: no thread waits for _commandLock while holding _queueLock.
#include "SNP_CanonCamera.h"

#include "SNP_Log.h"

#include <QElapsedTimer>
#include <QThread>

#include <execinfo.h>

#include <thread>

namespace {

const QString kCommandNumber = QStringLiteral("commandNumber");
const QString kCommandParam = QStringLiteral("commandParam");
const QString kDescription = QStringLiteral("description");

QString shutterParameterText(uint32_t parameter)
{
    switch (parameter) {
    case 1:
        return QStringLiteral("halfway");
    case 3:
        return QStringLiteral("completely");
    case 0x10001:
        return QStringLiteral("halfway (no AF)");
    case 0x10003:
        return QStringLiteral("completely (no AF)");
    default:
        return QString();
    }
}

QString threadText()
{
    return QStringLiteral("<thread 0x%1>").arg(quintptr(QThread::currentThreadId()), 0, 16);
}

}  // namespace

QString SNP_CanonCamera::callStackText()
{
    void* frames[32];
    int count = backtrace(frames, 32);
    QStringList addresses;
    for (int i = 0; i < count; ++i)
        addresses << QStringLiteral("0x%1").arg(quintptr(frames[i]), 0, 16);
    return QStringLiteral("(") + addresses.join(QStringLiteral(", ")) + QStringLiteral(")");
}

namespace {

QString dictionaryText(const QVariantMap& dictionary)
{
    QStringList entries;
    for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
        QString value = it.value().typeId() == QMetaType::QString ? QStringLiteral("\"%1\"").arg(it.value().toString())
                                                                  : it.value().toString();
        entries << QStringLiteral("%1 = %2;").arg(it.key(), value);
    }
    return QStringLiteral("{") + entries.join(QLatin1Char(' ')) + QStringLiteral("}");
}

QDeadlineTimer deadlineIn(double seconds)
{
    return QDeadlineTimer(qint64(seconds * 1000.0));
}

// Takes a camera lock at once or, after saying so, within the time-out.
bool takeLock(SNP_NamedLock& lock, double seconds, const char* waitingText, const char* timedOutText)
{
    if (lock.tryLock())
        return true;
    SNP_Log::debug(QString::fromUtf8(waitingText));
    if (lock.tryLockUntil(deadlineIn(seconds)))
        return true;
    SNP_Log::debug(QString::fromUtf8(timedOutText));
    return false;
}

}  // namespace

QString SNP_CanonCamera::descriptionForCommandDictionary(const QVariantMap& dictionary)
{
    if (!dictionary.contains(kCommandNumber))
        return QString();
    const uint32_t command = dictionary.value(kCommandNumber).toUInt();
    const uint32_t parameter = dictionary.value(kCommandParam).toUInt();
    switch (command) {
    case kEdsCameraCommand_TakePicture:
        return QStringLiteral("Take a picture");
    case kEdsCameraCommand_ExtendShutDownTimer:
        return QStringLiteral("Extend shutdown timer");
    case kEdsCameraCommand_BulbStart:
        return QStringLiteral("Start bulb");
    case kEdsCameraCommand_BulbEnd:
        return QStringLiteral("Stop bulb");
    case kEdsCameraCommand_PressShutterButton:
        if (parameter == 0)
            return QStringLiteral("Release Shutter Button");
        return QStringLiteral("Press Shutter Button ") + shutterParameterText(parameter);
    case kEdsCameraCommand_DoEvfAf:
        return QStringLiteral("Do LiveView AutoFocus");
    case kEdsCameraCommand_DriveLensEvf:
        return QStringLiteral("Drive LiveView Lens");
    case kEdsCameraCommand_DoClickWBEvf:
        return QStringLiteral("Set White balance in LiveView");
    default:
        return QStringLiteral("some unknown command");
    }
}

QVariantMap SNP_CanonCamera::commandDictionary(uint32_t command, int32_t parameter)
{
    QVariantMap dictionary;
    dictionary.insert(kCommandNumber, QVariant::fromValue<quint32>(command));
    dictionary.insert(kCommandParam, QVariant::fromValue<quint32>(uint32_t(parameter)));
    dictionary.insert(kDescription, descriptionForCommandDictionary(dictionary));
    return dictionary;
}

void SNP_CanonCamera::queueCameraCommand(uint32_t command, int32_t parameter)
{
    const QVariantMap dictionary = commandDictionary(command, parameter);
    if (!takeLock(_queueLock, kQueueLockTimeout, "waiting for queue lock", "timed out waiting for queue lock"))
        return;
    _commandQueue.append(dictionary);
    _queueLock.unlock();
    SNP_Log::debugf("added command %s to queue", qUtf8Printable(dictionary.value(kDescription).toString()));
}

void SNP_CanonCamera::performNextQueuedCameraCommand()
{
    if (!takeLock(_queueLock, kQueueLockTimeout, "waiting for queue lock", "timed out waiting for queue lock"))
        return;
    if (!_commandQueue.isEmpty()) {
        QVariantMap dictionary = _commandQueue.takeFirst();
        // The command's thread keeps the camera and its own copy of the dictionary.
        std::thread([self = shared_from_this(), dictionary] { self->performCommandWithDictionary(dictionary); })
            .detach();
    }
    _queueLock.unlock();
}

void SNP_CanonCamera::performCommandWithDictionary(const QVariantMap& dictionary)
{
    if (!dictionary.contains(kCommandNumber))
        return;
    const uint32_t command = dictionary.value(kCommandNumber).toUInt();
    const uint32_t parameter = dictionary.value(kCommandParam).toUInt();

    bool locked = _commandLock.tryLock();
    SNP_Log::debugf("trying to get commandLock for command %s on thread %s", qUtf8Printable(dictionaryText(dictionary)),
                    qUtf8Printable(threadText()));
    if (!locked) {
        SNP_Log::debug(QStringLiteral("waiting for command lock"));
        if (!_commandLock.tryLockUntil(deadlineIn(kCommandLockTimeout))) {
            SNP_Log::debug(QStringLiteral("timed out waiting for command lock"));
            return;
        }
    }
    SNP_Log::debugf("got the command lock on thread %s", qUtf8Printable(threadText()));

    EdsError error = _sdk->EdsSendCommand(_camera, command, EdsInt32(parameter));
    if (error != EDS_ERR_OK) {
        SNP_Error commandError;
        commandError.domain = QStringLiteral("EdsError");
        commandError.code = error;
        commandError.userInfo.insert(SNP_CanonCameraCommandDictionary, dictionary);
        commandError.userInfo.insert(SNP_LocalizedDescriptionKey, errorName(error));
        SNP_Log::debugf("error %x sending command %x (parameter %x) to %s", error, command, parameter,
                        qUtf8Printable(SNP_describeCamera(this)));
        QVariantMap userInfo;
        userInfo.insert(SNP_CanonCameraCommandDictionary, dictionary);
        userInfo.insert(SNP_CanonCameraCommandError, QVariant::fromValue(commandError));
        SNP_NotificationCenter::defaultCenter().postNotificationOnMainThread(
            SNP_Notification{SNP_CanonCameraCommandError, notificationObject(), userInfo}, false);
    } else {
        SNP_Log::debugf("sent command %s", qUtf8Printable(descriptionForCommandDictionary(dictionary)));
    }

    _commandLock.unlock();
    SNP_Log::debugf("unlocked command lock on thread %s", qUtf8Printable(threadText()));
}

EdsError SNP_CanonCamera::performCameraCommand(uint32_t command, int32_t parameter)
{
    if (!takeLock(_commandLock, kCommandLockTimeout, "waiting for command lock", "timed out waiting for command lock"))
        return EDS_ERR_WAIT_TIMEOUT_ERROR;
    EdsError error = _sdk->EdsSendCommand(_camera, command, parameter);
    if (error != EDS_ERR_OK)
        SNP_Log::debugf("error %x sending a command with %s", error, qUtf8Printable(SNP_describeCamera(this)));
    _commandLock.unlock();
    return error;
}

void SNP_CanonCamera::takePicture()
{
    queueCameraCommand(kEdsCameraCommand_TakePicture, 0);
}

void SNP_CanonCamera::pressShutter(uint32_t parameter)
{
    queueCameraCommand(kEdsCameraCommand_PressShutterButton, int32_t(parameter));
}

void SNP_CanonCamera::liveViewDriveAF(uint32_t parameter)
{
    switch (parameter) {
    case 1:
    case 2:
    case 3:
    case 0x8001:
    case 0x8002:
    case 0x8003:
        SNP_Log::debugf("sending parameter 0X%X for DriveLensEvf", parameter);
        queueCameraCommand(kEdsCameraCommand_DriveLensEvf, int32_t(parameter));
        performNextQueuedCameraCommand();
        break;
    default:
        SNP_Log::debugf("bad parameter %u for DriveLensEvf", parameter);
        break;
    }
}

void SNP_CanonCamera::liveViewSetZoom(uint32_t zoom)
{
    if (zoom == 1 || zoom == 5 || zoom == 10)
        setValue(QVariant::fromValue<quint32>(zoom), 0x507, 0);
    else
        SNP_Log::debugf("bad parameter %u for evfZoom", zoom);
}

QDateTime SNP_CanonCamera::cameraClock()
{
    SNP_PropertyValue value = valueForPropertyID(0x6, 0);
    return value.typeId() == QMetaType::QDateTime ? value.toDateTime() : QDateTime();
}

bool SNP_CanonCamera::setCameraClock(const QDateTime& date)
{
    return setValue(QVariant(date), 0x6, 0);
}

bool SNP_CanonCamera::setOwnerName(const QString& name)
{
    return setValue(QVariant(name), 0x4, 0);
}

bool SNP_CanonCamera::waitForCameraLock(double)
{
    // Grants at once and locks nothing: property access is not serialised with commands.
    return true;
}

void SNP_CanonCamera::unlockCameraLock()
{
}

bool SNP_CanonCamera::getLock(SNP_NamedLock& lock, const QDeadlineTimer& deadline)
{
    if (lock.tryLock())
        return true;
    SNP_Log::debugf("waiting %.1f secs for %s lock on thread %s %s", deadline.remainingTime() / 1000.0,
                    qUtf8Printable(lock.name()), qUtf8Printable(threadText()), qUtf8Printable(callStackText()));
    QElapsedTimer waited;
    waited.start();
    if (lock.tryLockUntil(deadline)) {
        SNP_Log::debugf("got %s lock after waiting %.2f seconds", qUtf8Printable(lock.name()), waited.nsecsElapsed() / 1e9);
        return true;
    }
    SNP_Log::debugf("timed out waiting for %s lock", qUtf8Printable(lock.name()));
    return false;
}

QList<QVariantMap> SNP_CanonCamera::queuedCommands()
{
    if (!takeLock(_queueLock, kQueueLockTimeout, "waiting for queue lock", "timed out waiting for queue lock"))
        return {};
    QList<QVariantMap> copy = _commandQueue;
    _queueLock.unlock();
    return copy;
}
