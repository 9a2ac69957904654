// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/mdhslog.h"

namespace {

std::vector<std::string> entries;

void record(const char* text)
{
    entries.push_back(text);
}

class LogStream : public ::testing::Test {
protected:
    void SetUp() override { entries.clear(); }
};

}  // namespace

TEST_F(LogStream, OneFlushIsOneEntryWithEverythingWrittenSince)
{
    MDHSLog log(record);
    log << "a";
    log << "b";
    EXPECT_TRUE(entries.empty());
    log.flush();
    log << "\nLevel " << 3 << ": " << 0.1234567 << " voxels\n";
    log.flush();
    EXPECT_EQ(entries, (std::vector<std::string>{"ab", "\nLevel 3: 0.123457 voxels\n"}));
}

TEST_F(LogStream, FlushWithoutTextGivesAnEmptyEntry)
{
    MDHSLog log(record);
    log << "Done.";
    log.flush();
    log.flush();
    EXPECT_EQ(entries, (std::vector<std::string>{"Done.", ""}));
}

TEST_F(LogStream, DestructionPassesUnflushedTextOnOnce)
{
    {
        MDHSLog log(record);
        log << "x";
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"x"}));
    entries.clear();
    {
        MDHSLog log(record);
        log << "y";
        log.flush();
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"y", ""}));
}

TEST(AssertionError, MessageNamesSourceLineAndCondition)
{
    const std::logic_error error = makeAssertionError("src\\distcor", 124, "slices != nullptr");
    EXPECT_STREQ(error.what(), "assertion failure (src\\distcor:124): slices != nullptr");
    try {
        check(1 + 1 == 3, "src\\vdm", 7, "1 + 1 == 3");
        FAIL() << "check did not throw";
    } catch (const std::logic_error& thrown) {
        EXPECT_STREQ(thrown.what(), "assertion failure (src\\vdm:7): 1 + 1 == 3");
    }
    EXPECT_NO_THROW(check(true, "src\\vdm", 7, "true"));
}
