// The single logging facility: one line per message into the log file, optionally
// mirrored to standard error, rolled over by size when the file is opened.
//
// A message is always written on one line: line breaks and other control characters in it
// (from an address, a file name, a server's reply) are written escaped ("\n", "\r",
// "\x1b"), so that no value can plant a line of its own. The system's own multi-line texts
// (the start-up banner, a list) go through debugLines(), which writes one line per line.
// Qt's own messages are written through the same path once the log file is open.
//
// The log file lives at a fixed name in a world-writable folder and holds visitors'
// addresses, so it and its "_old" file are readable by their owner only (0600), only ever
// opened without following symbolic links, and only when they are regular files of this
// user's own; anything else is refused (reported on standard error) and the process keeps
// running without a log file.
#pragma once

#include "SNP_Base.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

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

    // One line, the message escaped.
    static void logLevel(int level, const QString& message);
    static void debug(const QString& message);
    // The system's own multi-line text: one debug line per line of it, each escaped (a
    // text that ends in a newline gives a last, empty line).
    static void debugLines(const QString& text);
    static void err(const QString& message);
    [[noreturn]] static void fatal(const QString& message);
    static void logData(const QByteArray& data);

    // printf-style conveniences: debugf("error %x trying ...", code). "%@" is not
    // understood; pass strings as "%s" with qUtf8Printable().
    static void debugf(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // The text with every control character (C0, DEL, C1, the Unicode line and paragraph
    // separators) written as an escape: "\n", "\r", "\t", "\xHH", "\uHHHH".
    static QString escaped(const QString& text);

    static bool validateEmailAddress(const QString& candidate);
    // A visitor's address as the log shows it where the address itself is not needed:
    // the first character and the domain ("a***@example.com").
    static QString maskedAddress(const QString& address);
    static QStringList maskedAddresses(const QStringList& addresses);

    // A signal number recorded here makes fatal() exit with it as the status.
    static void recordSignal(int signalNumber);

    // The path of the open log file; empty when none is open.
    static QString logFilePath();

    // Tests only: closes the open log file, points standard error back where it was and
    // restores the state before the first setLogFile() (empty early buffer, flags off).
    static void resetForTesting();
};
