// SPDX-License-Identifier: GPL-3.0-or-later
// The building blocks of the precise estimate's conjugate-gradient solver on one thread, at
// the finest level of a 128 x 128 x 60 pair: the product with the Hessian, the multigrid
// preconditioner (one V-cycle) and the transfer to the coarser grid. The figures of whole
// processes drift with the machine; these repeat in one process and report the best.
#include <benchmark/benchmark.h>

#include <random>

#include "estimate/mappyramid.h"
#include "estimate/multigrid.h"
#include "estimate/preciseobjective.h"

namespace {

const Dimensions kExtent{128, 128, 60};

Volume randomVolume(unsigned seed, float offset)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    Volume v(kExtent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(random) + offset;
    return v;
}

// Coefficients of a positive system, as a linearisation gives them (p2 and e positive).
HessianCoefficients randomHessian()
{
    return {randomVolume(1, 2.0f), randomVolume(2, 0.0f), randomVolume(3, 2.0f)};
}

Regularisation bendingOf()
{
    return {{1.0, 1.0, 0.44}, 3.0};
}

void voxelRate(benchmark::State& state)
{
    state.counters["ns/voxel"] =
        benchmark::Counter(static_cast<double>(voxelCount(kExtent)) * static_cast<double>(state.iterations()) * 1e-9,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_HessianProduct(benchmark::State& state)
{
    const HessianCoefficients h = randomHessian();
    const Volume v = randomVolume(4, 0.0f);
    Volume out, scratch;
    for (auto _ : state) {
        systemProduct(h, bendingOf(), v, out, scratch);
        benchmark::DoNotOptimize(out.data());
    }
    voxelRate(state);
}

void BM_MultigridVCycle(benchmark::State& state)
{
    const HessianCoefficients h = randomHessian();
    Multigrid multigrid;
    prepareMultigrid(h, bendingOf(), multigrid);
    const Volume r = randomVolume(5, 0.0f);
    Volume z;
    for (auto _ : state) {
        applyMultigrid(multigrid, r, z);
        benchmark::DoNotOptimize(z.data());
    }
    voxelRate(state);
}

void BM_TransferToCoarserGrid(benchmark::State& state)
{
    const Volume fine = randomVolume(6, 0.0f);
    const HalvedAxes axes{true, true, true};
    Volume coarse(halvedExtent(kExtent, axes));
    for (auto _ : state) {
        transposeToCoarser(fine, axes, coarse);
        benchmark::DoNotOptimize(coarse.data());
    }
    voxelRate(state);
}

}  // namespace

BENCHMARK(BM_HessianProduct)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_MultigridVCycle)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_TransferToCoarserGrid)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
