// Placeholder for the e-mail address check of the keyboard screen; the keyboard's code
// replaces this file with the real check.
#include "SNP_Log.h"

bool SNP_Log::validateEmailAddress(const QString&) { return false; }
