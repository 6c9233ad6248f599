// Host description, safe temporary files and small string/date utilities.
#pragma once

#include <QDateTime>
#include <QString>
#include <QVariantMap>
#include <cstdint>

class SNP_Base {
public:
    // The start-up banner: 80 carets, "<process name> starting up", systemVersionInfo().
    static QString startupInfo();
    // Two lines: "Linux <release> (<distribution>) Qt (<version>);" and
    // "<n>MB (<n>MB free); <n> CPU; <byte order> (<n>-bit); <model> (<machine>)".
    static QString systemVersionInfo();
    // The hardware model followed by the machine architecture: "ThinkPad X1 (x86_64)".
    static QString hostModelAndArch();
    // Free memory: "freePages" (quint32), "freeBytes" and "freeMB" (quint64); empty when
    // the statistics cannot be read.
    static QVariantMap vmStats();
    // Creates an exclusively opened temporary file in $TMPDIR (or /tmp) and answers its
    // path; the descriptor goes to *outFd (-1 on failure), or the file is closed when
    // outFd is null. Empty on failure.
    static QString safeTempFile(int* outFd);
    // The first folder the platform lists for that kind (a QStandardPaths::StandardLocation value);
    // domainMask 0 means all domains, bit 1 the user's own folder, the other bits the
    // shared/system folders. Empty when there is none. A leading "~" is not expanded.
    static QString firstFoundDirectoryType(uint32_t type, uint32_t domainMask);
    // The full path of the running executable; empty when it cannot be read.
    static QString pathToSelf();
    // The Qt version as one number printed with three decimals: 6.4.2 -> 6.042.
    static double frameworkVersionNumber();
};
