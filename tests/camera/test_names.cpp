#include "SNP_CanonCameraNames.h"

#include <gtest/gtest.h>

#include <QSet>
#include <QString>
#include <cstring>
#include <set>

namespace {

struct TableCase {
    const char* name;
    SNP_NameTable (*table)();
    QString (*lookup)(uint32_t);
    const char* (*cLookup)(uint32_t);
    size_t rows;
    const char* fallback;
};

const TableCase kCases[] = {
    {"EDSDataType", tableForEDSDataType, strForEDSDataType, cStrForEDSDataType, 28, "unknown error"},
    {"EDSError", tableForEDSError, strForEDSError, cStrForEDSError, 118, "unknown error"},
    {"PropertyID", tableForPropertyID, strForPropertyID, cStrForPropertyID, 91, "unknown property"},
    {"ImageQuality", tableForCanonCameraImageQuality, strForCanonCameraImageQuality,
     cStrForCanonCameraImageQuality, 60, "unknown"},
    {"ISO", tableForCanonCameraISO, strForCanonCameraISO, cStrForCanonCameraISO, 21, "Auto"},
    {"Ev", tableForCanonCameraEv, strForCanonCameraEv, cStrForCanonCameraEv, 25, "unknown"},
    {"AFMode", tableForCanonCameraAFMode, strForCanonCameraAFMode, cStrForCanonCameraAFMode, 4, "unknown"},
    {"BatteryQuality", tableForBatteryQuality, strForBatteryQuality, cStrForBatteryQuality, 4, "unknown"},
    {"DriveMode", tableForCanonCameraDriveMode, strForCanonCameraDriveMode, cStrForCanonCameraDriveMode,
     10, "unknown"},
    {"AEMode", tableForCanonCameraAEMode, strForCanonCameraAEMode, cStrForCanonCameraAEMode, 15, "unknown"},
    {"MeteringMode", tableForCanonCameraMeteringMode, strForCanonCameraMeteringMode,
     cStrForCanonCameraMeteringMode, 4, "unknown"},
    {"ColorSpace", tableForCanonCameraColorSpace, strForCanonCameraColorSpace,
     cStrForCanonCameraColorSpace, 2, "unknown"},
    {"WB", tableForCanonCameraWB, strForCanonCameraWB, cStrForCanonCameraWB, 19, "unknown"},
    {"Av", tableForCanonCameraAv, strForCanonCameraAv, cStrForCanonCameraAv, 53, "Auto"},
    {"Tv", tableForCanonCameraTv, strForCanonCameraTv, cStrForCanonCameraTv, 75, "Auto"},
};

// A code that none of the tables lists.
constexpr uint32_t kUnlisted = 0x7EADBEEF;

} // namespace

TEST(CameraNames, EveryTableHasItsRowsInCodeOrderWithUniqueCodes)
{
    for (const TableCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const SNP_NameTable table = c.table();
        EXPECT_EQ(table.size(), c.rows);
        std::set<uint32_t> codes;
        uint32_t previous = 0;
        bool first = true;
        for (const SNP_NameRow& row : table) {
            EXPECT_TRUE(codes.insert(row.code).second) << "duplicate code " << row.code;
            if (!first) {
                EXPECT_GT(row.code, previous);
            }
            previous = row.code;
            first = false;
            ASSERT_NE(row.text, nullptr);
            EXPECT_GT(std::strlen(row.text), 0u);
        }
    }
}

TEST(CameraNames, LookupsFindEveryRowAndFallBackOtherwise)
{
    for (const TableCase& c : kCases) {
        SCOPED_TRACE(c.name);
        for (const SNP_NameRow& row : c.table()) {
            EXPECT_EQ(c.lookup(row.code), QString::fromUtf8(row.text));
            EXPECT_STREQ(c.cLookup(row.code), row.text);
        }
        EXPECT_EQ(c.lookup(kUnlisted), QString::fromUtf8(c.fallback));
        EXPECT_STREQ(c.cLookup(kUnlisted), c.fallback);
    }
}

TEST(CameraNames, ErrorsDataTypesAndProperties)
{
    EXPECT_EQ(strForEDSError(0xA102), "object notready");
    EXPECT_EQ(strForEDSError(0x1), "unimplemented");
    EXPECT_EQ(strForEDSError(0x8D01), "take picture af ng");
    EXPECT_EQ(strForEDSError(0), "unknown error");
    EXPECT_EQ(strForEDSError(0x52), "unknown error");
    EXPECT_EQ(strForEDSDataType(5), "unknown error");
    EXPECT_EQ(strForEDSDataType(0), "Unknown");
    EXPECT_EQ(strForEDSDataType(102), "PictureStyleDesc");
    EXPECT_EQ(strForPropertyID(0x415), "unknown property");
    EXPECT_EQ(strForPropertyID(0x414), "FlashMode");
    EXPECT_EQ(strForPropertyID(0x416), "LensStatus");
    EXPECT_EQ(strForPropertyID(0x81D), "GPSDateStamp");
    EXPECT_EQ(strForPropertyID(0x502), "Evf_WhiteBalance");
}

TEST(CameraNames, ValueTablesEdgeCases)
{
    EXPECT_EQ(strForCanonCameraISO(0), "Auto");
    EXPECT_EQ(strForCanonCameraISO(0x49), "Auto");
    EXPECT_EQ(strForCanonCameraISO(0x48), "ISO 100");
    EXPECT_EQ(strForCanonCameraAv(0), "Auto");
    EXPECT_EQ(strForCanonCameraTv(0x49), "Auto");

    EXPECT_EQ(strForCanonCameraTv(0xFFFFFFFF), "Not valid/No settings changes");
    EXPECT_EQ(strForCanonCameraWB(0xFFFFFFFF), "Setting the white balance by clicking image coordinates");
    EXPECT_EQ(strForCanonCameraWB(0x7), "unknown");

    EXPECT_EQ(strForCanonCameraEv(0xE8), "-3");
    EXPECT_EQ(strForCanonCameraEv(0xFFFFFFE8), "unknown");
    EXPECT_EQ(strForCanonCameraEv(0xFD), "-1/3");
    EXPECT_EQ(strForCanonCameraEv(0), "0");

    // Seconds marks are part of the texts.
    EXPECT_EQ(strForCanonCameraTv(0x10), "30\"");
    EXPECT_EQ(strForCanonCameraTv(0x2B), "3\"2");
    EXPECT_EQ(strForCanonCameraTv(0x45), "0\"3 (1/3)");
    EXPECT_EQ(strForCanonCameraTv(0xC), "Bulb");
    EXPECT_EQ(strForCanonCameraTv(0xA0), "1/8000");

    EXPECT_EQ(strForCanonCameraDriveMode(16), "10-Sec Self-Timer");
    EXPECT_EQ(strForCanonCameraDriveMode(8), "unknown");
    EXPECT_EQ(strForCanonCameraAEMode(19), "Creative Auto");
    EXPECT_EQ(strForCanonCameraMeteringMode(2), "unknown");
    EXPECT_EQ(strForCanonCameraColorSpace(2), "Adobe RGB");
    EXPECT_EQ(strForBatteryQuality(3), "High");
    EXPECT_EQ(strForCanonCameraAFMode(3), "Manual Focus");
}

TEST(CameraNames, SharedTextsCollapseWhenKeyedByText)
{
    EXPECT_EQ(strForCanonCameraAv(0x2B), "4.5");
    EXPECT_EQ(strForCanonCameraAv(0x2C), "4.5");
    EXPECT_EQ(strForCanonCameraImageQuality(0x100F0F), "L");
    EXPECT_EQ(strForCanonCameraImageQuality(0x1F000F), "L");
    EXPECT_EQ(strForCanonCameraImageQuality(0x2640013), "sRAW+L");
    EXPECT_EQ(strForCanonCameraImageQuality(0x0), "unknown");

    QSet<QString> qualityTexts;
    for (const SNP_NameRow& row : tableForCanonCameraImageQuality())
        qualityTexts.insert(QString::fromUtf8(row.text));
    EXPECT_LT(qualityTexts.size(), 60);
    EXPECT_TRUE(qualityTexts.contains("sRAW1+S1"));

    QSet<QString> avTexts;
    for (const SNP_NameRow& row : tableForCanonCameraAv())
        avTexts.insert(QString::fromUtf8(row.text));
    EXPECT_EQ(avTexts.size(), 52);
}

TEST(CameraNames, GenericAndFormattedTexts)
{
    EXPECT_EQ(strForCanonCameraGeneric(0), "unknown");
    EXPECT_EQ(strForCanonCameraGeneric(0x100F0F), "unknown");
    EXPECT_STREQ(cStrForCanonCameraGeneric(0xFFFFFFFF), "unknown");
    EXPECT_EQ(strForUInt32(255), "0XFF");
    EXPECT_EQ(strForUInt32(0), "0X0");
    EXPECT_EQ(strForUInt32(0xFFFFFFFF), "0XFFFFFFFF");
    EXPECT_EQ(strForDecimalPercent(80), "80 %");
    EXPECT_EQ(strForDecimalPercent(0), "0 %");
    EXPECT_EQ(strForDecimalPercent(0xFFFFFFFE), "-2 %");
}
