// Placeholder: replaced by the full implementation.
#include "SNP_Log.h"
#include <cstdarg>
#include <cstdio>

bool SNP_Log::setLogFile(const QString&) { return false; }
void SNP_Log::rollLogFileIfNecessary(const QString&) {}
void SNP_Log::rollLogFile(const QString&, const QString&, uint32_t) {}
void SNP_Log::setShouldLogToStdErr(bool) {}
void SNP_Log::setShouldLogAppName(bool) {}
void SNP_Log::setApplicationName(const QString&) {}
QString SNP_Log::logDateString() { return {}; }
void SNP_Log::logLevel(int, const QString& m) { fprintf(stderr, "%s\n", qUtf8Printable(m)); }
void SNP_Log::debug(const QString& m) { logLevel(1, m); }
void SNP_Log::err(const QString& m) { logLevel(3, m); }
void SNP_Log::fatal(const QString& m) { logLevel(3, m); std::abort(); }
void SNP_Log::logData(const QByteArray&) {}
void SNP_Log::debugf(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    debug(QString::vasprintf(format, ap));
    va_end(ap);
}
bool SNP_Log::validateEmailAddress(const QString&) { return false; }
