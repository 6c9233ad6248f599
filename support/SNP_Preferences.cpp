#include "SNP_Preferences.h"

#include "SNP_Log.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace SNP_Preferences {

const char* const DefaultScratchFolder = "/CanonScratchFolder";
const char* const DefaultMainImagesFolder = "/KorvanexMainImagesFolder";
const char* const DefaultForUploadFolder = "/KorvanexUploadFolder";
const char* const DefaultCameraBackend = "sim";

namespace {

QMutex& lock()
{
    static QMutex mutex;
    return mutex;
}
QVariantMap& overrides()
{
    static QVariantMap map;
    return map;
}
QStringList& problems()
{
    static QStringList list;
    return list;
}
QString& storeFile()
{
    static QString path;
    return path;
}

QString shortened(const QString& text)
{
    return text.size() > 80 ? text.left(80) + QStringLiteral("...") : text;
}

// A value that reads as one text: what the command line and a plain stored line give.
// QSettings turns "a, b" into a list and "@Variant(...)" into any type at all (text() reads
// the first back as written).
bool isText(const QVariant& raw)
{
    return raw.typeId() == QMetaType::QString || raw.typeId() == QMetaType::QByteArray;
}

QString sanitisedFolder(const QString& key, const QVariant& raw, const QString& defaultPath, const char* origin)
{
    if (!raw.isValid() || raw.isNull())
        return defaultPath;
    if (!isText(raw)) {
        SNP_Log::debugf("Ignoring %s value for %s: a %s, not a folder path; using %s", origin, qUtf8Printable(key),
                        raw.typeName(), qUtf8Printable(defaultPath));
        return defaultPath;
    }
    const QString path = raw.toString();
    if (path.isEmpty()) {
        SNP_Log::debugf("Ignoring empty %s value for %s; using %s", origin, qUtf8Printable(key),
                        qUtf8Printable(defaultPath));
        return defaultPath;
    }
    if (path.size() > MaxValueLength) {
        SNP_Log::debugf("Ignoring %s value for %s of %lld characters; using %s", origin, qUtf8Printable(key),
                        static_cast<long long>(path.size()), qUtf8Printable(defaultPath));
        return defaultPath;
    }
    if (!QDir::isAbsolutePath(path) || path.contains(QChar(0))) {
        SNP_Log::debugf("Ignoring %s value for %s \"%s\": not an absolute folder path; using %s", origin,
                        qUtf8Printable(key), qUtf8Printable(shortened(path)), qUtf8Printable(defaultPath));
        return defaultPath;
    }
    return QDir::cleanPath(path);
}

// A stored text as written in the file. QSettings reads an unquoted line with a comma,
// "mailSubject=Hello, world", as a list; for a text the line as it stands is what was meant.
QVariant storedValue(const QString& key)
{
    const auto settings = store();
    const QVariant parsed = settings->value(key);
    QFile file(settings->fileName());
    if (parsed.typeId() != QMetaType::QStringList || key.contains(u'/') || !file.open(QIODevice::ReadOnly))
        return parsed;
    QVariant written = parsed;
    bool general = true; // top-level keys: before any section, or in [General]
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'['))
            general = line == QLatin1String("[General]");
        const qsizetype equals = line.indexOf(u'=');
        if (general && equals > 0 && line.left(equals).trimmed() == key)
            written = line.mid(equals + 1).trimmed();
    }
    return written;
}

} // namespace

void setArguments(const QStringList& arguments)
{
    QVariantMap found;
    QStringList skipped;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument.size() < 2 || !argument.startsWith(u'-')) {
            skipped << QStringLiteral("Ignoring command-line argument \"%1\": not a -KEY VALUE pair")
                           .arg(shortened(argument));
            continue;
        }
        if (i + 1 >= arguments.size()) {
            skipped << QStringLiteral("Ignoring command-line key \"%1\": no value follows").arg(shortened(argument));
            continue;
        }
        found.insert(argument.mid(1), arguments[i + 1]);
        ++i;
    }
    QMutexLocker locker(&lock());
    overrides() = found;
    problems() = skipped;
}

void setArguments(int argc, const char* const* argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    setArguments(arguments);
}

QVariantMap argumentOverrides()
{
    QMutexLocker locker(&lock());
    return overrides();
}

void reportArgumentProblems()
{
    QStringList list;
    {
        QMutexLocker locker(&lock());
        list.swap(problems());
    }
    for (const QString& line : list)
        SNP_Log::debug(line);
}

std::unique_ptr<QSettings> store()
{
    QString path;
    {
        QMutexLocker locker(&lock());
        path = storeFile();
    }
    if (!path.isEmpty())
        return std::make_unique<QSettings>(path, QSettings::IniFormat);
    return std::make_unique<QSettings>(QStringLiteral("Korvanex"), QStringLiteral("booth"));
}

void setStoreFileForTesting(const QString& iniPath)
{
    QMutexLocker locker(&lock());
    storeFile() = iniPath;
}

bool hasOverride(const QString& key)
{
    QMutexLocker locker(&lock());
    return overrides().contains(key);
}

QVariant value(const QString& key)
{
    {
        QMutexLocker locker(&lock());
        const auto it = overrides().constFind(key);
        if (it != overrides().constEnd())
            return it.value();
    }
    return store()->value(key);
}

QString storedFolder(const QString& key, const QString& defaultPath)
{
    return sanitisedFolder(key, store()->value(key), defaultPath, "stored");
}

QString folder(const QString& key, const QString& defaultPath)
{
    if (hasOverride(key)) {
        const QString stored = storedFolder(key, defaultPath);
        return sanitisedFolder(key, argumentOverrides().value(key), stored, "command-line");
    }
    return storedFolder(key, defaultPath);
}

void setFolder(const QString& key, const QString& path)
{
    auto settings = store();
    settings->setValue(key, path);
    settings->sync();
    if (settings->status() != QSettings::NoError)
        SNP_Log::debugf("Failed to write %s to the user defaults at %s", qUtf8Printable(key),
                        qUtf8Printable(settings->fileName()));
}

std::optional<QString> text(const QString& key)
{
    const QVariant raw = hasOverride(key) ? value(key) : storedValue(key);
    if (!raw.isValid() || raw.isNull())
        return std::nullopt;
    if (!isText(raw)) {
        SNP_Log::debugf("Ignoring %s: a %s, not a text", qUtf8Printable(key), raw.typeName());
        return std::nullopt;
    }
    const QString text = raw.toString();
    if (text.size() > MaxValueLength || text.contains(QChar(0))) {
        SNP_Log::debugf("Ignoring %s of %lld characters: too long or not a text", qUtf8Printable(key),
                        static_cast<long long>(text.size()));
        return std::nullopt;
    }
    return text;
}

uint32_t wholeNumber(const QString& key, uint32_t fallback, uint32_t max)
{
    const QVariant raw = value(key);
    if (!raw.isValid() || raw.isNull())
        return fallback;
    if (!isText(raw) && !raw.canConvert<qlonglong>()) {
        SNP_Log::debugf("Ignoring %s: a %s, not a number; using %u", qUtf8Printable(key), raw.typeName(), fallback);
        return fallback;
    }
    const QString text = raw.toString().trimmed();
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok);
    if (!ok) {
        SNP_Log::debugf("Ignoring %s \"%s\": not a whole number; using %u", qUtf8Printable(key),
                        qUtf8Printable(shortened(text)), fallback);
        return fallback;
    }
    if (number < 0 || number > qlonglong(max)) {
        SNP_Log::debugf("Ignoring %s %lld: outside 0..%u; using %u", qUtf8Printable(key), number, max, fallback);
        return fallback;
    }
    return uint32_t(number);
}

uint32_t touchScreenCountValue()
{
    const uint32_t count = wholeNumber(QString::fromLatin1(PrefKeyForTouchScreenCountValue), DefaultTouchScreenCount,
                                       MaxTouchScreenCount);
    return count == 0 ? DefaultTouchScreenCount : count;
}

uint32_t keyboardIdleSeconds()
{
    return wholeNumber(QString::fromLatin1(PrefKeyKeyboardIdleSeconds), DefaultKeyboardIdleSeconds,
                       MaxKeyboardIdleSeconds);
}

std::optional<QString> operatorPin()
{
    const QVariant raw = value(QString::fromLatin1(PrefKeyOperatorPin));
    const QString pin = raw.isValid() && isText(raw) ? raw.toString().trimmed() : QString();
    if (raw.isValid() && !raw.isNull() && !isText(raw)) {
        SNP_Log::debugf("operatorPin is a %s, not digits: \"quit\" stays locked until it is mended", raw.typeName());
        return std::nullopt;
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,32}$"));
    if (!pin.isEmpty() && !digits.match(pin).hasMatch()) {
        SNP_Log::debug(QStringLiteral("operatorPin is not 1 to 32 digits: \"quit\" stays locked until it is mended"));
        return std::nullopt;
    }
    return pin;
}

std::optional<QString> makeOperatorPinIfNone()
{
    const QString key = QString::fromLatin1(PrefKeyOperatorPin);
    if (hasOverride(key))
        return std::nullopt;
    auto settings = store();
    const QVariant stored = settings->value(key);
    if (stored.isValid() && !stored.isNull() && !(isText(stored) && stored.toString().trimmed().isEmpty()))
        return std::nullopt;
    QString pin;
    for (int i = 0; i < OperatorPinDigits; ++i)
        pin += QChar(u'0' + QRandomGenerator::system()->bounded(10));
    settings->setValue(key, pin);
    settings->sync();
    if (settings->status() != QSettings::NoError) {
        SNP_Log::debugf("the new operator PIN cannot be stored in %s: it holds for this run only",
                        qUtf8Printable(settings->fileName()));
        QMutexLocker locker(&lock());
        overrides().insert(key, pin);
    }
    return pin;
}

uint32_t operatorIdleSeconds()
{
    return wholeNumber(QString::fromLatin1(PrefKeyOperatorIdleSeconds), DefaultOperatorIdleSeconds,
                       MaxOperatorIdleSeconds);
}

QString touchScreenOutput()
{
    return text(QString::fromLatin1(PrefKeyTouchScreenOutput)).value_or(QString()).trimmed();
}

QString liveScreenOutput()
{
    return text(QString::fromLatin1(PrefKeyLiveScreenOutput)).value_or(QString()).trimmed();
}

uint32_t lowSpaceMegabytes()
{
    return wholeNumber(QString::fromLatin1(PrefKeyLowSpaceMegabytes), DefaultLowSpaceMegabytes, MaxLowSpaceMegabytes);
}

QString cameraBackend(const QString& builtDefault)
{
    const QVariant raw = value(QString::fromLatin1(PrefKeyCameraBackend));
    if (!raw.isValid() || raw.isNull())
        return builtDefault;
    // Whatever is set is taken as it is, never replaced by the default: a name that is no
    // backend must leave the booth without a camera, not with the simulated one. An
    // over-long one is cut (marked with "...") for the lines that name it.
    const QString name = isText(raw) ? raw.toString().trimmed() : QString();
    return name.size() > 64 ? name.left(61) + QStringLiteral("...") : name;
}

} // namespace SNP_Preferences
