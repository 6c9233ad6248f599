// The booth's entry point.
#include "AppController.h"
#include "EdsSdk.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Rehearsal.h"

#include <QApplication>

#include <cstdio>

namespace {
#ifdef HAVE_GPHOTO2
const char* const kBuiltBackends = "sim, gphoto2";
const char* const kDefaultBackend = "gphoto2"; // an installed booth photographs with the real camera
#else
const char* const kBuiltBackends = "sim";
const char* const kDefaultBackend = "sim";
#endif
} // namespace

int main(int argc, char** argv)
{
    // "-KEY VALUE" pairs override the user defaults for this run.
    SNP_Preferences::setArguments(argc, argv);
    // "--rehearse ADDRESS[,ADDRESS...]": one visitor's pass, then exit.
    const std::optional<QStringList> rehearsal =
        SNP_Rehearsal::addressesFromArguments(QStringList(argv, argv + argc));
    if (rehearsal)
        SNP_Rehearsal::keepStandardError();

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvanex"));
    QCoreApplication::setApplicationName(QStringLiteral("booth"));

    // The camera implementation, chosen before the first camera-list request. A backend
    // asked for that cannot be had leaves the booth without a camera, and whoever started
    // it is told here, before standard error goes into the log file; the log itself opens
    // with the controller, so the line is written there once it is.
    const QString backend = SNP_Preferences::cameraBackend(QString::fromLatin1(kDefaultBackend));
    const bool backendHad = EdsChooseSdk(backend.toStdString());
    if (!backendHad)
        std::fprintf(stderr, "booth: camera backend \"%s\" cannot be used; running without a camera "
                     "(backends of this build: %s)\n", qUtf8Printable(backend), kBuiltBackends);
    // The operator panel is for staff only: the first start makes a PIN, said here once
    // (and in the log by the controller, which finds it made).
    const std::optional<QString> madePin = SNP_Preferences::makeOperatorPinIfNone();
    if (madePin)
        std::fprintf(stderr, "booth: %s\n", qUtf8Printable(AppController::operatorPinMadeText(*madePin)));

    AppController controller;
    if (!backendHad)
        SNP_Log::debugf("camera backend \"%s\" cannot be used; running without a camera (backends of this build: %s)",
                        qUtf8Printable(backend), kBuiltBackends);
    if (madePin)
        SNP_Log::debug(AppController::operatorPinMadeText(*madePin));
    controller.awakeFromNib();
    controller.show();
    controller.applicationDidFinishLaunching();
    if (rehearsal)
        return SNP_Rehearsal::run(controller, *rehearsal,
                                  SNP_Rehearsal::snapshotFolderFromArguments(QStringList(argv, argv + argc)));
    return app.exec();
}
