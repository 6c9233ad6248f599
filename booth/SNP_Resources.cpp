#include "SNP_Resources.h"

#include "SNP_Log.h"
#include "SNP_Preferences.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <list>

// The stock resources live in the booth library; make sure they are registered.
static void initStockResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    (void)done;
}

namespace SNP_Resources {

namespace {

QStringList candidates(const QString& name, const QStringList& types)
{
    if (!QFileInfo(name).suffix().isEmpty())
        return {name};
    QStringList names;
    for (const QString& type : types)
        names << name + QLatin1Char('.') + type;
    return names;
}

// Decoded image resources, so that a screen change or a filing does not decode the same
// PNG again. An entry is used only while its file keeps the modification time and size it
// had when it was read, so an image the operator replaces in the resource folder is read
// anew. The least recently used entries go when the decoded images exceed the budget.
class ImageCache {
public:
    QImage image(const QString& path)
    {
        const QFileInfo info(path);
        const qint64 stamp = info.lastModified().toMSecsSinceEpoch();
        const qint64 size = info.size();
        {
            QMutexLocker l(&_lock);
            const auto it = findLocked(path);
            if (it != _entries.end() && it->stamp == stamp && it->fileSize == size) {
                _entries.splice(_entries.begin(), _entries, it);
                return _entries.front().image;
            }
            eraseLocked(it); // the file changed since it was read
        }
        QImage image(path); // decoded outside the lock: another thread may use other entries meanwhile
        if (image.isNull())
            return image;
        QMutexLocker l(&_lock);
        eraseLocked(findLocked(path)); // read by another thread meanwhile
        _entries.push_front(Entry{path, stamp, size, image});
        _bytes += image.sizeInBytes();
        while (_bytes > _budget && _entries.size() > 1) {
            _bytes -= _entries.back().image.sizeInBytes();
            _entries.pop_back();
        }
        return image;
    }
    void clear()
    {
        QMutexLocker l(&_lock);
        _entries.clear();
        _bytes = 0;
    }
    void setBudget(qint64 bytes)
    {
        QMutexLocker l(&_lock);
        _budget = bytes;
    }

private:
    struct Entry {
        QString path;
        qint64 stamp;
        qint64 fileSize;
        QImage image;
    };
    std::list<Entry>::iterator findLocked(const QString& path)
    {
        return std::find_if(_entries.begin(), _entries.end(), [&](const Entry& e) { return e.path == path; });
    }
    void eraseLocked(std::list<Entry>::iterator it)
    {
        if (it == _entries.end())
            return;
        _bytes -= it->image.sizeInBytes();
        _entries.erase(it);
    }

    QMutex _lock;
    std::list<Entry> _entries; // most recently used first
    qint64 _bytes = 0;
    qint64 _budget = kImageCacheBudget;
};

// A bare name only: no path separators, nothing that climbs out of the folder. Any other
// is refused, and logged.
bool isBareName(const QString& name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name.startsWith(QLatin1Char('.'))) {
        SNP_Log::debugf("resource name \"%s\" refused", qUtf8Printable(name));
        return false;
    }
    return true;
}

ImageCache& imageCache()
{
    static ImageCache cache;
    return cache;
}

} // namespace

QString pathForResource(const QString& name, const QStringList& types)
{
    if (!isBareName(name))
        return {};
    const QStringList names = candidates(name, types);
    const QString folder = SNP_Preferences::value(QString::fromLatin1(PrefKeyResourceFolder)).toString();
    if (!folder.isEmpty()) {
        const QDir dir(folder);
        for (const QString& n : names) {
            const QFileInfo info(dir.filePath(n));
            if (info.isFile() && info.isReadable())
                return info.absoluteFilePath();
        }
    }
    initStockResources();
    for (const QString& n : names) {
        const QString stock = QStringLiteral(":/resources/") + n;
        if (QFileInfo::exists(stock))
            return stock;
    }
    return {};
}

QStringList pathsForResource(const QString& name)
{
    if (!isBareName(name))
        return {};
    QStringList paths;
    initStockResources();
    if (QFileInfo::exists(QStringLiteral(":/resources/") + name))
        paths << QStringLiteral(":/resources/") + name;
    const QString folder = SNP_Preferences::value(QString::fromLatin1(PrefKeyResourceFolder)).toString();
    if (!folder.isEmpty()) {
        const QFileInfo info(QDir(folder).filePath(name));
        if (info.isFile() && info.isReadable())
            paths << info.absoluteFilePath();
    }
    return paths;
}

QImage imageNamed(const QString& name)
{
    const QString path = pathForResource(name, {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg")});
    if (path.isEmpty())
        return {};
    QImage image = imageCache().image(path);
    if (image.isNull())
        SNP_Log::debugf("cannot read the image resource %s", qUtf8Printable(path));
    return image;
}

void setImageCacheBudgetForTesting(qint64 bytes)
{
    imageCache().setBudget(bytes < 0 ? kImageCacheBudget : bytes);
    imageCache().clear();
}

QUrl soundNamed(const QString& name)
{
    const QString path = pathForResource(name, {QStringLiteral("wav")});
    if (path.isEmpty())
        return {};
    if (path.startsWith(QLatin1Char(':')))
        return QUrl(QStringLiteral("qrc") + path);
    return QUrl::fromLocalFile(path);
}

} // namespace SNP_Resources
