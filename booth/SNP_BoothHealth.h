// The booth's health, for staff: whether the camera is ready, whether each working folder
// (scratch, main images, upload) can be written and has room, whether pictures are held
// back for a later try, and whether the mailer is running, with its queue and last error.
// It is computed in one place (assess) from one reading of the booth's state; the part of
// the reading that touches the disks and the mailer's journal (read) runs on a thread of
// the monitor's own every few seconds, so that a slow disk or a busy journal never holds
// up the visitor's screens. No widgets: the controller shows what the monitor says.
//
// The monitor logs each change once: a part that goes wrong, changes what is wrong with
// it, or is fine again (not every reading).
//
// Threads: the monitor belongs to the main thread (its timer, its signal, state()); read()
// runs on the monitor's reading thread; assess() is a plain function for any thread.
#pragma once

#include "SNP_Filing.h"
#include "SNP_MailJournal.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class SNP_BoothHealth : public QObject {
    Q_OBJECT
public:
    static constexpr int kIntervalMs = 5000;
    // A scratch picture this old (it was not moved into its day folder) counts as held back;
    // younger ones are still on their way.
    static constexpr qint64 kScratchSettledMs = 30 * 1000;

    // What the main thread knows when a reading starts.
    struct Facts {
        bool cameraReady = false;
        QString cameraName;
        SNP_Filing::Folders folders;
        int uploadsHeldBack = 0;   // filed pictures waiting for their upload file
        qint64 lowSpaceBytes = 0;  // free space under this is running out
    };
    struct FolderReading {
        QString path;
        bool isFolder = false;    // exists as a folder (a missing one can be made when its parent is writable)
        QString blocker;          // what stands at the path or above it, other than a folder
        bool writable = false;    // can take new files
        qint64 freeBytes = -1;    // on its file system; -1 when unknown
    };
    struct Reading {
        Facts facts;
        FolderReading scratch, mainImages, upload;
        int scratchPicturesHeldBack = 0; // visitors' pictures left in the scratch folder
        SNP_MailStatus mail;
    };
    // One part of the health; fine while problem is empty. text is what the panel shows.
    struct Part {
        QString name;
        QString problem;
        QString text;
    };
    struct State {
        QList<Part> parts;
        bool wrong() const;
        const Part* part(const QString& name) const;
    };

    // Reads the folders, the scratch pictures and the mailer's status. Blocks on the disks:
    // never on the main thread. scratchSeen: what earlier readings found in the scratch folder
    // (kept by the caller between readings, so that each picture's addresses are read once).
    struct ScratchFile {
        qint64 modified = 0;
        qint64 size = 0;
        bool hasAddresses = false;
    };
    static Reading read(const Facts& facts, qint64 nowMs, QHash<QString, ScratchFile>* scratchSeen);
    static State assess(const Reading& reading, qint64 nowMs);

    // The monitor: facts() is asked on the main thread at each refresh.
    SNP_BoothHealth(std::function<Facts()> facts, QObject* parent);
    ~SNP_BoothHealth() override;
    // Tests: the clock (ms since 1970; null: the system clock) and the period of the readings.
    void setClockForTesting(std::function<qint64()> nowMs);
    void setInterval(int ms);
    // Starts a reading now, unless one is under way.
    void refresh();
    const State& state() const { return _state; }
    // Readings finished since the monitor started.
    int readings() const { return _readings; }

Q_SIGNALS:
    void changed(const SNP_BoothHealth::State& state); // after every reading

private:
    struct Worker;
    qint64 now() const;
    void readingDone(const Reading& reading);
    void logChanges(const State& before, const State& after);

    std::function<Facts()> _facts;
    std::function<qint64()> _clock;
    std::shared_ptr<Worker> _worker;
    QTimer _timer;
    State _state;
    int _readings = 0;
};
