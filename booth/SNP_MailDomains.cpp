#include "SNP_MailDomains.h"

#include "SNP_Log.h"
#include "SNP_Resources.h"

#include <QFile>

namespace SNP_MailDomains {

namespace {

const char* const kListName = "maildomains.txt";
constexpr qint64 kListMaxBytes = 256 * 1024;

QStringList domainsInFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        SNP_Log::debugf("cannot read the list of mail domains %s", qUtf8Printable(path));
        return {};
    }
    QStringList domains;
    const QString text = QString::fromUtf8(file.read(kListMaxBytes));
    for (QString line : text.split(u'\n')) {
        line = line.section(u'#', 0, 0).trimmed().toLower();
        if (!line.isEmpty() && !line.contains(u' '))
            domains << line;
    }
    return domains;
}

} // namespace

QStringList knownDomains()
{
    QStringList domains;
    for (const QString& path : SNP_Resources::pathsForResource(QString::fromLatin1(kListName)))
        for (const QString& domain : domainsInFile(path))
            if (!domains.contains(domain))
                domains << domain;
    return domains;
}

bool oneEditApart(const QString& a, const QString& b)
{
    const qsizetype n = a.size(), m = b.size();
    if (a == b || std::abs(n - m) > 1)
        return false;
    qsizetype i = 0;
    while (i < n && i < m && a[i] == b[i])
        ++i;
    if (n == m) {
        // replaced at i, or i and i + 1 swapped
        if (a.mid(i + 1) == b.mid(i + 1))
            return true;
        return i + 1 < n && a[i] == b[i + 1] && a[i + 1] == b[i] && a.mid(i + 2) == b.mid(i + 2);
    }
    // one letter more in the longer one, at i
    return n > m ? a.mid(i + 1) == b.mid(i) : a.mid(i) == b.mid(i + 1);
}

std::optional<QString> suggestionFor(const QString& address)
{
    const qsizetype at = address.lastIndexOf(u'@');
    if (at <= 0 || at + 1 >= address.size())
        return std::nullopt;
    const QString domain = address.mid(at + 1).toLower();
    const QStringList known = knownDomains();
    if (known.contains(domain))
        return std::nullopt;
    for (const QString& candidate : known)
        if (oneEditApart(domain, candidate))
            return address.left(at + 1) + candidate;
    return std::nullopt;
}

} // namespace SNP_MailDomains
