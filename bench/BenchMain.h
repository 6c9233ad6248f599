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

// The process's resident memory now, in MiB.
inline double residentMiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
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
