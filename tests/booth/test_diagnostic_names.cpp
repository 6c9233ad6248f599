// The diagnostic name functions against the tables in tests/data/diagnostic_names.tsv: every
// listed value gives its text exactly, no other value is listed, and unlisted values get the
// function's fallback.
#include "NameTableData.h"
#include "SNP_DiagnosticNames.h"

#include <gtest/gtest.h>

namespace {

struct DiagnosticCase {
    const char* function;
    SNP_NameTable (*table)();
    const char* (*lookup)(uint32_t);
    size_t rows;
    const char* fallback;
};

#define CASE(Base, rows, fallback) {"strFor" #Base, tableFor##Base, strFor##Base, rows, fallback}
const DiagnosticCase kCases[] = {
    CASE(CFStreamStatus, 8, "kCFStreamStatusUnknown"),
    CASE(CFEventType, 6, "kCFStreamEventUnknown"),
    CASE(IOMessage, 22, "kIOMessageUnknown"),
    CASE(IOReturn, 47, "kIOReturnError"),
    CASE(Errno, 43, "unknown"),
    CASE(Signal, 30, "unknown"),
};
#undef CASE

// Unlisted values next to listed ones: no combinations of event bits, gaps, the ends of the
// numbered ranges.
const struct {
    const char* (*lookup)(uint32_t);
    uint32_t value;
    const char* text;
} kUnlisted[] = {
    {strForCFStreamStatus, 8, "kCFStreamStatusUnknown"}, {strForCFEventType, 3, "kCFStreamEventUnknown"},
    {strForIOMessage, 0, "kIOMessageUnknown"},           {strForIOReturn, 0xE00002BC, "kIOReturnError"},
    {strForIOReturn, 0xE0004004, "kIOReturnError"},      {strForErrno, 0, "unknown"},
    {strForErrno, 44, "unknown"},                        {strForSignal, 0, "unknown"},
    {strForSignal, 7, "unknown"},                        {strForSignal, 32, "unknown"},
};

} // namespace

TEST(DiagnosticNames, EveryFunctionGivesExactlyTheListedTexts)
{
    const auto data = nameTableData("diagnostic_names.tsv");
    ASSERT_EQ(data.size(), std::size(kCases)) << "tests/data/diagnostic_names.tsv is missing or malformed";
    for (const DiagnosticCase& c : kCases) {
        SCOPED_TRACE(c.function);
        const auto listed = data.find(QString::fromLatin1(c.function));
        ASSERT_NE(listed, data.end());
        EXPECT_EQ(listed->second.size(), c.rows);
        for (const auto& [value, text] : listed->second)
            EXPECT_EQ(c.lookup(value), text) << "value 0x" << std::hex << value;
        EXPECT_EQ(c.table().size(), listed->second.size());
        for (const SNP_NameRow& row : c.table())
            EXPECT_TRUE(listed->second.count(row.code)) << "unlisted value 0x" << std::hex << row.code;
        EXPECT_STREQ(c.lookup(0x7EADBEEF), c.fallback);
    }
    for (const auto& u : kUnlisted)
        EXPECT_STREQ(u.lookup(u.value), u.text) << "value 0x" << std::hex << u.value;
}
