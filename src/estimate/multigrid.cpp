// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/multigrid.h"

#include <algorithm>

#include "core/threadpool.h"
#include "core/vectorlanes.h"

namespace {

// Damping of the line-band relaxation: the bending term couples a voxel to the lines
// around it more strongly than to itself, where undamped relaxation would diverge.
constexpr float kDamping = 0.5f;
// Relaxation sweeps on the coarsest grid.
constexpr int kCoarsestSweeps = 4;
// Grids stop at this many voxels or when no axis can be halved.
constexpr std::size_t kSmallestGrid = 512;

// Voxels per piece of the element-wise loops.
constexpr std::size_t kVoxelsPerPiece = 16384;

// Sums over the blocks that halveVolume averages. Each coarse slice is a piece and adds its
// fine voxels in storage order, as a single pass over the volume does.
Volume blockSums(const Volume& volume, const HalvedAxes& axes, float scale)
{
    const Dimensions coarse = halvedExtent(volume.dimensions(), axes);
    Volume sums(coarse, 0.0f);
    forEachPiece(static_cast<std::size_t>(coarse.z), [&](std::size_t piece) {
        forEachFineVoxelOfCoarseSlice(volume.dimensions(), coarse, axes, static_cast<int>(piece),
                                      [&](std::size_t c, std::size_t f) { sums[c] += scale * volume[f]; });
    });
    return sums;
}

// out[i] = a[i] + s b[i] for every voxel.
void addScaled(const Volume& a, float s, const Volume& b, Volume& out)
{
    forEachBlockInLanes(out.size(), kVoxelsPerPiece, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = a[i] + s * b[i];
    });
}

void clearEndRows(Volume& v)
{
    for (int z = 0; z < v.nz(); ++z)
        for (int x = 0; x < v.nx(); ++x) {
            v(x, 0, z) = 0.0f;
            v(x, v.ny() - 1, z) = 0.0f;
        }
}

// The coarser grid's system. A correction interpolated from the coarser grid changes by
// s_k per fine voxel for a unit step of a coarse voxel (s_k = 1/2 on halved axes), so
// derivatives scale by s_k and every term sums over the 2^h fine voxels of a block.
SystemGrid coarserGrid(const HessianCoefficients& fine, const Regularisation& regularisation, const HalvedAxes& axes)
{
    SystemGrid grid;
    grid.halving = axes;
    const float sy = axes[1] ? 0.5f : 1.0f;
    grid.hessian.p2 = blockSums(fine.p2, axes, 1.0f);
    grid.hessian.pq = blockSums(fine.pq, axes, sy);
    grid.hessian.e = blockSums(fine.e, axes, sy * sy);
    clearEndRows(grid.hessian.pq);
    clearEndRows(grid.hessian.e);
    double count = 1.0;
    grid.regularisation = regularisation;
    for (int k = 0; k < 3; ++k)
        if (axes[k]) {
            count *= 2.0;
            grid.regularisation.factors[k] *= 0.25;
        }
    grid.regularisation.twoGamma = count * regularisation.twoGamma;
    return grid;
}

// z += damping * B^-1 (r - H z) on grid k (z = damping * B^-1 r when fromZero).
void relax(Multigrid& multigrid, std::size_t k, const Volume& r, Volume& z, bool fromZero)
{
    SystemGrid& grid = multigrid.grids[k];
    const HessianCoefficients& h = k == 0 ? *multigrid.finest : grid.hessian;
    if (fromZero) {
        solveLineBands(grid.band, r, z);
        forEachBlockInLanes(z.size(), kVoxelsPerPiece, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) z[i] *= kDamping;
        });
        return;
    }
    systemProduct(h, grid.regularisation, z, grid.product, grid.scratch);
    if (grid.residual.dimensions() != r.dimensions()) grid.residual = Volume(r.dimensions());
    addScaled(r, -1.0f, grid.product, grid.residual);
    solveLineBands(grid.band, grid.residual, grid.correction);
    addScaled(z, kDamping, grid.correction, z);
}

void vcycle(Multigrid& multigrid, std::size_t k, const Volume& r, Volume& z)
{
    if (z.dimensions() != r.dimensions()) z = Volume(r.dimensions());
    relax(multigrid, k, r, z, true);
    if (k + 1 == multigrid.grids.size()) {
        for (int sweep = 1; sweep < kCoarsestSweeps; ++sweep) relax(multigrid, k, r, z, false);
        return;
    }
    SystemGrid& grid = multigrid.grids[k];
    const HessianCoefficients& h = k == 0 ? *multigrid.finest : grid.hessian;
    systemProduct(h, grid.regularisation, z, grid.product, grid.scratch);
    if (grid.residual.dimensions() != r.dimensions()) grid.residual = Volume(r.dimensions());
    addScaled(r, -1.0f, grid.product, grid.residual);
    SystemGrid& coarse = multigrid.grids[k + 1];
    const Dimensions coarseExtent = coarse.hessian.p2.dimensions();
    if (grid.coarseResidual.dimensions() != coarseExtent) grid.coarseResidual = Volume(coarseExtent);
    transposeToCoarser(grid.residual, coarse.halving, grid.coarseResidual);
    vcycle(multigrid, k + 1, grid.coarseResidual, coarse.solution);
    interpolateToFiner(coarse.solution, coarse.halving, grid.product);
    addScaled(z, 1.0f, grid.product, z);
    relax(multigrid, k, r, z, false);
}

}  // namespace

void prepareMultigrid(const HessianCoefficients& finest, const Regularisation& regularisation, Multigrid& multigrid)
{
    multigrid.finest = &finest;
    multigrid.grids.resize(1);
    multigrid.grids[0].regularisation = regularisation;
    factoriseLineBands(finest, regularisation, multigrid.grids[0].band);
    while (true) {
        const SystemGrid& last = multigrid.grids.back();
        const HessianCoefficients& h = multigrid.grids.size() == 1 ? finest : last.hessian;
        const Dimensions extent = h.p2.dimensions();
        const HalvedAxes axes = axesToHalve(extent);
        if ((!axes[0] && !axes[1] && !axes[2]) || h.p2.size() <= kSmallestGrid) break;
        SystemGrid coarse = coarserGrid(h, last.regularisation, axes);
        factoriseLineBands(coarse.hessian, coarse.regularisation, coarse.band);
        multigrid.grids.push_back(std::move(coarse));
    }
}

void applyMultigrid(Multigrid& multigrid, const Volume& r, Volume& z)
{
    vcycle(multigrid, 0, r, z);
}
