// The single logging facility: one line per message into the log file, optionally
// mirrored to standard error, rolled over by size when the file is opened.
#pragma once

#include "SNP_Base.h"

#include <QByteArray>
#include <QString>

class SNP_Log : public SNP_Base {
public:
    SNP_Log() = delete;

    static bool setLogFile(const QString& path);
    static void rollLogFileIfNecessary(const QString& path);
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
};
