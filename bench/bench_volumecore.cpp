// SPDX-License-Identifier: GPL-3.0-or-later
// Inner loops of the estimators on volumes of typical EPI size. Each case reports the
// time per voxel of the volume it works on.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "boundary/fftforward.h"
#include "core/distance.h"
#include "core/vdm.h"
#include "core/volumegauss.h"

namespace {

Volume smoothRandom(Dimensions extent, unsigned seed, float low, float high)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(low, high);
    Volume v(extent);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = value(generator);
    return v;
}

Dimensions extentOf(const benchmark::State& state)
{
    return {static_cast<int>(state.range(0)), static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
}

// Seconds per voxel, printed with an SI prefix (for example "21.3n" is 21.3 ns).
void reportPerVoxel(benchmark::State& state, std::size_t voxels)
{
    state.counters["time/voxel"] = benchmark::Counter(static_cast<double>(voxels) * state.iterations(),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ApplyVdmCubic(benchmark::State& state)
{
    const Dimensions e = extentOf(state);
    const Volume src = smoothRandom(e, 1, 0.0f, 100.0f);
    const Volume vdm = smoothRandom(e, 2, -3.0f, 3.0f);
    Volume dst(e);
    for (auto _ : state) {
        applyVdmCubic(dst, src, vdm);
        benchmark::DoNotOptimize(dst.data());
    }
    reportPerVoxel(state, src.size());
}

void BM_ApplyVdmLinear(benchmark::State& state)
{
    const Dimensions e = extentOf(state);
    const Volume src = smoothRandom(e, 1, 0.0f, 100.0f);
    const Volume vdm = smoothRandom(e, 2, -3.0f, 3.0f);
    Volume dst(e);
    for (auto _ : state) {
        applyVdmLinear(dst, src, vdm);
        benchmark::DoNotOptimize(dst.data());
    }
    reportPerVoxel(state, src.size());
}

// One 7 x 7 x 7 box about the centre, as the local trial corrections use.
void BM_ApplyVdmLinearLocalBox(benchmark::State& state)
{
    const Dimensions e = extentOf(state);
    const Volume src = smoothRandom(e, 1, 0.0f, 100.0f);
    const Volume vdm = smoothRandom(e, 2, -3.0f, 3.0f);
    const Volume update = smoothRandom(e, 3, -1.0f, 1.0f);
    std::vector<VoxelIndex> box;
    for (int z = -3; z <= 3; ++z)
        for (int y = -3; y <= 3; ++y)
            for (int x = -3; x <= 3; ++x) box.push_back({e.x / 2 + x, e.y / 2 + y, e.z / 2 + z});
    Volume dst(e, 0.0f);
    for (auto _ : state) {
        applyVdmLinearLocal(dst, src, vdm, box, update, box, 0.5f);
        benchmark::DoNotOptimize(dst.data());
    }
    reportPerVoxel(state, box.size());
}

void BM_SmoothGaussianPadded(benchmark::State& state)
{
    installHostFft();
    const Dimensions e = extentOf(state);
    const Volume original = smoothRandom(e, 4, 0.0f, 100.0f);
    for (auto _ : state) {
        state.PauseTiming();
        Volume v = original;
        state.ResumeTiming();
        smoothGaussian(v, {2.0, 2.0, 2.0}, {0, 0, 0}, true);
        benchmark::DoNotOptimize(v.data());
    }
    reportPerVoxel(state, original.size());
}

void BM_MaskedConvolve3D(benchmark::State& state)
{
    const Dimensions e = extentOf(state);
    const Volume original = smoothRandom(e, 5, -2.0f, 2.0f);
    Volume mask = smoothRandom(e, 6, -1.0f, 1.0f);
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = mask[i] > 0.0f ? 1.0f : 0.0f;
    const Volume kernel = gaussianKernel3D({9, 9, 9}, {1.5, 1.5, 1.5}, {0, 0, 0}, false);
    for (auto _ : state) {
        state.PauseTiming();
        Volume v = original;
        state.ResumeTiming();
        maskedConvolve3D(v, kernel, mask, true);
        benchmark::DoNotOptimize(v.data());
    }
    reportPerVoxel(state, original.size());
}

void BM_Ncc(benchmark::State& state)
{
    const Dimensions e = extentOf(state);
    const Volume a = smoothRandom(e, 7, 0.0f, 100.0f);
    const Volume b = smoothRandom(e, 8, 0.0f, 100.0f);
    for (auto _ : state) benchmark::DoNotOptimize(ncc(a, b));
    reportPerVoxel(state, a.size());
}

void BM_MeanSsd(benchmark::State& state)
{
    const Dimensions e = extentOf(state);
    const Volume a = smoothRandom(e, 7, 0.0f, 100.0f);
    const Volume b = smoothRandom(e, 8, 0.0f, 100.0f);
    for (auto _ : state) benchmark::DoNotOptimize(meanSsd(a, b));
    reportPerVoxel(state, a.size());
}

} // namespace

BENCHMARK(BM_ApplyVdmCubic)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyVdmLinear)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyVdmLinearLocalBox)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SmoothGaussianPadded)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MaskedConvolve3D)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ncc)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeanSsd)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMillisecond);
