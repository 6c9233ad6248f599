// Code-to-text tables of the camera SDK's numbers. The texts are fixed display texts;
// keep them exactly as they are (the operator panel and the supported-values tables key
// on them).
#include "SNP_CanonCameraNames.h"

namespace {
constexpr SNP_NameRow kEDSDataTypeRows[] = {
    {0x0, "Unknown"},
    {0x1, "Bool"},
    {0x2, "String"},
    {0x3, "Int8"},
    {0x4, "Int16"},
    {0x6, "UInt8"},
    {0x7, "UInt16"},
    {0x8, "Int32"},
    {0x9, "UInt32"},
    {0xA, "Int64"},
    {0xB, "UInt64"},
    {0xC, "Float"},
    {0xD, "Double"},
    {0xE, "ByteBlock"},
    {0x14, "Rational"},
    {0x15, "Point"},
    {0x16, "Rect"},
    {0x17, "Time"},
    {0x1E, "Bool_Array"},
    {0x1F, "Int8_Array"},
    {0x20, "Int16_Array"},
    {0x21, "Int32_Array"},
    {0x22, "UInt8_Array"},
    {0x23, "UInt16_Array"},
    {0x24, "UInt32_Array"},
    {0x25, "Rational_Array"},
    {0x65, "FocusInfo"},
    {0x66, "PictureStyleDesc"},
};
} // namespace

SNP_NameTable tableForEDSDataType() { return kEDSDataTypeRows; }
const char* cStrForEDSDataType(uint32_t code) { return SNP_lookupName(kEDSDataTypeRows, code, "unknown error"); }
QString strForEDSDataType(uint32_t code) { return QString::fromUtf8(cStrForEDSDataType(code)); }

namespace {
constexpr SNP_NameRow kEDSErrorRows[] = {
    {0x1, "unimplemented"},
    {0x2, "internal error"},
    {0x3, "mem alloc failed"},
    {0x4, "mem free failed"},
    {0x5, "operation cancelled"},
    {0x6, "incompatible version"},
    {0x7, "not supported"},
    {0x8, "unexpected exception"},
    {0x9, "protection violation"},
    {0xA, "missing subcomponent"},
    {0xB, "selection unavailable"},
    {0x20, "file io error"},
    {0x21, "file too many open"},
    {0x22, "file not found"},
    {0x23, "file open error"},
    {0x24, "file close error"},
    {0x25, "file seek error"},
    {0x26, "file tell error"},
    {0x27, "file read error"},
    {0x28, "file write error"},
    {0x29, "file permission error"},
    {0x2A, "file disk full error"},
    {0x2B, "file already exists"},
    {0x2C, "file format unrecognized"},
    {0x2D, "file data corrupt"},
    {0x2E, "file naming na"},
    {0x40, "dir not found"},
    {0x41, "dir io error"},
    {0x42, "dir entry not found"},
    {0x43, "dir entry exists"},
    {0x44, "dir not empty"},
    {0x50, "properties unavailable"},
    {0x51, "properties mismatch"},
    {0x53, "properties not loaded"},
    {0x60, "invalid parameter"},
    {0x61, "invalid handle"},
    {0x62, "invalid pointer"},
    {0x63, "invalid index"},
    {0x64, "invalid length"},
    {0x65, "invalid fn pointer"},
    {0x66, "invalid sort fn"},
    {0x80, "device not found"},
    {0x81, "device busy"},
    {0x82, "device invalid"},
    {0x83, "device emergency"},
    {0x84, "device memory full"},
    {0x85, "device internal error"},
    {0x86, "device invalid parameter"},
    {0x87, "device no disk"},
    {0x88, "device disk error"},
    {0x89, "device cf gate changed"},
    {0x8A, "device dial changed"},
    {0x8B, "device not installed"},
    {0x8C, "device stay awake"},
    {0x8D, "device not released"},
    {0xA0, "stream io error"},
    {0xA1, "stream not open"},
    {0xA2, "stream already open"},
    {0xA3, "stream open error"},
    {0xA4, "stream close error"},
    {0xA5, "stream seek error"},
    {0xA6, "stream tell error"},
    {0xA7, "stream read error"},
    {0xA8, "stream write error"},
    {0xA9, "stream permission error"},
    {0xAA, "stream couldnt begin thread"},
    {0xAB, "stream bad options"},
    {0xAC, "stream end of stream"},
    {0xC0, "comm port is in use"},
    {0xC1, "comm disconnected"},
    {0xC2, "comm device incompatible"},
    {0xC3, "comm buffer full"},
    {0xC4, "comm usb bus err"},
    {0xD0, "usb device lock error"},
    {0xD1, "usb device unlock error"},
    {0xE0, "sti unknown error"},
    {0xE1, "sti internal error"},
    {0xE2, "sti device create error"},
    {0xE3, "sti device release error"},
    {0xE4, "device not launched"},
    {0xF0, "enum na"},
    {0xF1, "invalid fn call"},
    {0xF2, "handle not found"},
    {0xF3, "invalid id"},
    {0xF4, "wait timeout error"},
    {0xF5, "last generic error plus one"},
    {0x2003, "session not open"},
    {0x2004, "invalid transactionid"},
    {0x2007, "incomplete transfer"},
    {0x2008, "invalid strageid"},
    {0x200A, "deviceprop not supported"},
    {0x200B, "invalid objectformatcode"},
    {0x2011, "self test failed"},
    {0x2012, "partial deletion"},
    {0x2014, "selecting by format unsupported"},
    {0x2015, "no valid objectinfo"},
    {0x2016, "invalid code format"},
    {0x2017, "unknown vendor code"},
    {0x2018, "capture already terminated"},
    {0x201A, "invalid parentobject"},
    {0x201B, "invalid deviceprop format"},
    {0x201C, "invalid deviceprop value"},
    {0x201E, "session already open"},
    {0x201F, "transaction cancelled"},
    {0x2020, "choice of destination unsupported"},
    {0x8D01, "take picture af ng"},
    {0x8D02, "take picture reserved"},
    {0x8D03, "take picture mirror up ng"},
    {0x8D04, "take picture sensor cleaning ng"},
    {0x8D05, "take picture silence ng"},
    {0x8D06, "take picture no card ng"},
    {0x8D07, "take picture card ng"},
    {0x8D08, "take picture card protect ng"},
    {0xA001, "unknown command"},
    {0xA005, "operation refused"},
    {0xA006, "lens cover close"},
    {0xA101, "low battery"},
    {0xA102, "object notready"},
};
} // namespace

SNP_NameTable tableForEDSError() { return kEDSErrorRows; }
const char* cStrForEDSError(uint32_t code) { return SNP_lookupName(kEDSErrorRows, code, "unknown error"); }
QString strForEDSError(uint32_t code) { return QString::fromUtf8(cStrForEDSError(code)); }

namespace {
constexpr SNP_NameRow kPropertyIDRows[] = {
    {0x2, "ProductName"},
    {0x3, "BodyID"},
    {0x4, "OwnerName"},
    {0x5, "MakerName"},
    {0x6, "DateTime"},
    {0x7, "FirmwareVersion"},
    {0x8, "BatteryLevel"},
    {0x9, "CFn"},
    {0xB, "SaveTo"},
    {0xC, "CurrentStorage"},
    {0xD, "CurrentFolder"},
    {0xE, "MyMenu"},
    {0xF, "QuickReviewTime"},
    {0x10, "BatteryQuality"},
    {0x20, "HDDirectoryStructure"},
    {0x100, "ImageQuality"},
    {0x101, "JpegQuality"},
    {0x102, "Orientation"},
    {0x103, "ICCProfile"},
    {0x104, "FocusInfo"},
    {0x105, "DigitalExposure"},
    {0x106, "WhiteBalance"},
    {0x107, "ColorTemperature"},
    {0x108, "WhiteBalanceShift"},
    {0x109, "Contrast"},
    {0x10A, "ColorSaturation"},
    {0x10B, "ColorTone"},
    {0x10C, "Sharpness"},
    {0x10D, "ColorSpace"},
    {0x10E, "ToneCurve"},
    {0x10F, "PhotoEffect"},
    {0x110, "FilterEffect"},
    {0x111, "ToningEffect"},
    {0x112, "ParameterSet"},
    {0x113, "ColorMatrix"},
    {0x114, "PictureStyle"},
    {0x115, "PictureStyleDesc"},
    {0x200, "PictureStyleCaption"},
    {0x300, "Linear"},
    {0x301, "ClickWBPoint"},
    {0x302, "WBCoeffs"},
    {0x400, "AEMode"},
    {0x401, "DriveMode"},
    {0x402, "ISOSpeed"},
    {0x403, "MeteringMode"},
    {0x404, "AFMode"},
    {0x405, "Av"},
    {0x406, "Tv"},
    {0x407, "ExposureCompensation"},
    {0x408, "FlashCompensation"},
    {0x409, "FocalLength"},
    {0x40A, "AvailableShots"},
    {0x40B, "Bracket"},
    {0x40C, "WhiteBalanceBracket"},
    {0x40D, "LensName"},
    {0x40E, "AEBracket"},
    {0x40F, "FEBracket"},
    {0x410, "ISOBracket"},
    {0x411, "NoiseReduction"},
    {0x412, "FlashOn"},
    {0x413, "RedEye"},
    {0x414, "FlashMode"},
    {0x416, "LensStatus"},
    {0x418, "Artist"},
    {0x419, "Copyright"},
    {0x41B, "DepthOfField"},
    {0x41E, "EFCompensation"},
    {0x500, "Evf_OutputDevice"},
    {0x501, "Evf_Mode"},
    {0x502, "Evf_WhiteBalance"},
    {0x503, "Evf_ColorTemperature"},
    {0x504, "Evf_DepthOfFieldPreview"},
    {0x507, "Evf_Zoom"},
    {0x508, "Evf_ZoomPosition"},
    {0x509, "Evf_FocusAid"},
    {0x50A, "Evf_Histogram"},
    {0x50B, "Evf_ImagePosition"},
    {0x50C, "Evf_HistogramStatus"},
    {0x50E, "Evf_AFMode"},
    {0x800, "GPSVersionID"},
    {0x801, "GPSLatitudeRef"},
    {0x802, "GPSLatitude"},
    {0x803, "GPSLongitudeRef"},
    {0x804, "GPSLongitude"},
    {0x805, "GPSAltitudeRef"},
    {0x806, "GPSAltitude"},
    {0x807, "GPSTimeStamp"},
    {0x808, "GPSSatellites"},
    {0x809, "GPSStatus"},
    {0x812, "GPSMapDatum"},
    {0x81D, "GPSDateStamp"},
};
} // namespace

SNP_NameTable tableForPropertyID() { return kPropertyIDRows; }
const char* cStrForPropertyID(uint32_t code) { return SNP_lookupName(kPropertyIDRows, code, "unknown property"); }
QString strForPropertyID(uint32_t code) { return QString::fromUtf8(cStrForPropertyID(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraImageQualityRows[] = {
    {0x100F0F, "L"},
    {0x120000, "L2"},
    {0x120F0F, "L2"},
    {0x130000, "L1"},
    {0x130F0F, "L1"},
    {0x1F000F, "L"},
    {0x240012, "RAW+L2"},
    {0x240013, "RAW+L1"},
    {0x240112, "RAW+M2"},
    {0x240113, "RAW+M1"},
    {0x240212, "RAW+S2"},
    {0x240213, "RAW+S1"},
    {0x2F000F, "RAW"},
    {0x2F001F, "RAW+L"},
    {0x2F021F, "RAW+S"},
    {0x2F051F, "RAW+M1"},
    {0x2F061F, "RAW+M2"},
    {0x640010, "RAW+L"},
    {0x640012, "RAW+L2"},
    {0x640013, "RAW+L1"},
    {0x640112, "RAW+M2"},
    {0x640113, "RAW+M1"},
    {0x640210, "RAW+S"},
    {0x640212, "RAW+S2"},
    {0x640213, "RAW+S1"},
    {0x640510, "RAW+M1"},
    {0x640610, "RAW+M2"},
    {0x640F0F, "RAW"},
    {0x1120000, "M2"},
    {0x1120F0F, "M2"},
    {0x1130000, "M1"},
    {0x1130F0F, "M1"},
    {0x1640012, "sRAW1+L2"},
    {0x1640013, "sRAW1+L1"},
    {0x1640112, "sRAW1+M2"},
    {0x1640113, "sRAW1+M1"},
    {0x1640212, "sRAW1+S2"},
    {0x1640213, "sRAW1+S1"},
    {0x1640F0F, "sRAW1"},
    {0x2100F0F, "S"},
    {0x2120000, "S2"},
    {0x2120F0F, "S2"},
    {0x2130000, "S1"},
    {0x2130F0F, "S1"},
    {0x21F000F, "S"},
    {0x2640010, "sRAW+L"},
    {0x2640012, "sRAW+L2"},
    {0x2640013, "sRAW+L"},
    {0x2640112, "sRAW+M2"},
    {0x2640113, "sRAW+M"},
    {0x2640210, "sRAW+S"},
    {0x2640212, "sRAW+S2"},
    {0x2640213, "sRAW+S"},
    {0x2640510, "sRAW+M1"},
    {0x2640610, "sRAW+M2"},
    {0x2640F0F, "sRAW"},
    {0x5100F0F, "M1"},
    {0x51F000F, "M1"},
    {0x6100F0F, "M2"},
    {0x61F000F, "M2"},
};
} // namespace

SNP_NameTable tableForCanonCameraImageQuality() { return kCanonCameraImageQualityRows; }
const char* cStrForCanonCameraImageQuality(uint32_t code) { return SNP_lookupName(kCanonCameraImageQualityRows, code, "unknown"); }
QString strForCanonCameraImageQuality(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraImageQuality(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraISORows[] = {
    {0x28, "ISO 6"},
    {0x30, "ISO 12"},
    {0x38, "ISO 25"},
    {0x40, "ISO 50"},
    {0x48, "ISO 100"},
    {0x4B, "ISO 125"},
    {0x4D, "ISO 160"},
    {0x50, "ISO 200"},
    {0x53, "ISO 250"},
    {0x55, "ISO 320"},
    {0x58, "ISO 400"},
    {0x5B, "ISO 500"},
    {0x5D, "ISO 640"},
    {0x60, "ISO 800"},
    {0x63, "ISO 1000"},
    {0x65, "ISO 1250"},
    {0x68, "ISO 1600"},
    {0x70, "ISO 3200"},
    {0x78, "ISO 6400"},
    {0x80, "ISO 12800"},
    {0x88, "ISO 25600"},
};
} // namespace

SNP_NameTable tableForCanonCameraISO() { return kCanonCameraISORows; }
const char* cStrForCanonCameraISO(uint32_t code) { return SNP_lookupName(kCanonCameraISORows, code, "Auto"); }
QString strForCanonCameraISO(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraISO(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraEvRows[] = {
    {0x0, "0"},
    {0x3, "+1/3"},
    {0x4, "+1/2"},
    {0x5, "+2/3"},
    {0x8, "+1"},
    {0xB, "+1 1/3"},
    {0xC, "+1 1/2"},
    {0xD, "+1 2/3"},
    {0x10, "+2"},
    {0x13, "+2 1/3"},
    {0x14, "+2 1/2"},
    {0x15, "+2 2/3"},
    {0x18, "+3"},
    {0xE8, "-3"},
    {0xEB, "-2 2/3"},
    {0xEC, "-2 1/2"},
    {0xED, "-2 1/3"},
    {0xF0, "-2"},
    {0xF3, "-1 2/3"},
    {0xF4, "-1 1/2"},
    {0xF5, "-1 1/3"},
    {0xF8, "-1"},
    {0xFB, "-2/3"},
    {0xFC, "-1/2"},
    {0xFD, "-1/3"},
};
} // namespace

SNP_NameTable tableForCanonCameraEv() { return kCanonCameraEvRows; }
const char* cStrForCanonCameraEv(uint32_t code) { return SNP_lookupName(kCanonCameraEvRows, code, "unknown"); }
QString strForCanonCameraEv(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraEv(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraAFModeRows[] = {
    {0x0, "One Shot AF"},
    {0x1, "AI Servo AF"},
    {0x2, "AI Focus AF"},
    {0x3, "Manual Focus"},
};
} // namespace

SNP_NameTable tableForCanonCameraAFMode() { return kCanonCameraAFModeRows; }
const char* cStrForCanonCameraAFMode(uint32_t code) { return SNP_lookupName(kCanonCameraAFModeRows, code, "unknown"); }
QString strForCanonCameraAFMode(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraAFMode(code)); }

namespace {
constexpr SNP_NameRow kBatteryQualityRows[] = {
    {0x0, "Severely Degraded"},
    {0x1, "Degraded"},
    {0x2, "Medium"},
    {0x3, "High"},
};
} // namespace

SNP_NameTable tableForBatteryQuality() { return kBatteryQualityRows; }
const char* cStrForBatteryQuality(uint32_t code) { return SNP_lookupName(kBatteryQualityRows, code, "unknown"); }
QString strForBatteryQuality(uint32_t code) { return QString::fromUtf8(cStrForBatteryQuality(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraDriveModeRows[] = {
    {0x0, "Single-Frame Shooting"},
    {0x1, "Continuous Shooting"},
    {0x2, "Video"},
    {0x3, "Not used"},
    {0x4, "High-Speed Continuous Shooting"},
    {0x5, "Low-Speed Continuous Shooting"},
    {0x6, "Silent single shooting"},
    {0x7, "10-Sec Self-Timer plus continuous shots"},
    {0x10, "10-Sec Self-Timer"},
    {0x11, "2-Sec Self-Timer"},
};
} // namespace

SNP_NameTable tableForCanonCameraDriveMode() { return kCanonCameraDriveModeRows; }
const char* cStrForCanonCameraDriveMode(uint32_t code) { return SNP_lookupName(kCanonCameraDriveModeRows, code, "unknown"); }
QString strForCanonCameraDriveMode(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraDriveMode(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraAEModeRows[] = {
    {0x0, "Program AE"},
    {0x1, "Shutter-Speed Priority AE"},
    {0x2, "Aperture Priority AE"},
    {0x3, "Manual Exposure"},
    {0x4, "Bulb"},
    {0x5, "A-DEP"},
    {0x6, "DEP"},
    {0x9, "Auto"},
    {0xA, "Night Scene Portrait"},
    {0xB, "Sports"},
    {0xC, "Portrait"},
    {0xD, "Landscape"},
    {0xE, "Close-Up"},
    {0xF, "Flash Off"},
    {0x13, "Creative Auto"},
};
} // namespace

SNP_NameTable tableForCanonCameraAEMode() { return kCanonCameraAEModeRows; }
const char* cStrForCanonCameraAEMode(uint32_t code) { return SNP_lookupName(kCanonCameraAEModeRows, code, "unknown"); }
QString strForCanonCameraAEMode(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraAEMode(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraMeteringModeRows[] = {
    {0x1, "Spot metering"},
    {0x3, "Evaluative metering"},
    {0x4, "Partial metering"},
    {0x5, "Center-weighted averaging metering"},
};
} // namespace

SNP_NameTable tableForCanonCameraMeteringMode() { return kCanonCameraMeteringModeRows; }
const char* cStrForCanonCameraMeteringMode(uint32_t code) { return SNP_lookupName(kCanonCameraMeteringModeRows, code, "unknown"); }
QString strForCanonCameraMeteringMode(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraMeteringMode(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraColorSpaceRows[] = {
    {0x1, "sRGB"},
    {0x2, "Adobe RGB"},
};
} // namespace

SNP_NameTable tableForCanonCameraColorSpace() { return kCanonCameraColorSpaceRows; }
const char* cStrForCanonCameraColorSpace(uint32_t code) { return SNP_lookupName(kCanonCameraColorSpaceRows, code, "unknown"); }
QString strForCanonCameraColorSpace(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraColorSpace(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraWBRows[] = {
    {0x0, "Auto"},
    {0x1, "Daylight"},
    {0x2, "Cloudy"},
    {0x3, "Tungsten"},
    {0x4, "Fluorescent"},
    {0x5, "Flash"},
    {0x6, "Manual (set by shooting a white card or paper)"},
    {0x8, "Shade"},
    {0x9, "Color temperature"},
    {0xA, "Custom white balance: PC-1"},
    {0xB, "Custom white balance: PC-2"},
    {0xC, "Custom white balance: PC-3"},
    {0xF, "Manual 2"},
    {0x10, "Manual 3"},
    {0x12, "Manual 4"},
    {0x13, "Manual 5"},
    {0x14, "Custom white balance: PC-4"},
    {0x15, "Custom white balance: PC-5"},
    {0xFFFFFFFF, "Setting the white balance by clicking image coordinates"},
};
} // namespace

SNP_NameTable tableForCanonCameraWB() { return kCanonCameraWBRows; }
const char* cStrForCanonCameraWB(uint32_t code) { return SNP_lookupName(kCanonCameraWBRows, code, "unknown"); }
QString strForCanonCameraWB(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraWB(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraAvRows[] = {
    {0x8, "1"},
    {0xB, "1.1"},
    {0xC, "1.2"},
    {0xD, "1.2 (1/3)"},
    {0x10, "1.4"},
    {0x13, "1.6"},
    {0x14, "1.8"},
    {0x15, "1.8 (1/3)"},
    {0x18, "2"},
    {0x1B, "2.2"},
    {0x1C, "2.5"},
    {0x1D, "2.5 (1/3)"},
    {0x20, "2.8"},
    {0x23, "3.2"},
    {0x24, "3.5"},
    {0x25, "3.5 (1/3)"},
    {0x28, "4"},
    {0x2B, "4.5"},
    {0x2C, "4.5"},
    {0x2D, "5.0"},
    {0x30, "5.6"},
    {0x33, "6.3"},
    {0x34, "6.7"},
    {0x35, "7.1"},
    {0x38, "8"},
    {0x3B, "9"},
    {0x3C, "9.5"},
    {0x3D, "10"},
    {0x40, "11"},
    {0x43, "13 (1/3)"},
    {0x44, "13"},
    {0x45, "14"},
    {0x48, "16"},
    {0x4B, "18"},
    {0x4C, "19"},
    {0x4D, "20"},
    {0x50, "22"},
    {0x53, "25"},
    {0x54, "27"},
    {0x55, "29"},
    {0x58, "32"},
    {0x5B, "36"},
    {0x5C, "38"},
    {0x5D, "40"},
    {0x60, "45"},
    {0x63, "51"},
    {0x64, "54"},
    {0x65, "57"},
    {0x68, "64"},
    {0x6B, "72"},
    {0x6C, "76"},
    {0x6D, "80"},
    {0x70, "91"},
};
} // namespace

SNP_NameTable tableForCanonCameraAv() { return kCanonCameraAvRows; }
const char* cStrForCanonCameraAv(uint32_t code) { return SNP_lookupName(kCanonCameraAvRows, code, "Auto"); }
QString strForCanonCameraAv(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraAv(code)); }

namespace {
constexpr SNP_NameRow kCanonCameraTvRows[] = {
    {0xC, "Bulb"},
    {0x10, "30\""},
    {0x13, "25\""},
    {0x14, "20\""},
    {0x15, "20\" (1/3)"},
    {0x18, "15\""},
    {0x1B, "13\""},
    {0x1C, "10\""},
    {0x1D, "10\" (1/3)"},
    {0x20, "8\""},
    {0x23, "6\" (1/3)"},
    {0x24, "6\""},
    {0x25, "5\""},
    {0x28, "4\""},
    {0x2B, "3\"2"},
    {0x2C, "3\""},
    {0x2D, "2\"5"},
    {0x30, "2\""},
    {0x33, "1\"6"},
    {0x34, "1\"5"},
    {0x35, "1\"3"},
    {0x38, "1\""},
    {0x3B, "0\"8"},
    {0x3C, "0\"7"},
    {0x3D, "0\"6"},
    {0x40, "0\"5"},
    {0x43, "0\"4"},
    {0x44, "0\"3"},
    {0x45, "0\"3 (1/3)"},
    {0x48, "1/4"},
    {0x4B, "1/5"},
    {0x4C, "1/6"},
    {0x4D, "1/6 (1/3)"},
    {0x50, "1/8"},
    {0x53, "1/10 (1/3)"},
    {0x54, "1/10"},
    {0x55, "1/13"},
    {0x58, "1/15"},
    {0x5B, "1/20 (1/3)"},
    {0x5C, "1/20"},
    {0x5D, "1/25"},
    {0x60, "1/30"},
    {0x63, "1/40"},
    {0x64, "1/45"},
    {0x65, "1/50"},
    {0x68, "1/60"},
    {0x6B, "1/80"},
    {0x6C, "1/90"},
    {0x6D, "1/100"},
    {0x70, "1/125"},
    {0x73, "1/160"},
    {0x74, "1/180"},
    {0x75, "1/200"},
    {0x78, "1/250"},
    {0x7B, "1/320"},
    {0x7C, "1/350"},
    {0x7D, "1/400"},
    {0x80, "1/500"},
    {0x83, "1/640"},
    {0x84, "1/750"},
    {0x85, "1/800"},
    {0x88, "1/1000"},
    {0x8B, "1/1250"},
    {0x8C, "1/1500"},
    {0x8D, "1/1600"},
    {0x90, "1/2000"},
    {0x93, "1/2500"},
    {0x94, "1/3000"},
    {0x95, "1/3200"},
    {0x98, "1/4000"},
    {0x9B, "1/5000"},
    {0x9C, "1/6000"},
    {0x9D, "1/6400"},
    {0xA0, "1/8000"},
    {0xFFFFFFFF, "Not valid/No settings changes"},
};
} // namespace

SNP_NameTable tableForCanonCameraTv() { return kCanonCameraTvRows; }
const char* cStrForCanonCameraTv(uint32_t code) { return SNP_lookupName(kCanonCameraTvRows, code, "Auto"); }
QString strForCanonCameraTv(uint32_t code) { return QString::fromUtf8(cStrForCanonCameraTv(code)); }

const char* cStrForCanonCameraGeneric(uint32_t)
{
    return "unknown";
}

QString strForCanonCameraGeneric(uint32_t code)
{
    return QString::fromUtf8(cStrForCanonCameraGeneric(code));
}

QString strForUInt32(uint32_t code)
{
    return QString::asprintf("0X%X", code);
}

QString strForDecimalPercent(uint32_t code)
{
    return QString::asprintf("%d %%", static_cast<int32_t>(code));
}
