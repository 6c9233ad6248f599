// Host description, safe temporary files and small string/date utilities.
#pragma once

#include <QDateTime>
#include <QString>
#include <QVariantMap>
#include <cstdint>

class SNP_Base {
public:
    static QString startupInfo();
    static QString systemVersionInfo();
    static QString hostModelAndArch();
    static QVariantMap vmStats();
    static QString safeTempFile(int* outFd);
};
