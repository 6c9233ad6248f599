// The single logging facility: one line per message into the log file, optionally
// mirrored to standard error, rolled over by size when the file is opened.
//
// The log file lives at a fixed name in a world-writable folder, so it and its "_old"
// file are only ever opened without following symbolic links and only when they are
// regular files; anything else is refused (reported on standard error) and the process
// keeps running without a log file.
#pragma once

#include "SNP_Base.h"

#include <QByteArray>
#include <QString>

class SNP_Log : public SNP_Base {
public:
    SNP_Log() = delete;

    // Sizes used by rolling.
    static constexpr uint32_t kRollThreshold = 1048576;   // 1 MiB: a log this large is rolled
    static constexpr qsizetype kOldFileCap = 10485760;    // 10 MiB kept in the old file
    static constexpr qsizetype kEarlyBufferCap = 1000000; // characters kept before the file opens
    static constexpr qsizetype kEarlyBufferDrop = 10000;  // characters dropped when over the cap

    // "/tmp/BTHK_LiveView.log", or the value of the environment variable BOOTH_LOG_FILE
    // when that is set (tests and tools).
    static QString defaultLogFilePath();
    // The old-file path a log path rolls into: "/tmp/BTHK_LiveView.log" ->
    // "/tmp/BTHK_LiveView_old.log"; a path without extension gets "_old.log".
    static QString oldLogFilePath(const QString& path);

    static bool setLogFile(const QString& path);
    static void rollLogFileIfNecessary(const QString& path);
    // oldPath empty: the default old-file path.
    static void rollLogFile(const QString& path, const QString& oldPath, uint32_t threshold);
    static void setShouldLogToStdErr(bool flag);
    static void setShouldLogAppName(bool flag);
    static void setApplicationName(const QString& name);
    static QString logDateString();

    static void logLevel(int level, const QString& message);
    static void debug(const QString& message);
    static void err(const QString& message);
    [[noreturn]] static void fatal(const QString& message);
    static void logData(const QByteArray& data);

    // printf-style conveniences: debugf("error %x trying ...", code). "%@" is not
    // understood; pass strings as "%s" with qUtf8Printable().
    static void debugf(const char* format, ...) __attribute__((format(printf, 1, 2)));

    static bool validateEmailAddress(const QString& candidate);

    // A signal number recorded here makes fatal() exit with it as the status.
    static void recordSignal(int signalNumber);

    // The path of the open log file; empty when none is open.
    static QString logFilePath();

    // Tests only: closes the open log file, points standard error back where it was and
    // restores the state before the first setLogFile() (empty early buffer, flags off).
    static void resetForTesting();
};
