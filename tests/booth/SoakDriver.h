// Many visitors in a row through the real windows over the simulated camera, as a long day
// at the booth: every pass is one SNP_Rehearsal::rehearse() with the visitor's own
// addresses; afterwards every picture and upload file is read back and must carry exactly
// its own visitor's addresses. Also samples the process (resident memory, threads, open
// descriptors) so that growth over the passes shows.
//
// Used by the soak harness (bench/soak.cpp, booth_soak) and by its short CTest version
// (test_soak). Needs a QApplication; everything runs on the main thread.
#pragma once

#include "AppController.h"
#include "BoothTeardown.h"
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Rehearsal.h"
#include "SNP_XMLinEXIF.h"
#include "SimCameraSdk.h"
#include "../TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThread>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace soak {

// The process as /proc/self tells it.
struct ProcessFigures {
    long residentKiB = -1; // VmRSS
    int threads = -1;      // Threads
    int openFiles = -1;    // entries of /proc/self/fd
};

inline ProcessFigures sampleProcess()
{
    ProcessFigures figures;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            figures.residentKiB = std::stol(line.substr(6));
        else if (line.rfind("Threads:", 0) == 0)
            figures.threads = std::stoi(line.substr(8));
    }
    // The listing's own descriptor is in the listing; it is not counted.
    const QStringList fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    figures.openFiles = int(fds.size()) - 1;
    return figures;
}

// Visitor n's addresses (n from 1): one address, a second on every other pass, and on every
// fourth pass (of the two-address ones) four, so that all keyboard fields are used.
inline QStringList addressesOfVisitor(int n)
{
    QStringList addresses{QStringLiteral("v%1a@example.org").arg(n)};
    if (n % 2 == 0)
        addresses << QStringLiteral("v%1b@example.org").arg(n);
    if (n % 4 == 0)
        addresses << QStringLiteral("v%1c@example.org").arg(n) << QStringLiteral("v%1d@example.org").arg(n);
    return addresses;
}

struct Pass {
    int visitor = 0;
    QStringList addresses;
    SNP_Rehearsal::Outcome outcome;
};

// What the read-back found.
struct Tally {
    int passes = 0;
    int filed = 0;          // passes whose picture is in its day folder with its own addresses
    int uploadFiles = 0;    // passes whose upload file is there
    int lost = 0;           // passes without their picture or upload file, or with an unreadable one
    int mixed = 0;          // files that carry someone else's addresses, or that two passes share
    int strayFiles = 0;     // files below the three folders that no pass accounts for (temporary names included)
    QStringList problems;   // one line per lost, mixed or stray file (the first few hundred)
};

struct Settings {
    QString root;                 // an existing empty folder; everything goes below it
    int tickMs = 20;              // the screens' second
    int pictureWidth = 640;
    int pictureHeight = 480;
    int passTimeoutMs = 60000;    // bound on one pass
};

class Driver {
public:
    explicit Driver(const Settings& settings) : _settings(settings)
    {
        const QDir root(settings.root);
        _scratch = root.filePath(QStringLiteral("scratch"));
        _main = root.filePath(QStringLiteral("main"));
        _upload = root.filePath(QStringLiteral("upload"));
        _logPath = root.filePath(QStringLiteral("booth.log"));
    }
    ~Driver() { stop(); }

    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // The booth woken and launched, with the simulated camera as the current SDK. False
    // (with the reason) when no camera became current.
    bool start(QString* reason = nullptr)
    {
        SNP_Log::resetForTesting();
        qputenv("BOOTH_LOG_FILE", QFile::encodeName(_logPath));
        SNP_Preferences::setStoreFileForTesting(QDir(_settings.root).filePath(QStringLiteral("booth.ini")));
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth"), QStringLiteral("-touchScreenCountValue"),
                                                  QStringLiteral("1"), QStringLiteral("-scratchFolder"), _scratch,
                                                  QStringLiteral("-mainImagesFolder"), _main,
                                                  QStringLiteral("-forUploadFolder"), _upload});
        _sim = std::make_shared<SimCameraSdk>();
        _sim->setPictureSize(_settings.pictureWidth, _settings.pictureHeight);
        EdsSetCurrentSdk(_sim);
        _controller = std::make_unique<AppController>();
        _controller->_screenTimerInterval = _settings.tickMs;
        _controller->awakeFromNib();
        _controller->show();
        _controller->applicationDidFinishLaunching();
        _started = true;
        if (!waitUntil([&] { return _controller->_currentCamera != nullptr; }, 15000)) {
            if (reason)
                *reason = QStringLiteral("no camera became current");
            return false;
        }
        _camera = _controller->_currentCamera;
        return true;
    }

    // One visitor's pass; answers whether it ended with an upload file.
    bool runPass()
    {
        Pass pass;
        pass.visitor = int(_passes.size()) + 1;
        pass.addresses = addressesOfVisitor(pass.visitor);
        pass.outcome = SNP_Rehearsal::rehearse(*_controller, pass.addresses, _settings.passTimeoutMs);
        _passes.push_back(pass);
        return pass.outcome.ok;
    }

    // Lets the camera's threads and queued callbacks come to rest, so that a sample is not
    // taken in the middle of the live-view loop's end or of a callback.
    bool settle()
    {
        bool ok = true;
        if (_sim)
            ok = _sim->waitForIdle() && ok;
        if (_camera)
            ok = _camera->waitForLiveViewLoopEnd(5000) && ok;
        QCoreApplication::processEvents();
        return ok;
    }

    // Reads every pass's files back and looks for files no pass accounts for.
    Tally check() const
    {
        Tally tally;
        tally.passes = int(_passes.size());
        auto problem = [&](const QString& line) {
            if (tally.problems.size() < 300)
                tally.problems << line;
        };
        QSet<QString> claimed;
        for (const Pass& pass : _passes) {
            const QString who = QStringLiteral("visitor %1").arg(pass.visitor);
            const SNP_Rehearsal::Outcome& o = pass.outcome;
            bool lost = false;
            for (const QString& path : {o.filedPath, o.uploadPath}) {
                if (path.isEmpty() || !QFileInfo::exists(path)) {
                    lost = true;
                    problem(QStringLiteral("%1: missing %2 (%3)").arg(who, path.isEmpty() ? QStringLiteral("file") : path,
                                                                     o.reason));
                    continue;
                }
                if (claimed.contains(path)) {
                    ++tally.mixed;
                    problem(QStringLiteral("%1: %2 was given to an earlier visitor too").arg(who, path));
                    continue;
                }
                claimed.insert(path);
                const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(path);
                if (!plist) {
                    lost = true;
                    problem(QStringLiteral("%1: no addresses can be read from %2").arg(who, path));
                    continue;
                }
                const QStringList found = plist->value(QBEmailsForUpload).toStringList();
                if (found != pass.addresses) {
                    ++tally.mixed;
                    problem(QStringLiteral("%1: %2 carries (%3) instead of (%4)")
                                .arg(who, path, found.join(u','), pass.addresses.join(u',')));
                    continue;
                }
                if (path == o.filedPath)
                    ++tally.filed;
                else
                    ++tally.uploadFiles;
            }
            if (lost)
                ++tally.lost;
        }
        for (const QString& folder : {_scratch, _main, _upload}) {
            QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                if (!claimed.contains(path)) {
                    ++tally.strayFiles;
                    problem(QStringLiteral("a file no visitor accounts for: %1").arg(path));
                }
            }
        }
        return tally;
    }

    // The booth taken down as at the end of the day: the controller, the registry, the
    // camera's live-view loop and the SDK. False when something did not come to rest.
    bool stop()
    {
        if (!_started)
            return true;
        _started = false;
        std::vector<SNP_CanonCameraPtr> held;
        held.push_back(std::move(_camera));
        const bool ok = takeDownBooth(_controller, _sim, std::move(held));
        SNP_Log::resetForTesting();
        return ok;
    }

    const std::vector<Pass>& passes() const { return _passes; }
    AppController* controller() const { return _controller.get(); }
    SimCameraSdk* sim() const { return _sim.get(); }
    QString logPath() const { return _logPath; }

private:
    Settings _settings;
    QString _scratch, _main, _upload, _logPath;
    std::shared_ptr<SimCameraSdk> _sim;
    std::unique_ptr<AppController> _controller;
    SNP_CanonCameraPtr _camera;
    std::vector<Pass> _passes;
    bool _started = false;
};

} // namespace soak
