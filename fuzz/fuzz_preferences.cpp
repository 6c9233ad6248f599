// The -KEY VALUE arguments and the stored user defaults.
//
// Input: the command line, one argument a line (the program name is added in front),
// then optionally a NUL byte and the text of the user-defaults file (INI, as QSettings
// keeps it). Start-up and the screens then read it the way the booth does: the reported
// argument problems, the three folders (resolved, and written back as the store's value),
// the countdown length and the camera choice. Whatever the input, the folders are
// absolute paths of bounded length, the countdown is 1 to 3600 seconds, and a folder
// written back reads back unchanged.
#include "FuzzSupport.h"

#include "AppController.h"
#include "SNP_Preferences.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

namespace {

QTemporaryDir& folder()
{
    static QTemporaryDir dir;
    return dir;
}

void checkFolder(const QString& path)
{
    FUZZ_CHECK(!path.isEmpty());
    FUZZ_CHECK(QDir::isAbsolutePath(path));
    FUZZ_CHECK(path.size() <= SNP_Preferences::MaxValueLength);
    FUZZ_CHECK(!path.contains(QChar(0)));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzSupport::startApplication();
    FUZZ_CHECK(folder().isValid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = FuzzSupport::bytes(data, size);
    const qsizetype split = input.indexOf('\0');
    const QByteArray commandLine = split < 0 ? input : input.left(split);

    // A fresh store file for every input: QSettings keeps what it read of a file.
    static unsigned long long round = 0;
    const QString storePath = folder().filePath(QStringLiteral("booth-%1.conf").arg(++round));
    if (split >= 0) {
        QFile file(storePath);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly));
        file.write(input.mid(split + 1));
        file.close();
    }
    SNP_Preferences::setStoreFileForTesting(storePath);

    QStringList arguments{QStringLiteral("booth")};
    if (!commandLine.isEmpty())
        arguments += QString::fromUtf8(commandLine).split(u'\n');
    SNP_Preferences::setArguments(arguments);
    SNP_Preferences::reportArgumentProblems();
    // Every key named on the command line has its value.
    for (auto it = SNP_Preferences::argumentOverrides().cbegin(); it != SNP_Preferences::argumentOverrides().cend(); ++it)
        FUZZ_CHECK(SNP_Preferences::hasOverride(it.key()));

    const struct {
        const char* key;
        const char* fallback;
    } folders[] = {
        {PrefKeyCameraScratchFolder, SNP_Preferences::DefaultScratchFolder},
        {PrefKeyMainImagesFolder, SNP_Preferences::DefaultMainImagesFolder},
        {PrefKeyForUploadFolder, SNP_Preferences::DefaultForUploadFolder},
    };
    for (const auto& f : folders) {
        const QString key = QString::fromLatin1(f.key);
        const QString fallback = QString::fromLatin1(f.fallback);
        const QString inUse = SNP_Preferences::folder(key, fallback);
        checkFolder(inUse);
        const QString stored = SNP_Preferences::storedFolder(key, fallback);
        checkFolder(stored);
        if (!SNP_Preferences::hasOverride(key))
            FUZZ_CHECK(inUse == stored);
        SNP_Preferences::setFolder(key, stored);
        FUZZ_CHECK(SNP_Preferences::storedFolder(key, fallback) == stored);
    }

    const uint32_t count = SNP_Preferences::touchScreenCountValue();
    FUZZ_CHECK(count >= 1 && count <= SNP_Preferences::MaxTouchScreenCount);
    const QString backend = SNP_Preferences::cameraBackend();
    FUZZ_CHECK(backend.size() <= 64);

    QFile::remove(storePath);
    QFile::remove(storePath + QStringLiteral(".lock"));
    SNP_Preferences::setStoreFileForTesting(QString());
    return 0;
}
