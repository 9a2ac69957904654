// SPDX-License-Identifier: GPL-3.0-or-later
// "_motion.tsv" files: their name, what is written and read back, and files that are not
// one.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "files/fileerrors.h"
#include "files/motionfile.h"
#include "support/temporaryfolder.h"

TEST(MotionFile, WritesAHeaderAndOneLinePerVolumeAndReadsThemBack)
{
    EXPECT_EQ(motionFileName("data/run1.fmr"), "data/run1_motion.tsv");
    const TemporaryFolder folder;
    const std::string path = folder.path() + "/run_motion.tsv";
    writeMotionFile(path, {{0, {0.0, -0.0, 0.0}, {0.0, 0.0, 0.0}}, {3, {1.25, -0.5, 2.0}, {0.5, -1.5, 10.0}}});
    std::ifstream in(path);
    std::string header, first, second;
    std::getline(in, header);
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(header, "volume\ttrans_x_mm\ttrans_y_mm\ttrans_z_mm\trot_x_deg\trot_y_deg\trot_z_deg");
    EXPECT_EQ(first, "0\t0.0000\t0.0000\t0.0000\t0.0000\t0.0000\t0.0000");
    EXPECT_EQ(second, "3\t1.2500\t-0.5000\t2.0000\t0.5000\t-1.5000\t10.0000");
    const std::vector<VolumeMotionRow> rows = readMotionFile(path);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].volume, 3u);
    EXPECT_DOUBLE_EQ(rows[1].translation[0], 1.25);
    EXPECT_DOUBLE_EQ(rows[1].rotation[2], 10.0);
}

TEST(MotionFile, RefusesAFileThatIsNotOne)
{
    const TemporaryFolder folder;
    EXPECT_THROW(readMotionFile(folder.path() + "/missing.tsv"), OpenFileError);
    const std::string path = folder.path() + "/other.tsv";
    std::ofstream(path) << "a\tb\n1\t2\n";
    EXPECT_THROW(readMotionFile(path), ReadFileError);
}
