#include "SNP_DiagnosticNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

struct DiagnosticCase {
    const char* name;
    SNP_NameTable (*table)();
    const char* (*lookup)(uint32_t);
    size_t rows;
    const char* fallback;
};

const DiagnosticCase kCases[] = {
    {"CFStreamStatus", tableForCFStreamStatus, strForCFStreamStatus, 8, "kCFStreamStatusUnknown"},
    {"CFEventType", tableForCFEventType, strForCFEventType, 6, "kCFStreamEventUnknown"},
    {"IOMessage", tableForIOMessage, strForIOMessage, 22, "kIOMessageUnknown"},
    {"IOReturn", tableForIOReturn, strForIOReturn, 47, "kIOReturnError"},
    {"Errno", tableForErrno, strForErrno, 43, "unknown"},
    {"Signal", tableForSignal, strForSignal, 30, "unknown"},
};

} // namespace

TEST(DiagnosticNames, RowCountsLookupsAndFallbacks)
{
    for (const DiagnosticCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const SNP_NameTable table = c.table();
        EXPECT_EQ(table.size(), c.rows);
        std::set<uint32_t> codes;
        for (const SNP_NameRow& row : table) {
            EXPECT_TRUE(codes.insert(row.code).second) << "duplicate code " << row.code;
            EXPECT_STREQ(c.lookup(row.code), row.text);
        }
        EXPECT_STREQ(c.lookup(0x7EADBEEF), c.fallback);
    }
}

TEST(DiagnosticNames, NumberedTablesCoverTheirRanges)
{
    for (uint32_t n = 0; n < 8; ++n)
        EXPECT_STRNE(strForCFStreamStatus(n), "kCFStreamStatusUnknown") << n;
    EXPECT_STREQ(strForCFStreamStatus(0), "kCFStreamStatusNotOpen");
    EXPECT_STREQ(strForCFStreamStatus(7), "kCFStreamStatusError");
    EXPECT_STREQ(strForCFStreamStatus(8), "kCFStreamStatusUnknown");

    for (uint32_t n = 1; n <= 43; ++n)
        EXPECT_STRNE(strForErrno(n), "unknown") << n;
    EXPECT_STREQ(strForErrno(0), "unknown");
    EXPECT_STREQ(strForErrno(44), "unknown");
    EXPECT_STREQ(strForErrno(2), "ENOENT - No such file or directory");
    EXPECT_STREQ(strForErrno(35), "EAGAIN - Resource temporarily unavailable; Operation would block");

    for (uint32_t n = 1; n <= 31; ++n) {
        if (n == 7)
            EXPECT_STREQ(strForSignal(n), "unknown");
        else
            EXPECT_STRNE(strForSignal(n), "unknown") << n;
    }
    EXPECT_STREQ(strForSignal(0), "unknown");
    EXPECT_STREQ(strForSignal(32), "unknown");
    EXPECT_STREQ(strForSignal(11), "SEGmentation Violation");
}

TEST(DiagnosticNames, EventBitsMessagesAndReturnCodes)
{
    EXPECT_STREQ(strForCFEventType(0), "kCFStreamEventNone");
    EXPECT_STREQ(strForCFEventType(16), "kCFStreamEventEndEncountered");
    EXPECT_STREQ(strForCFEventType(3), "kCFStreamEventUnknown"); // no combinations

    EXPECT_STREQ(strForIOMessage(0xE0000010), "kIOMessageServiceIsTerminated");
    EXPECT_STREQ(strForIOMessage(0xE0000330), "kIOMessageCopyClientID");
    EXPECT_STREQ(strForIOMessage(0), "kIOMessageUnknown");

    EXPECT_STREQ(strForIOReturn(0), "kIOReturnSuccess");
    EXPECT_STREQ(strForIOReturn(0xE00002C2), "kIOReturnBadArgument");
    EXPECT_STREQ(strForIOReturn(0xE00002E7), "kIOReturnUnderrun");
    EXPECT_STREQ(strForIOReturn(0xE0004061), "kIOUSBUnknownPipeErr");
    EXPECT_STREQ(strForIOReturn(0xE00002BC), "kIOReturnError");
    EXPECT_STREQ(strForIOReturn(0xE0004004), "kIOReturnError");
}
