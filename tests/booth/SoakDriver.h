// What the soak runs share, many visitors in a row through the real windows over the
// simulated camera (a BoothRun) as a long day at the booth: each visitor's addresses, a
// pause until the camera has come to rest, and samples of the process (resident memory,
// threads, open descriptors) so that growth over the passes shows.
//
// Used by the soak harness (bench/soak.cpp, booth_soak) and by its short CTest version
// (test_soak). Threads: needs a QApplication; everything runs on the main thread.
#pragma once

#include "BoothTeardown.h"

#include <QCoreApplication>

#include <fstream>
#include <string>

namespace soak {

// The process as /proc/self tells it.
struct ProcessFigures {
    long residentKiB = -1; // VmRSS
    int threads = -1;      // Threads
    int openFiles = -1;    // entries of /proc/self/fd
};

inline ProcessFigures sampleProcess()
{
    ProcessFigures figures;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            figures.residentKiB = std::stol(line.substr(6));
        else if (line.rfind("Threads:", 0) == 0)
            figures.threads = std::stoi(line.substr(8));
    }
    // The listing's own descriptor is in the listing; it is not counted.
    const auto fds = QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    figures.openFiles = int(fds.size()) - 1;
    return figures;
}

// Visitor n's addresses (n from 1): one address, a second on every other pass, and on every
// fourth pass four, so that all keyboard fields are used.
inline QStringList addressesOfVisitor(int n)
{
    QStringList addresses{QStringLiteral("v%1a@example.org").arg(n)};
    if (n % 2 == 0)
        addresses << QStringLiteral("v%1b@example.org").arg(n);
    if (n % 4 == 0)
        addresses << QStringLiteral("v%1c@example.org").arg(n) << QStringLiteral("v%1d@example.org").arg(n);
    return addresses;
}

// Lets the camera's threads and queued callbacks come to rest, so that a sample is not
// taken in the middle of the live-view loop's end or of a callback.
inline bool settle(BoothRun& run)
{
    const bool ok = run.sim->waitForIdle() && run.camera()->waitForLiveViewLoopEnd(5000);
    QCoreApplication::processEvents();
    return ok;
}

} // namespace soak
