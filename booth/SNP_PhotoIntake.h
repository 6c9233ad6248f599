// Photo intake: what becomes of a picture the camera delivers, from the camera's download
// thread to its filing. It owns the three steps in between and the queue of steps waiting
// for the main thread (with its lock and its closing), the intake's counters (pictures whose
// intake ended, those taken for the visitor, those still being filed), the last filing's
// result, the dictionary of the last picture offered (the operator's "save image"), the
// held-back pass at start, and the filing (SNP_Filing) the booth's pictures go through.
//
// Threads, one step each:
// - decodeArrivedPhoto: the camera's download thread decodes the picture for the screen
//   and, on the capture screen, starts its re-encoding for the addresses;
// - showPhotoAndTakeItForTheVisitor: the main thread, in the one step the download thread
//   waits for (decideOnMainThread queues it and waits; close answers "closing" instead);
// - fileAcceptedPhoto: the download thread files the picture taken for the visitor.
// The held-back pass at start runs on a thread of its own, joined at the controller's end.
// The counters, the last result and the dictionary may be read from any thread.
//
// The controller (not owned; it owns the intake) shows the picture and advances the
// screens: the intake calls back into it on the main thread only (from the download
// thread it queues the calls), and reads its screen number on the download thread. The
// controller closes the intake and joins the held-back pass at its end, before the intake
// goes.
#pragma once

#include "AppController.h"
#include "SNP_Filing.h"
#include "SNP_ImagePipeline.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QMutex>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>

class SNP_PhotoIntake {
public:
    explicit SNP_PhotoIntake(AppController& controller);
    // Closes the intake and joins the held-back pass, when the controller has not already.
    ~SNP_PhotoIntake();
    SNP_PhotoIntake(const SNP_PhotoIntake&) = delete;
    SNP_PhotoIntake& operator=(const SNP_PhotoIntake&) = delete;

    // A file the camera delivered (the camera's notification, on its download thread; on
    // the main thread in tests): the raw file of a RAW + JPEG shot is kept for staff; a
    // picture is shown and, on the capture screen, taken for the visitor and filed.
    void takeArrivedPhoto(const QVariantMap& userInfo);
    // At the controller's end (main thread): no intake waits for the main thread any more.
    void close();
    // The held-back pass at start: what a power cut left is filed (a thread of its own).
    void startHeldBackPass();
    // At the controller's end: waits for the held-back pass to end.
    void joinHeldBackPass();

    void setImageDict(const QVariantMap& dictionary);
    QVariantMap imageDict() const;
    SNP_Filing::Result lastFilingResult() const;
    uint64_t photoIntakeCount() const { return _photoIntakeCount.load(); }
    uint64_t photoAcceptedCount() const { return _photoAcceptedCount.load(); }
    int filingsInProgress() const { return _filingsInProgress.load(); }
    // Files the picture at path in the scratch folder (decodedPhoto as for
    // doPostProcessImageForPath); answers whether its upload file was written.
    bool fileScratchPicture(const QString& path, const QImage& decodedPhoto);
    // Filed pictures whose upload file waits, without waiting for a filing (the health).
    int uploadsHeldBackCount() const { return _filing.uploadsHeldBackCount(); }

    // How the result screen thanks the visitor for the picture the result is of.
    static AppController::FilingVerdict filingVerdictFor(const SNP_Filing::Result& result);
    // The operator's copy of the picture the dictionary carries, opened for them.
    static bool processPhotoData(const QVariantMap& dictionary);
    static void setOpenFileHandlerForTesting(std::function<bool(const QString&)> handler);

private:
    // A picture as the camera's download thread has it, before the main thread sees it.
    struct ArrivedPhoto {
        QByteArray data;
        std::optional<SNP_ImagePipeline::JpegHeader> header; // none: no JPEG
        QImage shown;                                        // decoded for the camera picture
        QVariant requestTime;                                // when the camera asked to hand it over
        SNP_Filing::Reencoding reencoding;                   // started when it came on the capture screen
    };
    // What the main thread decided about a picture in its one step.
    struct PhotoAcceptance {
        bool closing = false;               // the controller was going: nothing was decided
        uint32_t screen = 0;
        bool accepted = false;              // taken for the visitor: the booth moved on to screen 6
        uint64_t pass = 0;                  // photoAcceptedCount() once it was taken
        std::optional<qint64> earlierByMs;  // asked for before the capture screen began
        QStringList addresses;              // the visitor's, as they were at that moment
    };
    ArrivedPhoto decodeArrivedPhoto(const QVariantMap& userInfo);                           // download thread
    PhotoAcceptance showPhotoAndTakeItForTheVisitor(const QImage& shown, const QVariant& requestTime); // main
    // Runs the step above on the main thread and waits for it (download thread); answers
    // "closing" at once when the controller goes meanwhile (close).
    PhotoAcceptance decideOnMainThread(const QImage& shown, const QVariant& requestTime);
    static PhotoAcceptance closingAcceptance();
    void fileAcceptedPhoto(ArrivedPhoto& photo, const QStringList& addresses, uint64_t pass); // download thread
    void setLastFilingResult(const SNP_Filing::Result& result);

    AppController& _controller;
    mutable QMutex _imageDictLock;  // guards _imageDict
    QVariantMap _imageDict;
    mutable QMutex _lastFilingLock; // guards _lastFiling
    SNP_Filing::Result _lastFiling;
    SNP_Filing _filing;
    std::atomic<uint64_t> _photoIntakeCount{0};
    std::atomic<uint64_t> _photoAcceptedCount{0};
    std::atomic<int> _filingsInProgress{0};
    QMutex _intakeStepsLock;  // guards _intakeSteps and _intakeClosed
    QList<std::shared_ptr<std::promise<PhotoAcceptance>>> _intakeSteps;  // steps queued to the main thread
    bool _intakeClosed = false;
    std::thread _heldBackPass;  // joined at the controller's end
};
