// The booth and the mailer at rest, and the booth's start-up, from the built programs as
// staff start them (Qt's offscreen platform, the simulated camera, settings, folders and
// logs in a temporary folder):
//
// - start-up to the first screen: from starting the booth program to its log line of the
//   first screen up in kiosk mode ("entered kiosk mode ..."), median of IDLE_STARTS starts
//   (default 5);
// - idle CPU: the booth on its first screen (with the simulated camera, and with the
//   camera backend it is built to use by default, no camera plugged in) and the mailer
//   with nothing to send, side by side over IDLE_SECONDS (default 60) once they have
//   settled, read from /proc/PID/stat; in percent of one core.
//
//   bench_idle [BOOTH_PROGRAM [MAILER_PROGRAM]]   (default: the programs of this build)
#include "BenchFigures.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

// A program with its settings, log and folders below root.
class Program {
public:
    Program(const QString& root, const QString& logVariable) : _root(root)
    {
        QDir().mkpath(root);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
        env.insert(logVariable, logPath());
        _process.setProcessEnvironment(env);
        _process.setStandardOutputFile(QProcess::nullDevice());
        _process.setStandardErrorFile(QProcess::nullDevice());
    }
    ~Program()
    {
        if (_process.state() != QProcess::NotRunning) {
            _process.terminate();
            if (!_process.waitForFinished(10000))
                _process.kill();
            _process.waitForFinished(5000);
        }
    }
    // Started; answers when (ms since the epoch, taken just before).
    qint64 start(const QString& program, const QStringList& arguments)
    {
        QFile::remove(logPath());
        const qint64 at = QDateTime::currentMSecsSinceEpoch();
        _process.start(program, arguments);
        return _process.waitForStarted(10000) ? at : -1;
    }
    // The time stamp of the first log line holding text, once it is there (-1 on time-out).
    qint64 loggedAt(const QString& text, int timeoutMs) const
    {
        static const QRegularExpression stamp(QStringLiteral(R"(^\w \[([0-9/]+ [0-9:.]+ [+-]\d{4})\] )"));
        for (QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired(); QThread::msleep(5)) {
            QFile log(logPath());
            if (!log.open(QIODevice::ReadOnly))
                continue;
            while (!log.atEnd()) {
                const QString line = QString::fromUtf8(log.readLine());
                if (!line.contains(text))
                    continue;
                const auto match = stamp.match(line);
                const QDateTime at = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz t"));
                return match.hasMatch() && at.isValid() ? at.toMSecsSinceEpoch() : -1;
            }
        }
        return -1;
    }
    double cpuSeconds() const
    {
        return bench::statCpuSeconds("/proc/" + std::to_string(_process.processId()) + "/stat");
    }
    bool running() const { return _process.state() == QProcess::Running; }
    QString logPath() const { return _root + QStringLiteral("/program.log"); }

private:
    QString _root;
    QProcess _process;
};

// The booth with the simulated camera, or (backend empty) with the camera backend the
// program is built to use by default.
QStringList boothArguments(const QString& root, const QString& backend = QStringLiteral("sim"))
{
    QStringList arguments{QStringLiteral("-scratchFolder"), root + QStringLiteral("/scratch"),
                          QStringLiteral("-mainImagesFolder"), root + QStringLiteral("/main"),
                          QStringLiteral("-forUploadFolder"), root + QStringLiteral("/upload")};
    if (!backend.isEmpty())
        arguments << QStringLiteral("-cameraBackend") << backend;
    return arguments;
}

QStringList mailerArguments(const QString& root)
{
    return {QStringLiteral("-forUploadFolder"), root + QStringLiteral("/upload"), QStringLiteral("-mailSmtpUrl"),
            QStringLiteral("smtp://127.0.0.1:2525"), QStringLiteral("-mailFrom"), QStringLiteral("booth@example.com")};
}

int envOr(const char* name, int fallback)
{
    return qEnvironmentVariableIsSet(name) ? std::max(1, qEnvironmentVariableIntValue(name)) : fallback;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString booth = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(BOOTH_PROGRAM);
    const QString mailer = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(MAILER_PROGRAM);
    const int starts = envOr("IDLE_STARTS", 5);
    const int seconds = envOr("IDLE_SECONDS", 60);
    QTemporaryDir dir;
    const QString load = QString::fromStdString(bench::loadAverages());

    std::vector<double> startUp;
    for (int i = 0; i < starts; ++i) {
        const QString root = dir.filePath(QStringLiteral("start%1").arg(i));
        Program program(root, QStringLiteral("BOOTH_LOG_FILE"));
        const qint64 started = program.start(booth, boothArguments(root));
        const qint64 shown = started < 0 ? -1 : program.loggedAt(QStringLiteral("entered kiosk mode"), 30000);
        if (shown < 0) {
            std::printf("bench_idle: %s did not reach its first screen (see %s)\n", qUtf8Printable(booth),
                        qUtf8Printable(program.logPath()));
            dir.setAutoRemove(false);
            return 1;
        }
        startUp.push_back(double(shown - started));
    }

    // The three at rest side by side, each with its own folders.
    const QString root = dir.filePath(QStringLiteral("idle"));
    Program boothProgram(root + QStringLiteral("/booth"), QStringLiteral("BOOTH_LOG_FILE"));
    Program defaultBooth(root + QStringLiteral("/default"), QStringLiteral("BOOTH_LOG_FILE"));
    Program mailerProgram(root + QStringLiteral("/mailer"), QStringLiteral("BOOTH_MAILER_LOG_FILE"));
    QDir().mkpath(root + QStringLiteral("/upload")); // the mailer's, empty
    if (boothProgram.start(booth, boothArguments(root + QStringLiteral("/booth"))) < 0 ||
        defaultBooth.start(booth, boothArguments(root + QStringLiteral("/default"), QString())) < 0 ||
        mailerProgram.start(mailer, mailerArguments(root)) < 0 ||
        boothProgram.loggedAt(QStringLiteral("entered kiosk mode"), 30000) < 0 ||
        defaultBooth.loggedAt(QStringLiteral("entered kiosk mode"), 30000) < 0 ||
        mailerProgram.loggedAt(QStringLiteral("watches"), 30000) < 0) {
        std::printf("bench_idle: the booths or the mailer did not come up (logs below %s)\n", qUtf8Printable(root));
        dir.setAutoRemove(false);
        return 1;
    }
    QThread::sleep(5); // the camera found and loaded, the first reads done
    const double boothBefore = boothProgram.cpuSeconds(), defaultBefore = defaultBooth.cpuSeconds();
    const double mailerBefore = mailerProgram.cpuSeconds();
    const double start = bench::wallSeconds();
    QThread::sleep(unsigned(seconds));
    const double elapsed = bench::wallSeconds() - start;
    const double boothIdle = (boothProgram.cpuSeconds() - boothBefore) / elapsed * 100;
    const double defaultIdle = (defaultBooth.cpuSeconds() - defaultBefore) / elapsed * 100;
    const double mailerIdle = (mailerProgram.cpuSeconds() - mailerBefore) / elapsed * 100;
    const bool bothRan = boothProgram.running() && defaultBooth.running() && mailerProgram.running();

    std::printf("\nAt rest and starting up (load %s before, %s after)\n", qUtf8Printable(load), bench::loadAverages().c_str());
    std::printf("  start-up to the first screen in kiosk mode  %8.0f ms   (median of %d starts)\n",
                bench::median(startUp), starts);
    std::printf("  the booth on its first screen, idle         %8.2f %% of a core over %.0f s\n", boothIdle, elapsed);
    std::printf("    with its default camera backend           %8.2f %% (no camera plugged in)\n", defaultIdle);
    std::printf("  the mailer with nothing to send, idle       %8.2f %% of a core over %.0f s\n", mailerIdle, elapsed);
    if (!bothRan)
        std::printf("  (a program ended during the measurement: its figure is not that of a program at rest)\n");
    std::printf("  (CPU time from /proc/PID/stat, in clock ticks of %.0f ms)\n", 1000.0 / double(sysconf(_SC_CLK_TCK)));
    return bothRan ? 0 : 1;
}
