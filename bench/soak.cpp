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
#include "SoakDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

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
    soak::Settings settings;
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

    soak::Driver driver(settings);
    QString reason;
    if (!driver.start(&reason)) {
        std::fprintf(stderr, "the booth did not start: %s\n", qUtf8Printable(reason));
        return 2;
    }
    std::printf("soak: %d passes, a %d ms second, %dx%d pictures, below %s\n", passes, settings.tickMs,
                settings.pictureWidth, settings.pictureHeight, qUtf8Printable(settings.root));
    std::fflush(stdout);

    QElapsedTimer clock;
    clock.start();
    soak::ProcessFigures at100, atStart, atEnd;
    bool have100 = false;
    int failedPasses = 0;
    for (int n = 1; n <= passes; ++n) {
        if (!driver.runPass()) {
            ++failedPasses;
            std::printf("pass %d failed: %s\n", n, qUtf8Printable(driver.passes().back().outcome.reason));
        }
        if (n == 1) {
            driver.settle();
            atStart = soak::sampleProcess();
        }
        if (n == 100 || n == passes) {
            driver.settle();
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

    const soak::Tally tally = driver.check();
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

    const bool stopped = driver.stop();
    if (!stopped)
        std::printf("the booth did not come to rest when it was taken down\n");
    const bool good = tally.lost == 0 && tally.mixed == 0 && tally.strayFiles == 0 && tally.filed == passes &&
                      tally.uploadFiles == passes;
    std::printf("%s\n", good ? "soak: OK" : "soak: FAILED");
    return good ? 0 : 1;
}
