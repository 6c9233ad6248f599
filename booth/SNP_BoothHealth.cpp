#include "SNP_BoothHealth.h"

#include "SNP_Log.h"
#include "SNP_MailSettings.h"
#include "SNP_XMLinEXIF.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMetaObject>

#include <optional>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const QString kCamera = QStringLiteral("Camera");
const QString kHeldBack = QStringLiteral("Pictures held back");
const QString kMail = QStringLiteral("Mail");

// The folder as filing finds it: one that is missing is made when its nearest existing
// parent lets it, so that parent says whether files can be written and how much room there is.
SNP_BoothHealth::FolderReading readFolder(const QString& path)
{
    SNP_BoothHealth::FolderReading folder;
    folder.path = path;
    if (path.isEmpty())
        return folder;
    const QFileInfo info(path);
    folder.isFolder = info.isDir();
    QString existing = path;
    if (!folder.isFolder) {
        // Filing makes the missing folders below the nearest one that is there: a file there
        // (or at the path itself) leaves it none to make.
        while (!QFileInfo(existing).exists() && !QFileInfo(existing).isSymLink() && existing != QDir::rootPath())
            existing = QFileInfo(existing).absolutePath();
        if (!QFileInfo(existing).isDir()) {
            folder.blocker = existing;
            return folder;
        }
    }
    const QByteArray native = QFile::encodeName(existing);
    folder.writable = ::access(native.constData(), W_OK | X_OK) == 0;
    struct statvfs fs {};
    if (::statvfs(native.constData(), &fs) == 0)
        folder.freeBytes = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    return folder;
}

// Visitors' pictures the day folder could not take: JPEG files with addresses that have lain
// in the scratch folder for a while (a picture on its way is moved within seconds).
int scratchPicturesHeldBack(const QString& scratch, qint64 nowMs, QHash<QString, SNP_BoothHealth::ScratchFile>* seen)
{
    QHash<QString, SNP_BoothHealth::ScratchFile> found;
    int held = 0;
    const QFileInfoList files = QDir(scratch).entryInfoList(
        {QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"), QStringLiteral("*.JPG"), QStringLiteral("*.JPEG")},
        QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo& info : files) {
        const qint64 modified = info.lastModified().toMSecsSinceEpoch();
        if (nowMs - modified < SNP_BoothHealth::kScratchSettledMs)
            continue;
        SNP_BoothHealth::ScratchFile file = seen->value(info.filePath());
        if (file.modified != modified || file.size != info.size()) {
            const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(info.filePath());
            file = {modified, info.size(), plist && !plist->value(QBEmailsForUpload).toStringList().isEmpty()};
        }
        found.insert(info.filePath(), file);
        held += file.hasAddresses ? 1 : 0;
    }
    *seen = found;
    return held;
}

QString sizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

SNP_BoothHealth::Part folderPart(const QString& name, const SNP_BoothHealth::FolderReading& folder, qint64 lowSpace)
{
    SNP_BoothHealth::Part part{name, QString(), QString()};
    if (folder.blocker == folder.path && !folder.path.isEmpty())
        part.problem = QStringLiteral("is not a folder");
    else if (!folder.blocker.isEmpty())
        part.problem = QStringLiteral("cannot be made: %1 is not a folder").arg(folder.blocker);
    else if (!folder.writable)
        part.problem = QStringLiteral("cannot be written");
    else if (folder.freeBytes >= 0 && folder.freeBytes < lowSpace)
        part.problem = QStringLiteral("is running out of space");
    const QString free = folder.freeBytes >= 0 ? QStringLiteral("%1 free").arg(sizeText(folder.freeBytes)) : QString();
    part.text = QStringLiteral("%1 %2: %3").arg(name, folder.path, part.problem.isEmpty() ? free : part.problem);
    if (!part.problem.isEmpty() && !free.isEmpty())
        part.text += QStringLiteral(" (%1)").arg(free);
    return part;
}

} // namespace

bool SNP_BoothHealth::State::wrong() const
{
    for (const Part& p : parts)
        if (!p.problem.isEmpty())
            return true;
    return false;
}

const SNP_BoothHealth::Part* SNP_BoothHealth::State::part(const QString& name) const
{
    for (const Part& p : parts)
        if (p.name == name)
            return &p;
    return nullptr;
}

SNP_BoothHealth::Reading SNP_BoothHealth::read(const Facts& facts, qint64 nowMs, QHash<QString, ScratchFile>* seen)
{
    Reading reading;
    reading.facts = facts;
    reading.scratch = readFolder(facts.folders.scratch);
    reading.mainImages = readFolder(facts.folders.mainImages);
    reading.upload = readFolder(facts.folders.forUpload);
    if (reading.scratch.isFolder)
        reading.scratchPicturesHeldBack = scratchPicturesHeldBack(facts.folders.scratch, nowMs, seen);
    if (!facts.folders.forUpload.isEmpty())
        reading.mail = SNP_MailJournal::readStatus(SNP_MailSettings::foldersForUpload(facts.folders.forUpload));
    return reading;
}

SNP_BoothHealth::State SNP_BoothHealth::assess(const Reading& r, qint64 nowMs)
{
    State state;
    Part camera{kCamera, r.facts.cameraReady ? QString() : QStringLiteral("not ready"), QString()};
    camera.text = r.facts.cameraReady ? QStringLiteral("Camera: ready (%1)").arg(r.facts.cameraName)
                                      : QStringLiteral("Camera: not ready");
    state.parts << camera;

    const qint64 low = r.facts.lowSpaceBytes;
    state.parts << folderPart(QStringLiteral("Scratch folder"), r.scratch, low)
                << folderPart(QStringLiteral("Main images folder"), r.mainImages, low)
                << folderPart(QStringLiteral("Upload folder"), r.upload, low);

    const int held = r.facts.uploadsHeldBack + r.scratchPicturesHeldBack;
    Part heldBack{kHeldBack, QString(), QString()};
    if (held > 0) {
        heldBack.problem = QStringLiteral("%1 picture(s) waiting to be filed or uploaded").arg(held);
        heldBack.text = QStringLiteral("Pictures held back: %1, filed and uploaded once the folders take them again")
                            .arg(held);
    } else {
        heldBack.text = QStringLiteral("Pictures held back: none");
    }
    state.parts << heldBack;

    // Upload files the mailer has not taken yet wait as much as its queued messages do. A
    // mailer that is not running matters once there is something for it to send or it has
    // run here before.
    const SNP_MailStatus& mail = r.mail;
    const bool alive = mail.mailerAlive(nowMs);
    Part mailPart{kMail, QString(), QString()};
    if (!alive && (mail.journalFound || mail.untaken > 0))
        mailPart.problem = QStringLiteral("the mailer does not seem to be running");
    mailPart.text = mail.journalFound || mail.untaken > 0
                        ? QStringLiteral("Mail: %1 waiting, %2 sent, %3 failed")
                              .arg(mail.summary.waiting + mail.untaken)
                              .arg(mail.summary.sent)
                              .arg(mail.summary.failed)
                        : QStringLiteral("Mail: no delivery journal");
    if (!alive)
        mailPart.text += QStringLiteral("; the mailer does not seem to be running");
    if (!mail.lastError.isEmpty())
        mailPart.text += QStringLiteral("; last error: %1").arg(mail.lastError.simplified().left(160));
    state.parts << mailPart;
    return state;
}

// ---- the monitor ----

// The reading thread and what it shares with the monitor. The thread waits for a request,
// reads, and hands the reading to the monitor's thread, unless the monitor has gone.
struct SNP_BoothHealth::Worker {
    std::mutex mutex; // guards everything below but scratchSeen (the reading thread's own)
    std::condition_variable wake;
    std::condition_variable finished;
    bool stop = false;
    bool ended = false;
    bool busy = false;
    std::optional<std::pair<Facts, qint64>> request;
    QHash<QString, ScratchFile> scratchSeen;
    std::thread thread;

    void run(SNP_BoothHealth* monitor)
    {
        for (;;) {
            std::pair<Facts, qint64> job;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [&] { return stop || request.has_value(); });
                if (stop)
                    break;
                job = std::move(*request);
                request.reset();
            }
            const Reading reading = read(job.first, job.second, &scratchSeen);
            std::lock_guard<std::mutex> lock(mutex);
            if (stop)
                break;
            QMetaObject::invokeMethod(monitor, [monitor, reading] { monitor->readingDone(reading); },
                                      Qt::QueuedConnection);
        }
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
        finished.notify_all();
    }
};

SNP_BoothHealth::SNP_BoothHealth(std::function<Facts()> facts, QObject* parent)
    : QObject(parent), _facts(std::move(facts)), _worker(std::make_shared<Worker>())
{
    const std::shared_ptr<Worker> worker = _worker;
    worker->thread = std::thread([worker, this] { worker->run(this); });
    connect(&_timer, &QTimer::timeout, this, &SNP_BoothHealth::refresh);
    _timer.start(kIntervalMs);
}

SNP_BoothHealth::~SNP_BoothHealth()
{
    std::unique_lock<std::mutex> lock(_worker->mutex);
    _worker->stop = true;
    _worker->wake.notify_all();
    // A reading stuck on a dead disk must not hold up the booth's end: the thread is let go
    // and ends by itself (it shares nothing with the monitor but the worker's state).
    const bool ended = _worker->finished.wait_for(lock, std::chrono::seconds(2), [&] { return _worker->ended; });
    lock.unlock();
    if (ended)
        _worker->thread.join();
    else
        _worker->thread.detach();
}

void SNP_BoothHealth::setClockForTesting(std::function<qint64()> nowMs) { _clock = std::move(nowMs); }

void SNP_BoothHealth::setInterval(int ms) { _timer.start(ms > 0 ? ms : kIntervalMs); }

qint64 SNP_BoothHealth::now() const { return _clock ? _clock() : QDateTime::currentMSecsSinceEpoch(); }

void SNP_BoothHealth::refresh()
{
    std::lock_guard<std::mutex> lock(_worker->mutex);
    if (_worker->busy)
        return; // the reading under way answers for this one too
    _worker->busy = true;
    _worker->request = std::make_pair(_facts ? _facts() : Facts(), now());
    _worker->wake.notify_all();
}

void SNP_BoothHealth::readingDone(const Reading& reading)
{
    {
        std::lock_guard<std::mutex> lock(_worker->mutex);
        _worker->busy = false;
    }
    const State state = assess(reading, now());
    logChanges(_state, state);
    _state = state;
    ++_readings;
    emit changed(_state);
}

void SNP_BoothHealth::logChanges(const State& before, const State& after)
{
    for (const Part& part : after.parts) {
        const Part* was = before.part(part.name);
        const QString previous = was ? was->problem : QString();
        if (part.problem == previous)
            continue;
        if (part.problem.isEmpty())
            SNP_Log::debugf("booth health: %s is fine again (%s)", qUtf8Printable(part.name), qUtf8Printable(part.text));
        else
            SNP_Log::debugf("booth health: %s", qUtf8Printable(part.text));
    }
}
