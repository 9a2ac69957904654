// SPDX-License-Identifier: GPL-3.0-or-later
// The head's motion in the two runs that combine restores together.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "plugin/combinemotion.h"
#include "support/temporaryfolder.h"

namespace {

constexpr double kRadian = 3.14159265358979323846 / 180.0;

VolumeMotionRow row(unsigned volume, double x, double rotationZ = 0.0)
{
    VolumeMotionRow r;
    r.volume = volume;
    r.translation = {x, 0.0, 0.0};
    r.rotation = {0.0, 0.0, rotationZ};
    return r;
}

std::string motionFile(const TemporaryFolder& folder, const std::string& name, const std::vector<VolumeMotionRow>& rows)
{
    const std::string path = folder.path() + "/" + name;
    writeMotionFile(path, rows);
    return path;
}

// The message of the runtime error that reading the two files throws.
std::string refusal(const std::string& plus, const std::string& minus)
{
    try {
        readRunsMotion(plus, "ap.fmr", minus, "pa.fmr", 2);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}

}  // namespace

TEST(CombineMotion, EveryVolumeTakesItsRowOrTheFirstRowOfItsFile)
{
    const TemporaryFolder folder;
    const std::string plus = motionFile(folder, "ap_motion.tsv", {row(0, 0.0), row(1, 1.0), row(2, 2.0)});
    const std::string minus = motionFile(folder, "pa_motion.tsv", {row(1, 0.5, 2.0)});
    const RunsMotion motion = readRunsMotion(plus, "ap.fmr", minus, "pa.fmr", 3);
    EXPECT_DOUBLE_EQ(positionsOf(motion, 2).plus.translation[0], 2.0);
    // Volumes 0 and 2 have no row in the minus file: they take its first row.
    for (int volume = 0; volume < 3; ++volume) EXPECT_DOUBLE_EQ(positionsOf(motion, volume).minus.translation[0], 0.5);

    // Every volume 2 degrees apart; volume 2 the farthest: the minus copy's origin lies at
    // 0.5 mm along x, the plus copy's at 2 mm turned with the minus copy.
    const LargestMotion largest = largestMotionBetweenCopies(motion, 3);
    EXPECT_NEAR(largest.rotation, 2.0, 1e-9);
    EXPECT_NEAR(largest.translation, 2.0 * std::cos(2.0 * kRadian) - 0.5, 1e-9);
}

TEST(CombineMotion, RefusesFilesThatDoNotFitTheRun)
{
    const TemporaryFolder folder;
    const std::string good = motionFile(folder, "good_motion.tsv", {row(0, 0.0), row(1, 0.0)});
    const std::string beyond = motionFile(folder, "beyond_motion.tsv", {row(0, 0.0), row(2, 0.0)});
    const std::string twice = motionFile(folder, "twice_motion.tsv", {row(1, 0.0), row(1, 0.5)});
    const std::string none = motionFile(folder, "none_motion.tsv", {});
    EXPECT_EQ(refusal(good, beyond), beyond + " gives the motion of volume 2, but pa.fmr holds 2 volumes; give the motion file of "
                                  "the estimate made on this run.");
    EXPECT_EQ(refusal(twice, good), twice + " gives the motion of volume 1 twice.");
    EXPECT_EQ(refusal(good, none), none + " gives the motion of no volume; it cannot place pa.fmr.");
    EXPECT_THROW(readRunsMotion(folder.path() + "/missing.tsv", "ap.fmr", good, "pa.fmr", 2), std::exception);
}
