// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "files/filenames.h"

TEST(FileNames, PartsSplitAtEitherSeparator)
{
    EXPECT_EQ(fileNamePart("/data/sub-01/run1.fmr"), "run1.fmr");
    EXPECT_EQ(fileNamePart("C:\\data\\run1.fmr"), "run1.fmr");
    EXPECT_EQ(fileNamePart("run1.fmr"), "run1.fmr");
    EXPECT_EQ(directoryPart("/data/sub-01/run1.fmr"), "/data/sub-01/");
    EXPECT_EQ(directoryPart("C:\\data/mixed\\run1.fmr"), "C:\\data/mixed\\");
    EXPECT_EQ(directoryPart("run1.fmr"), "");
}

TEST(FileNames, ExtensionsAreTheLastDotAnywhere)
{
    EXPECT_EQ(stripExtension("/a.b/run1.fmr"), "/a.b/run1");
    EXPECT_EQ(stripExtension("/a.b/run1"), "/a");
    EXPECT_EQ(stripExtension("run1"), "run1");
    EXPECT_EQ(replaceExtension("/data/run1.fmr", "map"), "/data/run1.map");
    EXPECT_EQ(replaceExtension("run1", "map"), "run1.map");
}

TEST(FileNames, InsertSuffixBeforeTheLastDot)
{
    EXPECT_EQ(insertSuffix("/data/run1.fmr", "_undist"), "/data/run1_undist.fmr");
    EXPECT_EQ(insertSuffix("run1", "_undist"), "run1_undist");
    EXPECT_EQ(insertSuffix("/data.v2/run1", "_undist"), "/data_undist.v2/run1");
    EXPECT_EQ(insertSuffix(replaceExtension("run1.fmr", "map"), "_vdm"), "run1_vdm.map");
    EXPECT_EQ(insertSuffix(replaceExtension("/data/scan", "map"), "_vdm"), "/data/scan_vdm.map");
}

TEST(FileNames, HasExtensionIsExactAndCaseSensitive)
{
    EXPECT_TRUE(hasExtension("/data/run1.fmr", "fmr"));
    EXPECT_FALSE(hasExtension("/data/run1.FMR", "fmr"));
    EXPECT_FALSE(hasExtension("fmr", "fmr"));
    EXPECT_FALSE(hasExtension("", "fmr"));
    EXPECT_FALSE(hasExtension("/data/run1.xfmr", "fmr"));
    EXPECT_TRUE(hasExtension(".fmr", "fmr"));
}
