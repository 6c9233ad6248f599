// Shared by the fuzz entry points: the application object they need, and a check that
// aborts (so that libFuzzer and the corpus replay both report the input) when an
// invariant does not hold.
#pragma once

#include <QCoreApplication>
#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

namespace FuzzSupport {

// One application object for the life of the process (image plug-ins, QSettings).
inline void startApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "booth-fuzz";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

// The input without a copy: reads past its end are seen by AddressSanitizer.
inline QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

} // namespace FuzzSupport
