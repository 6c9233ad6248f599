// The name tables as the booth must know them, read from a data file under tests/data: one
// row per line, "function<TAB>code<TAB>text", the code in hexadecimal, the text exactly as
// it is logged and shown; lines starting with '#' are comments. The name functions are
// compared with these rows, never with their own tables, so that a wrong text fails.
#pragma once

#include "TestPaths.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <string>

using NameRows = std::map<uint32_t, std::string>;

// Rows by function name; empty when the file cannot be read or a line is malformed (the
// test then fails on the missing function).
inline std::map<QString, NameRows> nameTableData(const char* fileName)
{
    std::map<QString, NameRows> tables;
    QFile file(QStringLiteral(BOOTH_SOURCE_DIR "/tests/data/") + QString::fromLatin1(fileName));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine());
        if (line.endsWith(u'\n'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const QStringList fields = line.split(u'\t');
        bool ok = false;
        const uint32_t code = fields.size() == 3 ? fields[1].toUInt(&ok, 0) : 0;
        if (!ok || !tables[fields[0]].emplace(code, fields[2].toStdString()).second)
            return {};
    }
    return tables;
}
