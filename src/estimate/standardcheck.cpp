// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/standardcheck.h"

#include <cmath>
#include <sstream>
#include <vector>

#include "core/pairagreement.h"
#include "core/threadpool.h"
#include "estimate/mappyramid.h"
#include "estimate/vdmestimate.h"

namespace {

constexpr float kDifferenceVoxels = 0.25f;
constexpr double kLeastRegion = 0.01;  // of the head
constexpr double kMargin = 0.03;
constexpr double kClearMargin = 0.04;  // of the half-resolution and the refined map

// |gradient| by central differences in voxel units; 0 on the border.
Volume gradientMagnitude(const Volume& v)
{
    const int nx = v.nx(), ny = v.ny(), nz = v.nz();
    Volume out(v.dimensions(), 0.0f);
    const std::size_t row = static_cast<std::size_t>(nx);
    const std::size_t slice = row * static_cast<std::size_t>(ny);
    if (nz < 3) return out;
    forEachPiece(static_cast<std::size_t>(nz - 2), [&](std::size_t piece) {
        const int z = static_cast<int>(piece) + 1;
        for (int y = 1; y + 1 < ny; ++y) {
            const std::size_t base = v.index(0, y, z);
            for (int x = 1; x + 1 < nx; ++x) {
                const std::size_t i = base + static_cast<std::size_t>(x);
                const float gx = 0.5f * (v[i + 1] - v[i - 1]);
                const float gy = 0.5f * (v[i + row] - v[i - row]);
                const float gz = 0.5f * (v[i + slice] - v[i - slice]);
                out[i] = std::sqrt(gx * gx + gy * gy + gz * gz);
            }
        }
    });
    return out;
}

double edgeCorrelation(const CorrectedPair& corrected, const std::vector<std::size_t>& voxels)
{
    return correlationOver(gradientMagnitude(corrected.first), gradientMagnitude(corrected.second), voxels);
}

Volume standardMapWith(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                       const EstimationSchedule& schedule, const StandardChoices& choices, std::ostream& log)
{
    const Sigma3 sigma{0.5, 4.0 / voxelSize[1], 0.5};
    return estimateVdm(first, second, sigma, choices.useSsd, schedule.localbox, schedule.s_values,
                       schedule.vdm_smoothing, choices.useIc, log, choices.order, nullptr, schedule.separableSmoothing);
}

// The standard schedule for a grid halved along the given axes (voxel sizes halvedSize).
// Along a halved axis each box's half-width is halved and rounded up, so that the box spans
// at least the standard box's extent in mm: the standard boxes of 7 and 5 voxels become 5
// and 3 there. Boxes of the standard voxel count would span twice the extent and smooth
// away the detail that the comparison looks at. The maps are smoothed axis by axis: on 132
// pairs that moved the check's edge figures by at most 0.002 and changed no decision.
EstimationSchedule scheduleOnHalvedGrid(const std::array<double, 3>& halvedSize, const HalvedAxes& axes)
{
    EstimationSchedule schedule = standardEstimationSchedule(halvedSize);
    schedule.separableSmoothing = true;
    for (Volume& box : schedule.localbox) {
        std::array<int, 3> sides{box.nx(), box.ny(), box.nz()};
        for (int k = 0; k < 3; ++k)
            if (axes[k]) sides[k] = 2 * ((sides[k] / 2 + 1) / 2) + 1;
        box = Volume(sides[0], sides[1], sides[2], box[0]);
    }
    return schedule;
}

}  // namespace

StandardComparison compareWithStandardMap(const CorrectablePair& pair, const Volume& precise, const Volume& standard)
{
    return compareWithStandardMap(pair, CorrectedMap(pair, precise), CorrectedMap(pair, standard));
}

StandardComparison compareWithStandardMap(const CorrectablePair& pair, const CorrectedMap& precise,
                                          const CorrectedMap& standard)
{
    StandardComparison result;
    const std::vector<std::size_t>& head = pair.head();
    std::vector<std::size_t> differing;
    for (std::size_t i : head)
        if (std::fabs(precise.map[i] - standard.map[i]) > kDifferenceVoxels) differing.push_back(i);
    result.headVoxels = head.size();
    result.differingVoxels = differing.size();
    if (static_cast<double>(differing.size()) < kLeastRegion * static_cast<double>(head.size()) || differing.size() < 2)
        return result;
    result.compared = true;
    result.preciseEdges = edgeCorrelation(precise.plain, differing);
    result.standardEdges = edgeCorrelation(standard.plain, differing);
    // A NaN correlation (no variation) gives no reason to drop the precise map.
    result.keepPrecise = !(result.standardEdges - result.preciseEdges > kMargin);
    return result;
}

Volume standardMap(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                   const StandardChoices& choices, std::ostream& log)
{
    return standardMapWith(first, second, voxelSize, standardEstimationSchedule(voxelSize), choices, log);
}

Volume halfResolutionStandardMap(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                                 const StandardChoices& choices)
{
    // The phase-encoding lines keep their resolution: a map halved along them lines up
    // edges much worse than the full standard map, so that the comparison would favour the
    // precise map of gradient-echo pairs too.
    HalvedAxes axes = axesToHalve(first.dimensions());
    axes[1] = false;
    const std::array<double, 3> halvedSize = halvedVoxelSize(voxelSize, axes);
    std::ostringstream quiet;
    const Volume map = standardMapWith(halveVolume(first, axes), halveVolume(second, axes), halvedSize,
                                       scheduleOnHalvedGrid(halvedSize, axes), choices, quiet);
    if (std::round(map(0, 0, 0)) == -99.0f) return Volume();
    return prolongMap(map, first.dimensions(), axes);
}

Volume refinedStandardMap(const Volume& first, const Volume& second, const std::array<double, 3>& voxelSize,
                          const StandardChoices& choices, const Volume& halfResolution)
{
    // The slices regain their resolution. Along x the map stays halved: refined at full
    // resolution it settled the same pairs, at twice the work.
    HalvedAxes axes = axesToHalve(first.dimensions());
    axes[1] = axes[2] = false;
    const EstimationSchedule schedule = scheduleOnHalvedGrid(halvedVoxelSize(voxelSize, axes), axes);
    const Volume map = refineVdm(halveVolume(first, axes), halveVolume(second, axes), halveVolume(halfResolution, axes),
                                 choices.useSsd, schedule, schedule.localbox.size() - 1, choices.useIc);
    return prolongMap(map, first.dimensions(), axes);
}

bool worthRefining(const StandardComparison& halfResolution)
{
    return halfResolution.compared && halfResolution.preciseEdges - halfResolution.standardEdges > kClearMargin;
}

bool clearlyKeepsPrecise(const StandardComparison& refined)
{
    return refined.compared && refined.preciseEdges - refined.standardEdges > kClearMargin;
}
