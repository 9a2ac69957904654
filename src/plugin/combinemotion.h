// SPDX-License-Identifier: GPL-3.0-or-later
// The head's position in every volume of the two runs that "combine" restores together,
// from the _motion.tsv files that the precise estimate wrote for them: each volume's
// motion from the frame in which the map lies.
#pragma once

#include <string>
#include <vector>

#include "core/movedpair.h"
#include "files/motionfile.h"

struct RunsMotion {
    std::vector<VolumeMotionRow> plus;
    std::vector<VolumeMotionRow> minus;
};

// Reads the files of both runs (each run of the given number of volumes). Throws naming
// the file when it cannot be read, holds no volume, names a volume twice or one that its
// run does not hold.
RunsMotion readRunsMotion(const std::string& plusFile, const std::string& plusRun, const std::string& minusFile,
                          const std::string& minusRun, int volumes);

// Where the head lies in the two copies of a volume: the volume's row of each file, or
// the first row of a file that has none for it (a volume the estimate did not use).
CopyPositions positionsOf(const RunsMotion& motion, int volume);

// The largest translation (mm) and rotation (degrees) of the minus copy against the plus
// copy over the volumes, for the log.
struct LargestMotion {
    double translation = 0.0;
    double rotation = 0.0;
};
LargestMotion largestMotionBetweenCopies(const RunsMotion& motion, int volumes);
