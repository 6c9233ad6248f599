#include "SNP_Resources.h"

#include "SNP_Log.h"
#include "SNP_Preferences.h"

#include <QDir>
#include <QFileInfo>

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

const char* const PrefKeyResourceFolder = "resourceFolder";

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

} // namespace

QString pathForResource(const QString& name, const QStringList& types)
{
    // A bare name only: no path separators, nothing that climbs out of the folder.
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name.startsWith(QLatin1Char('.'))) {
        SNP_Log::debugf("resource name \"%s\" refused", qUtf8Printable(name));
        return {};
    }
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

QImage imageNamed(const QString& name)
{
    const QString path = pathForResource(name, {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg")});
    if (path.isEmpty())
        return {};
    QImage image(path);
    if (image.isNull())
        SNP_Log::debugf("cannot read the image resource %s", qUtf8Printable(path));
    return image;
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
