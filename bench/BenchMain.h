// The main function the benchmarks share: a Qt application of the given kind (offscreen
// unless QT_QPA_PLATFORM says otherwise), the booth's log in a temporary folder rather
// than the operator's log file, then Google Benchmark. Also the resident-memory reading
// the benchmarks report.
#pragma once

#include "SNP_Log.h"

#include <QTemporaryDir>
#include <QtGlobal>

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

// A field of /proc/self/status given in kB ("VmRSS", "VmHWM"), 0 when it cannot be read.
inline double statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::stod(line.substr(key.size()));
    return 0;
}

// The process's resident memory now, in MiB.
inline double residentMiB() { return statusKiB("VmRSS") / 1024.0; }

// Starts the peak resident memory (VmHWM) again from the resident memory now; false
// when the kernel refuses.
inline bool resetPeakResident()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}

template <class Application>
int runBenchmarks(int argc, char** argv, const QString& logName)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    QTemporaryDir dir;
    SNP_Log::setLogFile(dir.filePath(logName));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
