// The diagnostic name functions against the tables in tests/data/diagnostic_names.tsv: every
// listed value gives its text exactly, no other value is listed, and unlisted values next
// to listed ones (combined event bits, gaps, the ends of the numbered ranges) get the
// function's fallback.
#include "NameTableData.h"
#include "SNP_DiagnosticNames.h"

#include <gtest/gtest.h>

TEST(DiagnosticNames, EveryFunctionGivesExactlyTheListedTexts)
{
    struct Case {
        const char* function;
        SNP_NameTable (*table)();
        const char* (*lookup)(uint32_t);
        size_t rows;
        const char* fallback;
        std::vector<uint32_t> unlisted;
    };
#define CASE(Base, rows, fallback, ...) {"strFor" #Base, tableFor##Base, strFor##Base, rows, fallback, __VA_ARGS__}
    const Case cases[] = {
        CASE(CFStreamStatus, 8, "kCFStreamStatusUnknown", {8}),
        CASE(CFEventType, 6, "kCFStreamEventUnknown", {3}),
        CASE(IOMessage, 22, "kIOMessageUnknown", {0}),
        CASE(IOReturn, 47, "kIOReturnError", {0xE00002BC, 0xE0004004}),
        CASE(Errno, 43, "unknown", {0, 44}),
        CASE(Signal, 30, "unknown", {0, 7, 32}),
    };
#undef CASE
    const auto data = nameTableData("diagnostic_names.tsv");
    ASSERT_EQ(data.size(), std::size(cases)) << "tests/data/diagnostic_names.tsv is missing or malformed";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        const auto listed = data.find(QString::fromLatin1(c.function));
        ASSERT_NE(listed, data.end());
        EXPECT_EQ(listed->second.size(), c.rows);
        for (const auto& [value, text] : listed->second)
            EXPECT_EQ(c.lookup(value), text) << "value 0x" << std::hex << value;
        EXPECT_EQ(c.table().size(), listed->second.size());
        for (const SNP_NameRow& row : c.table())
            EXPECT_TRUE(listed->second.count(row.code)) << "unlisted value 0x" << std::hex << row.code;
        for (const uint32_t value : c.unlisted)
            EXPECT_STREQ(c.lookup(value), c.fallback) << "value 0x" << std::hex << value;
        EXPECT_STREQ(c.lookup(0x7EADBEEF), c.fallback);
    }
}
