// The soak run: a long day of visitors through the real windows over the simulated camera.
//
//   booth_soak [PASSES] [TICK_MS]
//
// PASSES complete visitor passes (default 1000), each with its own addresses, on a fast
// clock (the screens' second is TICK_MS, default 20 ms; the touch countdown is 1; the
// camera's pictures are 640x480). Afterwards every filed picture and upload file is read
// back: it must carry exactly its own visitor's addresses. Prints the passes, the pictures
// filed, the upload files, the pictures lost, the files with someone else's addresses and
// the process's resident memory, threads and open descriptors at pass 100 and at the last
// pass. Exits 1 when a picture was lost or mixed up (or a stray file was left), 2 when the
// booth could not be started.
//
// The files go below a temporary folder (TMPDIR) that is removed at the end, unless
// SOAK_KEEP=1; the booth's log is written there too.
#include "SNP_XMLinEXIF.h"
#include "SoakDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

struct Settings {
    QString root;     // an existing empty folder; everything goes below it
    int tickMs = 20;  // the screens' second
    int pictureWidth = 640;
    int pictureHeight = 480;
};

struct Pass {
    QStringList addresses;
    SNP_Rehearsal::Outcome outcome;
};

// What the read-back found.
struct Tally {
    int passes = 0;
    int filed = 0;        // passes whose picture is in its day folder with its own addresses
    int uploadFiles = 0;  // passes whose upload file is there with its own addresses
    int lost = 0;         // passes without their picture or upload file, or with an unreadable one
    int mixed = 0;        // files that carry someone else's addresses, or that two passes share
    int strayFiles = 0;   // files below the three folders that no pass accounts for (temporary names included)
    QStringList problems; // one line per lost, mixed or stray file (the first few hundred)
};

// Reads every pass's files back and looks for files no pass accounts for.
Tally check(const BoothRun& run, const std::vector<Pass>& passes)
{
    Tally tally;
    tally.passes = int(passes.size());
    const auto problem = [&](int& count, const QString& line) {
        ++count;
        if (tally.problems.size() < 300)
            tally.problems << line;
    };
    QSet<QString> claimed;
    for (const Pass& pass : passes) {
        int unreadable = 0;
        for (const QString& path : {pass.outcome.filedPath, pass.outcome.uploadPath}) {
            const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegAtPath(path);
            const QStringList found = plist ? plist->value(QBEmailsForUpload).toStringList() : QStringList();
            if (!plist)
                problem(unreadable, QStringLiteral("(%1): nothing to read at [%2] (%3)")
                                        .arg(pass.addresses.join(u','), path, pass.outcome.reason));
            else if (claimed.contains(path) || found != pass.addresses)
                problem(tally.mixed, QStringLiteral("(%1): [%2] carries (%3) or is another visitor's too")
                                         .arg(pass.addresses.join(u','), path, found.join(u',')));
            else
                ++(path == pass.outcome.filedPath ? tally.filed : tally.uploadFiles);
            claimed.insert(path);
        }
        tally.lost += unreadable > 0;
    }
    for (const QString& file : run.files())
        if (!claimed.contains(QDir(run.root).filePath(file)))
            problem(tally.strayFiles, QStringLiteral("a file no visitor accounts for: %1").arg(file));
    return tally;
}

void printFigures(const char* when, int pass, const soak::ProcessFigures& f)
{
    std::printf("%-10s (pass %4d): resident memory %.1f MiB (%ld kB), threads %d, open file descriptors %d\n", when,
                pass, f.residentKiB / 1024.0, f.residentKiB, f.threads, f.openFiles);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    int passes = 1000;
    Settings settings;
    if (argc > 1)
        passes = std::atoi(argv[1]);
    if (argc > 2)
        settings.tickMs = std::atoi(argv[2]);
    if (passes < 1 || settings.tickMs < 1) {
        std::fprintf(stderr, "usage: %s [PASSES >= 1] [TICK_MS >= 1]\n", argv[0]);
        return 2;
    }

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 2;
    }
    const bool keep = qEnvironmentVariableIntValue("SOAK_KEEP") == 1;
    dir.setAutoRemove(!keep);
    settings.root = dir.path();

    BoothRun run(settings.root);
    run.sim->setPictureSize(settings.pictureWidth, settings.pictureHeight);
    if (!run.start(settings.tickMs)) {
        std::fprintf(stderr, "the booth did not start: no camera became current\n");
        return 2;
    }
    std::vector<Pass> done;
    std::printf("soak: %d passes, a %d ms second, %dx%d pictures, below %s\n", passes, settings.tickMs,
                settings.pictureWidth, settings.pictureHeight, qUtf8Printable(settings.root));
    std::fflush(stdout);

    QElapsedTimer clock;
    clock.start();
    soak::ProcessFigures at100, atStart, atEnd;
    bool have100 = false;
    int failedPasses = 0;
    for (int n = 1; n <= passes; ++n) {
        const QStringList addresses = soak::addressesOfVisitor(n);
        done.push_back({addresses, run.pass(addresses)});
        if (!done.back().outcome.ok) {
            ++failedPasses;
            std::printf("pass %d failed: %s\n", n, qUtf8Printable(done.back().outcome.reason));
        }
        if (n == 1) {
            soak::settle(run);
            atStart = soak::sampleProcess();
        }
        if (n == 100 || n == passes) {
            soak::settle(run);
            const soak::ProcessFigures now = soak::sampleProcess();
            if (n == 100) {
                at100 = now;
                have100 = true;
            }
            if (n == passes)
                atEnd = now;
        }
        if (n % 100 == 0) {
            std::printf("... %d passes, %.0f s\n", n, clock.elapsed() / 1000.0);
            std::fflush(stdout);
        }
    }
    const double seconds = clock.elapsed() / 1000.0;

    const Tally tally = check(run, done);
    for (const QString& line : tally.problems)
        std::printf("  %s\n", qUtf8Printable(line));

    std::printf("passes:                 %d (%d ended without an upload file), %.1f s, %.0f ms a pass\n", tally.passes,
                failedPasses, seconds, 1000.0 * seconds / tally.passes);
    std::printf("pictures filed:         %d\n", tally.filed);
    std::printf("upload files:           %d\n", tally.uploadFiles);
    std::printf("pictures lost:          %d\n", tally.lost);
    std::printf("upload or filed files with someone else's addresses: %d\n", tally.mixed);
    std::printf("files no visitor accounts for: %d\n", tally.strayFiles);
    printFigures("after", 1, atStart);
    if (have100)
        printFigures("at", 100, at100);
    printFigures("at", passes, atEnd);
    if (keep)
        std::printf("files and log kept below %s\n", qUtf8Printable(settings.root));
    std::fflush(stdout);

    const bool stopped = run.stop();
    if (!stopped)
        std::printf("the booth did not come to rest when it was taken down\n");
    const bool good = tally.lost == 0 && tally.mixed == 0 && tally.strayFiles == 0 && tally.filed == passes &&
                      tally.uploadFiles == passes;
    std::printf("%s\n", good ? "soak: OK" : "soak: FAILED");
    return good ? 0 : 1;
}
