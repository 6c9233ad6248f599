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
// Pictures a disk fault held back are kept in mind and filed later: those left in the
// scratch folder with their visitor's addresses (the day folder could not take them) and
// filed pictures without an upload file (the upload folder could not). Each visitor's
// filing whose own upload file was written files them, up to kHeldBackPerIntake at a
// time, oldest first, and stops at the first that fails; one that fails kHeldBackAttempts
// times is left alone (and in the scratch folder) for staff.
//
// Threads: any thread (the booth files on the camera's download thread). Two filings may
// run at once; the records of held-back pictures have a lock of their own, and only one
// filing at a time takes up the held-back pictures.
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
        QString filedPath;    // the picture in its day folder
        QString uploadPath;   // the composite in the upload day folder
        bool uploaded = false;
        int heldBackFiled = 0;  // held-back pictures dealt with after this one
    };

    static constexpr int kHeldBackPerIntake = 10;
    static constexpr int kHeldBackLimit = 1000;  // filed pictures remembered without an upload
    static constexpr int kHeldBackAttempts = 3;  // a held-back picture failing this often is left alone

    // The re-encoding of a picture for its addresses, which may be started beforehand
    // (std::async) on a thread of its own: it takes most of a filing's time.
    using Reencoding = std::future<std::optional<QByteArray>>;
    static std::optional<QByteArray> reencodeForAddresses(const QByteArray& picture);

    // A visitor's picture as the camera delivered it. reencoding: the re-encoding started
    // beforehand, if any (waited for, and thrown away when nothing is filed); without one
    // the picture is re-encoded here. decodedPhoto: the picture already decoded (at any
    // size), which the composite is then drawn from; when null, the filed file is decoded.
    Result fileVisitorPicture(const QByteArray& picture, const QStringList& addresses, const Folders& folders,
                              Reencoding reencoding = Reencoding(), const QImage& decodedPhoto = QImage());
    // The post-processing of a picture in the scratch folder: into its day folder, and its
    // upload file. A picture whose upload file could not be written is held back.
    Result fileScratchPicture(const QString& path, const Folders& folders, const QImage& decodedPhoto = QImage());
    // Files what a disk fault held back (see above); answers how many were dealt with.
    int fileHeldBackPictures(const Folders& folders);
    QStringList uploadsHeldBack() const;

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

private:
    // The upload file of a filed picture; a held-back one is not recorded again.
    bool writeUploadForFiledPicture(const QString& filedPath, const Folders& folders, const QImage& decodedPhoto,
                                    Result* result);
    bool fileHeldBackUploads(const Folders& folders, int* done, int* tried);
    void fileHeldBackScratchPictures(const Folders& folders, int* done, int* tried);
    // Counts a failed attempt; true once it was the last allowed.
    bool heldBackFailed(const QString& path);
    void forgetHeldBack(const QString& path);

    // What is known of the held-back pictures.
    struct HeldBack {
        QStringList uploads;         // filed pictures whose upload file could not be written
        QSet<QString> scratchLeftAlone;  // scratch files without addresses, or given up on
        QHash<QString, int> failures;    // failed attempts per held-back picture
    };
    mutable QMutex _heldBackLock;  // guards _heldBack
    HeldBack _heldBack;
    QMutex _heldBackPassLock;  // one pass over the held-back pictures at a time (tried only)
};
