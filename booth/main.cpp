// The booth's entry point.
#include "AppController.h"
#include "EdsSdk.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Rehearsal.h"

#include <QApplication>

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

    // The camera implementation, chosen before the first camera-list request.
    const QString backend = SNP_Preferences::cameraBackend();
    std::shared_ptr<EdsSdk> sdk = EdsCreateSdk(backend.toStdString());
    const bool knownBackend = sdk != nullptr;
    EdsSetCurrentSdk(std::move(sdk));

    AppController controller;
    if (!knownBackend)
        SNP_Log::debugf("Unknown cameraBackend \"%s\"; using the simulated camera", qUtf8Printable(backend));
    controller.awakeFromNib();
    controller.show();
    controller.applicationDidFinishLaunching();
    if (rehearsal)
        return SNP_Rehearsal::run(controller, *rehearsal,
                                  SNP_Rehearsal::snapshotFolderFromArguments(QStringList(argv, argv + argc)));
    return app.exec();
}
