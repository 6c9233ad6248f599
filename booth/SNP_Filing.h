// Filing of a visitor's picture, without any window: the visitor's addresses go into the
// picture's EXIF user comment, the result is written into the scratch folder, moved into
// the folder of its day below the main images folder, and its composite with the event
// frame is written into the matching day folder below the upload folder.
//
// Files are never overwritten: the scratch file, the filed picture and the upload file each
// take a free name ("name-1.jpg" ...) when theirs is taken, and every file is written to a
// temporary name and renamed into place, so a full disk or a missing folder leaves no
// partial file.
//
// A filing survives a power cut (or a kill) at any instant. Before a picture leaves the
// scratch folder, the record of uploads held back (kRecordName in the scratch folder,
// written the same safe way) names it; the entry goes once its upload file is in place. So
// at every moment a picture is either in the scratch folder with its addresses, or filed
// and named in the record, or filed with its upload file.
//
// Pictures held back (by a disk fault or a cut) are filed later: those in the scratch
// folder with their visitor's addresses, and the filed pictures the record names. Each
// held-back pass (at start, and after each visitor's filing whose own upload file was
// written) first clears up what a cut left under temporary names: a whole picture is put
// under its name (and then filed), anything else is removed, each logged; files still
// being written are left alone. It then files up to kHeldBackPerIntake held-back pictures,
// oldest first, and stops at the first that fails; one that fails kHeldBackAttempts times
// is left alone (and in the scratch folder) for staff.
//
// Threads: any thread (the booth files on the camera's download thread, and passes at
// start on a thread of its own). Two filings may run at once: a scratch file is claimed
// by its filing from before it is written until its filing ends, so that a held-back pass
// never takes it; the held-back records have a lock of their own, and only one pass at a
// time takes up the held-back pictures.
#pragma once

#include "SNP_ImagePipeline.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <future>
#include <optional>

class SNP_Filing {
public:
    // The three working folders (absolute paths), as they are when a filing starts.
    struct Folders {
        QString scratch;
        QString mainImages;
        QString forUpload;
    };
    // What a filing did: the paths it wrote (empty where it stopped).
    struct Result {
        QString scratchPath;  // the scratch file (or the camera's bytes kept for staff)
        bool scratchHasAddresses = false;  // the scratch file is the picture with its addresses
        QString filedPath;    // the picture in its day folder
        QString uploadPath;   // the composite in the upload day folder
        bool uploaded = false;
        int heldBackFiled = 0;  // held-back pictures dealt with after this one
    };

    static constexpr int kHeldBackPerIntake = 10;
    static constexpr int kHeldBackLimit = 1000;  // filed pictures remembered without an upload
    static constexpr int kHeldBackAttempts = 3;  // a held-back picture failing this often is left alone
    static constexpr const char* kRecordName = "uploads-held-back.json";  // in the scratch folder

    // The re-encoding of a picture for its addresses, which may be started beforehand
    // (std::async) on a thread of its own: it takes most of a filing's time.
    using Reencoding = std::future<std::optional<QByteArray>>;
    static std::optional<QByteArray> reencodeForAddresses(const QByteArray& picture);

    // A visitor's picture as the camera delivered it. reencoding: the re-encoding started
    // beforehand, if any (waited for, and thrown away when nothing is filed); without one
    // the picture is re-encoded here. decodedPhoto: the picture already decoded (at any
    // size), which the composite is then drawn from; when null, the filed file is decoded.
    // ownFiled: told what became of this picture as soon as that is known, before the
    // held-back pictures this filing then takes up (so the visitor need not wait for them).
    using OwnFiled = std::function<void(const Result&)>;
    Result fileVisitorPicture(const QByteArray& picture, const QStringList& addresses, const Folders& folders,
                              Reencoding reencoding = Reencoding(), const QImage& decodedPhoto = QImage(),
                              const OwnFiled& ownFiled = OwnFiled());
    // The post-processing of a picture in the scratch folder: into its day folder, and its
    // upload file. A picture whose upload file could not be written is held back.
    Result fileScratchPicture(const QString& path, const Folders& folders, const QImage& decodedPhoto = QImage());
    // Clears up what a cut left and files what was held back (see above); answers how
    // many held-back pictures were dealt with.
    int fileHeldBackPictures(const Folders& folders);
    // Filed pictures whose upload file is still to be made (not those being filed now).
    QStringList uploadsHeldBack() const;
    // Their number, without waiting for a filing that is writing the record (for the
    // main thread's health read).
    int uploadsHeldBackCount() const;

    // A camera file that is no picture for the visitor (the raw file of a RAW + JPEG shot),
    // kept in the scratch folder for staff under the time and the camera's extension, with
    // no addresses: the held-back filing takes JPEG files only. The path written, or empty.
    static QString keepCameraFileForStaff(const QByteArray& bytes, const QString& cameraFileName,
                                          const QString& scratchFolder);
    // The operator's copy of a picture under "/tmp", named by the time and the camera's
    // extension; the path written, or empty.
    static QString saveCopyForOperator(const QByteArray& picture, const QString& cameraFileName);

    // The clock for file and day names (null: the system clock); process-wide.
    static void setClockForTesting(std::function<QDateTime()> clock);
    static QDateTime now();
    // Called at each named step of a filing ("scratch file written", "recorded", "filed",
    // "upload file written") with the picture's path there, on the filing's thread (null:
    // nothing): to stop a filing at that step in tests. Process-wide.
    static void setStepHookForTesting(std::function<void(const char* step, const QString& path)> hook);

private:
    // A filed picture (or one about to be) whose upload file is not in place yet.
    struct PendingUpload {
        QString filed;
        QString scratch;  // where it came from
        int attempts = 0;
        bool inFlight = false;  // its own filing is still at work on it (never written)
    };

    Result fileClaimedScratchPicture(const QString& path, const Folders& folders, const QImage& decodedPhoto);
    // The upload file of a filed picture; a held-back one is not recorded again.
    bool writeUploadForFiledPicture(const QString& filedPath, const Folders& folders, const QImage& decodedPhoto,
                                    Result* result);
    bool fileHeldBackUploads(const Folders& folders, int* done, int* tried);
    void fileHeldBackScratchPictures(const Folders& folders, int* done, int* tried);
    void clearUpAfterInterruption(const Folders& folders);

    // Scratch files claimed by a filing or a pass.
    SNP_ImagePipeline::FileResult writeClaimedScratchFile(const QString& folder, const QString& name,
                                                          const QByteArray& bytes);
    bool claimScratchFile(const QString& path);
    void releaseScratchFile(const QString& path);

    // The record of uploads held back, per scratch folder (loaded at first use). With
    // _heldBackLock held.
    QList<PendingUpload>& pendingUploads(const QString& scratchFolder);
    bool saveRecord(const QString& scratchFolder);
    bool recordPendingUpload(const QString& scratchFolder, const QString& filed, const QString& scratch);
    void updatePendingUpload(const QString& scratchFolder, const QString& filed, const QString& newFiled);
    void dropPendingUpload(const QString& scratchFolder, const QString& filed);

    // What is known of the held-back pictures.
    struct HeldBack {
        QHash<QString, QList<PendingUpload>> uploads;  // per scratch folder, as its record holds them
        QSet<QString> scratchLeftAlone;  // scratch files without addresses, or given up on
        QHash<QString, int> scratchFailures;  // failed attempts per held-back scratch picture
    };
    // With _heldBackLock held: the held-back uploads counted into _uploadsHeldBackCount.
    void countUploadsHeldBack();
    mutable QMutex _heldBackLock;  // guards _heldBack and the record files
    HeldBack _heldBack;
    std::atomic<int> _uploadsHeldBackCount{0};  // of _heldBack, for readers that may not wait
    QMutex _scratchClaimsLock;  // guards _scratchClaims
    QSet<QString> _scratchClaims;
    QMutex _heldBackPassLock;  // one pass over the held-back pictures at a time (tried only)
};
