// Names of operating-system numbers for diagnostic log lines: stream statuses and events,
// IOKit messages and return codes (the published constants' symbolic names), error
// numbers and signal numbers. Lookup is exact; unlisted values get a fallback text.
#pragma once

#include "../support/SNP_NameTable.h"

#include <cstdint>

SNP_NameTable tableForCFStreamStatus();
const char* strForCFStreamStatus(uint32_t value); // fallback "kCFStreamStatusUnknown"
SNP_NameTable tableForCFEventType();
const char* strForCFEventType(uint32_t value);    // fallback "kCFStreamEventUnknown"
SNP_NameTable tableForIOMessage();
const char* strForIOMessage(uint32_t value);      // fallback "kIOMessageUnknown"
SNP_NameTable tableForIOReturn();
const char* strForIOReturn(uint32_t value);       // fallback "kIOReturnError"
SNP_NameTable tableForErrno();
const char* strForErrno(uint32_t value);          // fallback "unknown"
SNP_NameTable tableForSignal();
const char* strForSignal(uint32_t value);         // fallback "unknown"
