// The pictures held back (SNP_Filing.h): the record of uploads held back in the scratch
// folder, its count for the health, the clearing up of what a cut left under temporary
// names, and the held-back pass that files the filed pictures without an upload file and
// the pictures left in the scratch folder with their addresses.
#include "SNP_Filing.h"

#include "SNP_FilingFiles.h"
#include "SNP_Log.h"
#include "SNP_XMLinEXIF.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

using SNP_FilingFiles::uploadPathFor;

namespace {

bool existsUnfollowed(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool sameBytes(const QString& a, const QString& b)
{
    QFile fa(a), fb(b);
    return fa.open(QIODevice::ReadOnly) && fb.open(QIODevice::ReadOnly) && fa.size() == fb.size() &&
           fa.readAll() == fb.readAll();
}

// A JPEG that decodes to its end.
bool isWholeJpeg(const QByteArray& bytes)
{
    return bytes.endsWith("\xff\xd9") && SNP_ImagePipeline::decodeJpegScaled(bytes, QSize(1, 1)).has_value();
}

} // namespace

int SNP_Filing::uploadsHeldBackCount() const { return _uploadsHeldBackCount.load(); }

void SNP_Filing::countUploadsHeldBack()
{
    int held = 0;
    for (const QList<PendingUpload>& folder : _heldBack.uploads)
        for (const PendingUpload& pending : folder)
            held += pending.inFlight ? 0 : 1;
    _uploadsHeldBackCount.store(held);
}

QStringList SNP_Filing::uploadsHeldBack() const
{
    QMutexLocker l(&_heldBackLock);
    QStringList held;
    for (const QList<PendingUpload>& folder : _heldBack.uploads)
        for (const PendingUpload& pending : folder)
            if (!pending.inFlight)
                held << pending.filed;
    return held;
}

int SNP_Filing::fileHeldBackPictures(const Folders& folders)
{
    // One pass at a time: two filings must not both take the same held-back picture.
    if (!_heldBackPassLock.tryLock())
        return 0;
    clearUpAfterInterruption(folders);
    int done = 0;
    int tried = 0;
    if (fileHeldBackUploads(folders, &done, &tried))
        fileHeldBackScratchPictures(folders, &done, &tried);
    _heldBackPassLock.unlock();
    return done;
}

// Filed pictures without their upload file. False when one still fails: the rest waits
// for the next visitor.
bool SNP_Filing::fileHeldBackUploads(const Folders& folders, int* done, int* tried)
{
    QList<PendingUpload> uploads;
    {
        QMutexLocker l(&_heldBackLock);
        for (const PendingUpload& pending : pendingUploads(folders.scratch))
            if (!pending.inFlight && uploads.size() < kHeldBackPerIntake)
                uploads << pending;
    }
    bool goOn = true;
    for (const PendingUpload& pending : uploads) {
        ++*tried;
        const QString& filed = pending.filed;
        const bool there = QFileInfo::exists(filed);
        // (a damaged record naming the filed picture as its own scratch copy must not remove it)
        const bool scratchThere = pending.scratch != filed && QFileInfo::exists(pending.scratch);
        const QString uploadPath = uploadPathFor(filed, folders.forUpload);
        bool written = false, givenUp = false;
        if (!there && scratchThere) {
            SNP_Log::debugf("the picture [%s] was not filed before the interruption; it is filed from the scratch folder",
                            qUtf8Printable(pending.scratch));
        } else if (!there) {
            SNP_Log::debugf("the picture [%s] held back for its upload file is gone; its upload is dropped",
                            qUtf8Printable(filed));
        } else {
            // A copy across file systems cut before its source was removed leaves the
            // picture in both places: the scratch copy goes.
            if (scratchThere && claimScratchFile(pending.scratch)) {
                if (sameBytes(pending.scratch, filed) && QFile::remove(pending.scratch))
                    SNP_Log::debugf("the scratch file [%s] was filed already as [%s]; it is removed",
                                    qUtf8Printable(pending.scratch), qUtf8Printable(filed));
                releaseScratchFile(pending.scratch);
            }
            if (existsUnfollowed(uploadPath)) {
                SNP_Log::debugf("the upload file [%s] was written before the interruption", qUtf8Printable(uploadPath));
                written = true;
            } else {
                SNP_Log::debugf("making the upload file held back for [%s]", qUtf8Printable(filed));
                written = writeUploadForFiledPicture(filed, folders, QImage(), nullptr);
            }
        }
        QMutexLocker l(&_heldBackLock);
        if (there && !written) {
            for (PendingUpload& entry : pendingUploads(folders.scratch))
                if (entry.filed == filed)
                    givenUp = ++entry.attempts >= kHeldBackAttempts;
            if (givenUp)
                SNP_Log::debugf("the upload file for [%s] failed %d times; it is no longer tried", qUtf8Printable(filed),
                                kHeldBackAttempts);
        }
        if (written || !there || givenUp) {
            dropPendingUpload(folders.scratch, filed);
        } else {
            saveRecord(folders.scratch); // the attempt counted
            goOn = false;
            break;
        }
        ++*done;
    }
    return goOn;
}

// Pictures left in the scratch folder with their visitor's addresses.
void SNP_Filing::fileHeldBackScratchPictures(const Folders& folders, int* done, int* tried)
{
    const QDir scratch(folders.scratch);
    const QStringList names = scratch.entryList({QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"),
                                                 QStringLiteral("*.JPG"), QStringLiteral("*.JPEG")},
                                                QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        if (*tried >= kHeldBackPerIntake)
            break;
        const QString held = scratch.filePath(name);
        {
            QMutexLocker l(&_heldBackLock);
            if (_heldBack.scratchLeftAlone.contains(held))
                continue;
        }
        // A picture another filing has written and not yet moved is not held back.
        if (!claimScratchFile(held))
            continue;
        const std::optional<QVariantMap> dictionary = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(held);
        const QStringList addresses =
            dictionary ? dictionary->value(QBEmailsForUpload).toStringList() : QStringList();
        if (addresses.isEmpty()) {
            // Bytes kept for staff (no picture the addresses could go into): never filed.
            releaseScratchFile(held);
            QMutexLocker l(&_heldBackLock);
            _heldBack.scratchLeftAlone.insert(held);
            continue;
        }
        ++*tried;
        SNP_Log::debugf("filing the picture held back in the scratch folder: [%s]", qUtf8Printable(held));
        const bool uploaded = fileClaimedScratchPicture(held, folders, QImage()).uploaded;
        releaseScratchFile(held);
        QMutexLocker l(&_heldBackLock);
        if (!uploaded) {
            if (QFileInfo::exists(held) && ++_heldBack.scratchFailures[held] >= kHeldBackAttempts) {
                SNP_Log::debugf("the picture [%s] could not be filed %d times; it stays in the scratch folder for "
                                "staff",
                                qUtf8Printable(held), kHeldBackAttempts);
                _heldBack.scratchLeftAlone.insert(held);
            }
            return;
        }
        _heldBack.scratchFailures.remove(held);
        ++*done;
    }
}

// What a cut left under temporary names (".name.XXXXXX", see writeFileAtomically): in the
// scratch folder and the upload folder a whole picture is put under its name (a scratch
// picture is then filed like any held back), anything else removed; in the day folders
// (a copy across file systems whose source is still in the scratch folder) it is removed.
// Files still being written are left alone.
void SNP_Filing::clearUpAfterInterruption(const Folders& folders)
{
    static const QRegularExpression temporary(QStringLiteral("^\\.(.+)\\.[A-Za-z0-9]{6}$"));
    enum class Kind { Scratch, DayFolders, Upload };
    const auto clearUp = [&](const QString& folder, Kind kind) {
        if (folder.isEmpty() || !QFileInfo(folder).isDir())
            return;
        QDirIterator it(folder, {QStringLiteral(".*")}, QDir::Files | QDir::Hidden | QDir::System,
                        kind == Kind::Scratch ? QDirIterator::NoIteratorFlags : QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QRegularExpressionMatch match = temporary.match(it.fileName());
            if (!match.hasMatch())
                continue;
            const int fd = SNP_ImagePipeline::openLeftoverTemporaryFile(QFile::encodeName(path));
            if (fd < 0)
                continue;
            struct stat st {};
            const bool linked = ::fstat(fd, &st) == 0 && st.st_nlink > 1; // linked into place already
            QByteArray bytes;
            QFile file;
            if (!linked && kind != Kind::DayFolders && file.open(fd, QIODevice::ReadOnly))
                bytes = file.readAll();
            const QString dir = QFileInfo(path).path(), name = match.captured(1);
            const bool whole = !bytes.isEmpty() && isWholeJpeg(bytes);
            const bool place = whole && (kind == Kind::Scratch || !existsUnfollowed(QDir(dir).filePath(name)));
            const char* what = linked ? "already placed"
                               : kind == Kind::DayFolders ? "copied (its picture is still in the scratch folder)"
                               : whole ? "already placed" : "incomplete";
            if (place) {
                const auto placed = SNP_ImagePipeline::moveFileNoClobber(path, dir, name);
                if (placed.ok)
                    SNP_Log::debugf("the whole picture an interruption left at [%s] is put in its place: [%s]",
                                    qUtf8Printable(path), qUtf8Printable(placed.path));
            } else if (::unlink(QFile::encodeName(path).constData()) == 0) {
                SNP_Log::debugf("removed the %s file an interruption left at [%s] (%lld bytes)", what,
                                qUtf8Printable(path), static_cast<long long>(st.st_size));
                SNP_ImagePipeline::syncFolder(QFile::encodeName(dir));
            }
            file.close();
            ::close(fd);
        }
    };
    clearUp(folders.scratch, Kind::Scratch);
    clearUp(folders.mainImages, Kind::DayFolders);
    clearUp(folders.forUpload, Kind::Upload);
}

QList<SNP_Filing::PendingUpload>& SNP_Filing::pendingUploads(const QString& scratchFolder)
{
    const auto found = _heldBack.uploads.find(scratchFolder);
    if (found != _heldBack.uploads.end())
        return *found;
    QList<PendingUpload>& pending = _heldBack.uploads[scratchFolder];
    QFile file(QDir(scratchFolder).filePath(QString::fromLatin1(kRecordName)));
    if (!file.exists())
        return pending;
    QJsonParseError error{};
    const QJsonDocument document =
        file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll(), &error) : QJsonDocument();
    if (!document.isObject()) {
        SNP_Log::debugf("the record of uploads held back [%s] cannot be read (%s): the filed pictures it named get "
                        "no upload file by themselves",
                        qUtf8Printable(file.fileName()),
                        qUtf8Printable(file.isOpen() ? error.errorString() : file.errorString()));
        return pending;
    }
    for (const QJsonValue& value : document.object().value(QStringLiteral("uploads")).toArray()) {
        const QJsonObject entry = value.toObject();
        PendingUpload upload;
        upload.filed = entry.value(QStringLiteral("filed")).toString();
        upload.scratch = entry.value(QStringLiteral("scratch")).toString();
        upload.attempts = entry.value(QStringLiteral("attempts")).toInt();
        if (!upload.filed.isEmpty() && pending.size() < kHeldBackLimit)
            pending << upload;
    }
    if (!pending.isEmpty())
        SNP_Log::debugf("%lld filed pictures wait for their upload file (from [%s])",
                        static_cast<long long>(pending.size()), qUtf8Printable(file.fileName()));
    countUploadsHeldBack();
    return pending;
}

bool SNP_Filing::saveRecord(const QString& scratchFolder)
{
    const QString path = QDir(scratchFolder).filePath(QString::fromLatin1(kRecordName));
    const QList<PendingUpload>& pending = pendingUploads(scratchFolder);
    countUploadsHeldBack();
    if (pending.isEmpty()) {
        if (::unlink(QFile::encodeName(path).constData()) == 0)
            SNP_ImagePipeline::syncFolder(QFile::encodeName(scratchFolder));
        return !existsUnfollowed(path);
    }
    QJsonArray uploads;
    for (const PendingUpload& upload : pending)
        uploads.append(QJsonObject{{QStringLiteral("filed"), upload.filed},
                                   {QStringLiteral("scratch"), upload.scratch},
                                   {QStringLiteral("attempts"), upload.attempts}});
    const auto written = SNP_ImagePipeline::writeFileAtomically(
        path, QJsonDocument(QJsonObject{{QStringLiteral("uploads"), uploads}}).toJson(), true);
    if (!written.ok)
        SNP_Log::debugf("could not write the record of uploads held back: %s", qUtf8Printable(written.message));
    return written.ok;
}

bool SNP_Filing::recordPendingUpload(const QString& scratchFolder, const QString& filed, const QString& scratch)
{
    QMutexLocker l(&_heldBackLock);
    QList<PendingUpload>& pending = pendingUploads(scratchFolder);
    if (pending.size() >= kHeldBackLimit) {
        SNP_Log::debugf("%d filed pictures wait for their upload file already", kHeldBackLimit);
        return false;
    }
    PendingUpload upload;
    upload.filed = filed;
    upload.scratch = scratch;
    upload.inFlight = true;
    pending << upload;
    if (saveRecord(scratchFolder))
        return true;
    pending.removeLast();
    return false;
}

void SNP_Filing::updatePendingUpload(const QString& scratchFolder, const QString& filed, const QString& newFiled)
{
    for (PendingUpload& pending : pendingUploads(scratchFolder))
        if (pending.filed == filed)
            pending.filed = newFiled;
    saveRecord(scratchFolder);
}

void SNP_Filing::dropPendingUpload(const QString& scratchFolder, const QString& filed)
{
    QList<PendingUpload>& pending = pendingUploads(scratchFolder);
    const qsizetype before = pending.size();
    pending.removeIf([&](const PendingUpload& upload) { return upload.filed == filed; });
    if (pending.size() != before)
        saveRecord(scratchFolder);
    else
        countUploadsHeldBack();
}
