// The camera's name functions against the tables in tests/data/camera_names.tsv:
// every listed code gives its text exactly, no other code is listed, and unlisted codes get
// the function's fallback.
#include "NameTableData.h"
#include "SNP_CanonCameraNames.h"

#include <gtest/gtest.h>

namespace {

struct TableCase {
    const char* function;
    SNP_NameTable (*table)();
    QString (*lookup)(uint32_t);
    const char* (*cLookup)(uint32_t);
    size_t rows;
    const char* fallback;
};

#define CASE(Base, rows, fallback) {"strFor" #Base, tableFor##Base, strFor##Base, cStrFor##Base, rows, fallback}
const TableCase kCases[] = {
    CASE(EDSDataType, 28, "unknown error"),
    CASE(EDSError, 118, "unknown error"),
    CASE(PropertyID, 91, "unknown property"),
    CASE(CanonCameraImageQuality, 60, "unknown"),
    CASE(CanonCameraISO, 21, "Auto"),
    CASE(CanonCameraEv, 25, "unknown"),
    CASE(CanonCameraAFMode, 4, "unknown"),
    CASE(BatteryQuality, 4, "unknown"),
    CASE(CanonCameraDriveMode, 10, "unknown"),
    CASE(CanonCameraAEMode, 15, "unknown"),
    CASE(CanonCameraMeteringMode, 4, "unknown"),
    CASE(CanonCameraColorSpace, 2, "unknown"),
    CASE(CanonCameraWB, 19, "unknown"),
    CASE(CanonCameraAv, 53, "Auto"),
    CASE(CanonCameraTv, 75, "Auto"),
};
#undef CASE

// Unlisted codes next to listed ones: 0, gaps in the numbering, and a negative value that
// must not be read as its byte. (Every table's own fallback is checked below.)
const struct {
    QString (*lookup)(uint32_t);
    uint32_t code;
    const char* text;
} kUnlisted[] = {
    {strForEDSError, 0, "unknown error"},         {strForEDSDataType, 5, "unknown error"},
    {strForPropertyID, 0x415, "unknown property"}, {strForCanonCameraISO, 0, "Auto"},
    {strForCanonCameraAv, 0, "Auto"},             {strForCanonCameraTv, 0x49, "Auto"},
    {strForCanonCameraEv, 0xFFFFFFE8, "unknown"}, {strForCanonCameraGeneric, 0x100F0F, "unknown"},
};

} // namespace

TEST(CameraNames, EveryFunctionGivesExactlyTheListedTexts)
{
    const auto data = nameTableData("camera_names.tsv");
    ASSERT_EQ(data.size(), std::size(kCases)) << "tests/data/camera_names.tsv is missing or malformed";
    for (const TableCase& c : kCases) {
        SCOPED_TRACE(c.function);
        const auto listed = data.find(QString::fromLatin1(c.function));
        ASSERT_NE(listed, data.end());
        EXPECT_EQ(listed->second.size(), c.rows);
        for (const auto& [code, text] : listed->second) {
            EXPECT_EQ(c.lookup(code).toStdString(), text) << "code 0x" << std::hex << code;
            EXPECT_EQ(c.cLookup(code), text) << "code 0x" << std::hex << code;
        }
        EXPECT_EQ(c.table().size(), listed->second.size());
        for (const SNP_NameRow& row : c.table())
            EXPECT_TRUE(listed->second.count(row.code)) << "unlisted code 0x" << std::hex << row.code;
        EXPECT_EQ(c.lookup(0x7EADBEEF).toStdString(), c.fallback);
        EXPECT_STREQ(c.cLookup(0x7EADBEEF), c.fallback);
    }
    for (const auto& u : kUnlisted)
        EXPECT_EQ(u.lookup(u.code).toStdString(), u.text) << "code 0x" << std::hex << u.code;
}
