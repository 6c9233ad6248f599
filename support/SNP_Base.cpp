#include "SNP_Base.h"

#include "SNP_Log.h"
#include "SNP_NSStringAdditions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>
#include <QtGlobal>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace {

QString readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(1 << 20));
}

QString processName()
{
    if (QCoreApplication::instance()) {
        const QString name = QCoreApplication::applicationName();
        if (!name.isEmpty())
            return name;
    }
    const QString self = SNP_Base::pathToSelf();
    return self.isEmpty() ? QStringLiteral("booth") : QFileInfo(self).fileName();
}

// PRETTY_NAME from os-release, unquoted; empty when absent.
QString distributionName()
{
    QString text = readSmallFile(QStringLiteral("/etc/os-release"));
    if (text.isEmpty())
        text = readSmallFile(QStringLiteral("/usr/lib/os-release"));
    for (const QString& line : text.split(u'\n')) {
        if (!line.startsWith(QLatin1String("PRETTY_NAME=")))
            continue;
        QString value = line.mid(12).trimmed();
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\''))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

} // namespace

double SNP_Base::frameworkVersionNumber()
{
    return QT_VERSION_MAJOR + QT_VERSION_MINOR / 100.0 + QT_VERSION_PATCH / 1000.0;
}

QVariantMap SNP_Base::vmStats()
{
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0)
        pageSize = 4096;
    quint64 freeBytes = 0;
    bool found = false;
    const QString meminfo = readSmallFile(QStringLiteral("/proc/meminfo"));
    for (const QString& line : meminfo.split(u'\n')) {
        if (line.startsWith(QLatin1String("MemFree:"))) {
            bool ok = false;
            const quint64 kb = line.mid(8).trimmed().split(u' ').value(0).toULongLong(&ok);
            if (ok) {
                freeBytes = kb * 1024;
                found = true;
            }
            break;
        }
    }
    quint32 freePages = 0;
    if (found) {
        freePages = quint32(freeBytes / quint64(pageSize));
    } else {
        const long pages = sysconf(_SC_AVPHYS_PAGES);
        if (pages < 0)
            return {};
        freePages = quint32(pages);
    }
    freeBytes = quint64(pageSize) * freePages;
    QVariantMap stats;
    stats.insert(QStringLiteral("freePages"), QVariant::fromValue<quint32>(freePages));
    stats.insert(QStringLiteral("freeBytes"), QVariant::fromValue<quint64>(freeBytes));
    stats.insert(QStringLiteral("freeMB"), QVariant::fromValue<quint64>(freeBytes >> 20));
    return stats;
}

QString SNP_Base::hostModelAndArch()
{
    QString model = readSmallFile(QStringLiteral("/sys/class/dmi/id/product_name")).trimmed();
    if (model.isEmpty()) {
        const QString cpuinfo = readSmallFile(QStringLiteral("/proc/cpuinfo"));
        // "Model" names the board on ARM (Raspberry Pi), "model name" the processor on x86.
        for (const char* key : {"Model", "Hardware", "model name"}) {
            for (const QString& line : cpuinfo.split(u'\n')) {
                const qsizetype colon = line.indexOf(u':');
                if (colon > 0 && line.left(colon).trimmed() == QLatin1String(key)) {
                    model = line.mid(colon + 1).trimmed();
                    break;
                }
            }
            if (!model.isEmpty())
                break;
        }
    }
    if (model.isEmpty())
        model = QStringLiteral("Unknown");
    struct utsname names {};
    const QString machine = uname(&names) == 0 ? QString::fromUtf8(names.machine)
                                               : QSysInfo::currentCpuArchitecture();
    return model + QStringLiteral(" (%1)").arg(machine);
}

QString SNP_Base::systemVersionInfo()
{
    struct utsname names {};
    QString release = uname(&names) == 0 ? QString::fromUtf8(names.release)
                                         : QSysInfo::kernelVersion();
    const QString distribution = distributionName();
    if (!distribution.isEmpty())
        release += QStringLiteral(" (%1)").arg(distribution);

    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    const unsigned physicalMB = (pages > 0 && pageSize > 0)
        ? unsigned((quint64(pages) * quint64(pageSize)) >> 20) : 0u;
    const QVariantMap stats = vmStats();
    const int freeMB = stats.isEmpty() ? 0 : int(stats.value(QStringLiteral("freeMB")).toULongLong());
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const char* byteOrder = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? "LittleEndian"
                          : QSysInfo::ByteOrder == QSysInfo::BigEndian ? "BigEndian" : "Unknown";
    return QString::asprintf("Linux %s Qt (%.3f);\n%uMB (%dMB free); %u CPU; %s (%d-bit); %s",
                             qUtf8Printable(release), frameworkVersionNumber(), physicalMB, freeMB,
                             unsigned(cpus > 0 ? cpus : 1), byteOrder, int(sizeof(void*) * 8),
                             qUtf8Printable(hostModelAndArch()));
}

QString SNP_Base::startupInfo()
{
    return QString(80, u'^') + u'\n' + processName() + QStringLiteral(" starting up\n")
         + systemVersionInfo();
}

QString SNP_Base::safeTempFile(int* outFd)
{
    QString dir = qEnvironmentVariable("TMPDIR");
    if (dir.isEmpty())
        dir = QStringLiteral("/tmp");
    const QString templ = QDir(dir).filePath(QStringLiteral("XXXXXXXXXXXXXXXX"));
    QByteArray path = templ.toUtf8();
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        const int error = errno;
        SNP_Log::debugf("ERROR: failed to create temporary file %s (Error %d: %s)",
                        qUtf8Printable(templ), error, strerror(error));
        if (outFd)
            *outFd = -1;
        return {};
    }
    if (outFd)
        *outFd = fd;
    else
        ::close(fd);
    return QString::fromUtf8(path);
}

QString SNP_Base::firstFoundDirectoryType(uint32_t type, uint32_t domainMask)
{
    if (domainMask == 0)
        domainMask = 0xFFFF;
    const auto location = static_cast<QStandardPaths::StandardLocation>(type);
    const QString own = QStandardPaths::writableLocation(location);
    const QStringList all = QStandardPaths::standardLocations(location);
    QStringList candidates;
    for (const QString& path : all) {
        const bool isOwn = path == own;
        if ((isOwn && (domainMask & 1)) || (!isOwn && (domainMask & ~1u)))
            candidates << path;
    }
    return candidates.value(0);
}

QString SNP_Base::pathToSelf()
{
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0)
            return {};
        if (size_t(n) < buffer.size()) {
            const auto text = SNP_NSStringAdditions::stringWithCString(
                buffer.data(), size_t(n), SNP_NSStringAdditions::Encoding::UTF8);
            return text.value_or(QString());
        }
        if (buffer.size() > (1u << 20))
            return {};
        buffer.resize(buffer.size() * 2);
    }
}
