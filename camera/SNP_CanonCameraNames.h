// Display texts for the camera SDK's numbers: data types, error codes, property codes
// and, per property, its value codes. Used for log lines and for the operator panel's
// popups (whose texts are mapped back to codes through the tables).
//
// Every function is stateless and thread-safe. The cStrFor* forms return texts of static
// storage; the strFor* forms return the same text as a QString. tableFor* gives the rows
// in code order (several codes may share one text).
#pragma once

#include "../support/SNP_NameTable.h"

#include <QString>
#include <cstdint>

#define SNP_DECLARE_NAME_TABLE(Base)              \
    SNP_NameTable tableFor##Base();               \
    const char* cStrFor##Base(uint32_t code);     \
    QString strFor##Base(uint32_t code);

SNP_DECLARE_NAME_TABLE(EDSDataType)                 // fallback "unknown error"
SNP_DECLARE_NAME_TABLE(EDSError)                    // fallback "unknown error" (0 too)
SNP_DECLARE_NAME_TABLE(PropertyID)                  // fallback "unknown property"
SNP_DECLARE_NAME_TABLE(CanonCameraImageQuality)     // fallback "unknown"
SNP_DECLARE_NAME_TABLE(CanonCameraISO)              // fallback "Auto"
SNP_DECLARE_NAME_TABLE(CanonCameraEv)               // fallback "unknown"
SNP_DECLARE_NAME_TABLE(CanonCameraAFMode)           // fallback "unknown"
SNP_DECLARE_NAME_TABLE(BatteryQuality)              // fallback "unknown"
SNP_DECLARE_NAME_TABLE(CanonCameraDriveMode)        // fallback "unknown"
SNP_DECLARE_NAME_TABLE(CanonCameraAEMode)           // fallback "unknown"
SNP_DECLARE_NAME_TABLE(CanonCameraMeteringMode)     // fallback "unknown"
SNP_DECLARE_NAME_TABLE(CanonCameraColorSpace)       // fallback "unknown"
SNP_DECLARE_NAME_TABLE(CanonCameraWB)               // fallback "unknown"
SNP_DECLARE_NAME_TABLE(CanonCameraAv)               // fallback "Auto"
SNP_DECLARE_NAME_TABLE(CanonCameraTv)               // fallback "Auto"

#undef SNP_DECLARE_NAME_TABLE

// No table: "unknown" whatever the code.
const char* cStrForCanonCameraGeneric(uint32_t code);
QString strForCanonCameraGeneric(uint32_t code);

// The code as upper-case hexadecimal with the prefix "0X": 255 -> "0XFF".
QString strForUInt32(uint32_t code);

// The code as a signed decimal, a blank and a percent sign: 80 -> "80 %".
QString strForDecimalPercent(uint32_t code);
