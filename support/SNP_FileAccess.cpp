// Modes and group of the booth's pictures (SNP_FileAccess.h).
#include "SNP_FileAccess.h"

#include "SNP_Log.h"
#include "SNP_Preferences.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr gid_t kNoGroup = gid_t(-1);
std::atomic<gid_t> gGroup{kNoGroup};

// Whether this process may give its files the group: root may give any, others only their
// own groups.
bool canGiveGroup(gid_t gid)
{
    if (::geteuid() == 0 || ::getegid() == gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}
} // namespace

namespace SNP_FileAccess {

void configure()
{
    const QString name = SNP_Preferences::value(QString::fromLatin1(PrefKeyUploaderGroup)).toString().trimmed();
    if (setUploaderGroup(name) && !name.isEmpty())
        SNP_Log::debugf("pictures and upload files are readable by their owner and the group %s (files 0640, "
                        "folders 0750)",
                        qUtf8Printable(name));
}

bool setUploaderGroup(const QString& name)
{
    if (name.isEmpty()) {
        gGroup.store(kNoGroup);
        return true;
    }
    const QByteArray native = name.toUtf8();
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(16384);
    const int error = getgrnam_r(native.constData(), &entry, buffer.data(), buffer.size(), &found);
    if (error != 0 || !found) {
        SNP_Log::debugf("uploaderGroup \"%s\" is no group on this system: pictures and upload files are readable by "
                        "their owner only",
                        qUtf8Printable(name));
        gGroup.store(kNoGroup);
        return false;
    }
    if (!canGiveGroup(found->gr_gid)) {
        SNP_Log::debugf("uploaderGroup \"%s\": the booth's user is not in that group and cannot give files to it: "
                        "pictures and upload files are readable by their owner only (add the user to the group)",
                        qUtf8Printable(name));
        gGroup.store(kNoGroup);
        return false;
    }
    gGroup.store(found->gr_gid);
    return true;
}

gid_t group() { return gGroup.load(); }
mode_t fileMode() { return group() == kNoGroup ? 0600 : 0640; }
mode_t folderMode() { return group() == kNoGroup ? 0700 : 0750; }

bool applyToFile(int fd)
{
    const gid_t gid = group();
    if (gid != kNoGroup && ::fchown(fd, uid_t(-1), gid) != 0)
        return false;
    return ::fchmod(fd, fileMode()) == 0;
}

bool applyToFolder(const QByteArray& path)
{
    const gid_t gid = group();
    if (gid != kNoGroup && ::chown(path.constData(), uid_t(-1), gid) != 0)
        return false;
    return ::chmod(path.constData(), folderMode()) == 0;
}

} // namespace SNP_FileAccess
