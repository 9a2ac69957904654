// SPDX-License-Identifier: GPL-3.0-or-later
#include <benchmark/benchmark.h>

#include "core/volume.h"

namespace {

Volume phantomLike(int nx, int ny, int nz)
{
    Volume v(nx, ny, nz);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>((i * 2654435761u) % 1000u);
    return v;
}

void BM_TransposeXY(benchmark::State& state)
{
    const Volume v = phantomLike(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)),
                                 static_cast<int>(state.range(1)));
    for (auto _ : state) benchmark::DoNotOptimize(v.transposeXY());
    state.counters["ns/voxel"] = benchmark::Counter(static_cast<double>(v.size()) * state.iterations() * 1e-9,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_PadReplicate(benchmark::State& state)
{
    const Volume v = phantomLike(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)),
                                 static_cast<int>(state.range(1)));
    for (auto _ : state) {
        Volume padded = v;
        padded.padReplicate({7, 7, 7});
        benchmark::DoNotOptimize(padded.data());
    }
}

} // namespace

BENCHMARK(BM_TransposeXY)->Args({64, 30})->Args({96, 60});
BENCHMARK(BM_PadReplicate)->Args({64, 30})->Args({96, 60});
