// booth-mailer's entry point: delivers the pictures the booth puts into its upload folder.
//
//   booth-mailer [-KEY VALUE ...]                 runs until SIGTERM
//   booth-mailer --drain [SECONDS] [-KEY VALUE ...]  sends what waits, then exits 0 or 1
//   booth-mailer --status [-KEY VALUE ...]        prints the journal's state
//
// Settings come from the booth's user defaults; "-KEY VALUE" pairs override them for one
// run. Everything is logged to /tmp/BTHK_Mailer.log (BOOTH_MAILER_LOG_FILE to use another
// path), opened the way the booth opens its log; problems that stop the mailer, and a
// damaged journal it made anew, are also written to the standard error it was started
// with. Exit status 2: bad settings or usage, a missing upload folder, a journal that
// cannot be written.
//
// Threads: the main thread only.
#include "SNP_Log.h"
#include "SNP_MailSettings.h"
#include "SNP_MailerRun.h"
#include "SNP_Preferences.h"

#include <QCoreApplication>
#include <QTextStream>

#include <curl/curl.h>

#include <cstdio>
#include <unistd.h>

namespace {

struct Options {
    enum class Mode { Serve, Drain, Status } mode = Mode::Serve;
    int drainSeconds = SNP_MailerRun::kDefaultDrainSeconds;
    QStringList preferences; // argv[0] and the -KEY VALUE pairs
    QString problem;
};

Options parseOptions(const QStringList& arguments)
{
    Options options;
    options.preferences << arguments.value(0);
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--status")) {
            options.mode = Options::Mode::Status;
        } else if (argument == QLatin1String("--drain")) {
            options.mode = Options::Mode::Drain;
            bool ok = false;
            const int seconds = arguments.value(i + 1).toInt(&ok);
            if (ok && seconds >= 0)
                options.drainSeconds = seconds, ++i;
        } else if (argument.startsWith(QLatin1String("--"))) {
            options.problem = QStringLiteral("unknown option %1").arg(argument);
        } else {
            options.preferences << argument;
        }
    }
    return options;
}

QString logFilePath()
{
    const QString overridden = qEnvironmentVariable("BOOTH_MAILER_LOG_FILE");
    return overridden.isEmpty() ? QStringLiteral("/tmp/BTHK_Mailer.log") : overridden;
}

int runMode(const Options& options)
{
    QTextStream out(stdout);
    if (options.mode == Options::Mode::Status)
        return SNP_MailerRun::status(SNP_MailSettings::configuredFolders(), out);
    QStringList problems;
    const auto settings = SNP_MailSettings::load(&problems);
    if (!settings) {
        for (const QString& problem : problems)
            SNP_MailerRun::tellStaff(problem);
        return 2;
    }
    SNP_MailerRun::installStopSignals();
    if (options.mode == Options::Mode::Drain)
        return SNP_MailerRun::drain(*settings, options.drainSeconds, out);
    return SNP_MailerRun::serve(*settings);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Korvanex"));
    QCoreApplication::setApplicationName(QStringLiteral("booth-mailer"));
    const Options options = parseOptions(QCoreApplication::arguments());
    SNP_Preferences::setArguments(options.preferences);

    SNP_MailerRun::setStaffOutput(::dup(STDERR_FILENO));
    SNP_Log::setLogFile(logFilePath());
    SNP_Log::debugLines(SNP_Log::startupInfo());
    SNP_Preferences::reportArgumentProblems();
    if (!options.problem.isEmpty()) {
        SNP_MailerRun::tellStaff(options.problem + QStringLiteral(" (use --status, --drain [SECONDS] and -KEY VALUE)"));
        return 2;
    }

    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int status = runMode(options);
    curl_global_cleanup();
    return status;
}
