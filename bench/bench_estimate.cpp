// SPDX-License-Identifier: GPL-3.0-or-later
// Time and accuracy of the fast and the full estimate on phantoms with a known map (and
// on the real scanner pair once it can be read): per run the time, the voxels visited per
// level, the agreement of the corrected pair and the error against the true map.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "boundary/fftforward.h"
#include "core/distance.h"
#include "core/fftapi.h"
#include "core/mdhslog.h"
#include "core/vdm.h"
#include "estimate/simplevdmestimate.h"
#include "estimate/vdmestimate.h"
#include "files/projectheader.h"
#include "phantom/phantom.h"

namespace {

void discard(const char*) {}

struct Case {
    PhantomOptions options;
    PhantomVolumes phantom;
};

// Phantoms are made once per extent and shared by the fast and the full case.
const Case& phantomCase(int n, int nz)
{
    static std::map<std::pair<int, int>, Case> cases;
    auto found = cases.find({n, nz});
    if (found != cases.end()) return found->second;
    Case c;
    c.options.extent = {n, n, nz};
    const double inplane = 192.0 / n;
    c.options.voxelSize = {inplane, inplane, 150.0 / nz};
    c.options.peakDisplacement = 4.0;
    c.phantom = makePhantom(c.options);
    return cases.emplace(std::make_pair(n, nz), std::move(c)).first->second;
}

// The real pair: PA (the first acquisition, corrected with +VDM) and AP, volume 0 of each.
// The shared data folder is taken from VARNO_SHARED_DATA_DIR, else found beside the
// source tree as the tests find it (the benchmark runs from <source>/build/bin).
struct RealPair {
    Volume first;
    Volume second;
    std::array<double, 3> voxelSize{};
};

const RealPair& realPair()
{
    static const RealPair pair = [] {
        std::filesystem::path folder;
        if (const char* configured = std::getenv("VARNO_SHARED_DATA_DIR")) {
            folder = configured;
        } else {
            const std::filesystem::path source =
                std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
            folder = source.parent_path() / "shared" / "data";
            if (!std::filesystem::exists(folder)) folder = source.parent_path().parent_path() / "shared" / "data";
        }
        const FmrHeader first = readFmrHeader((folder / "ge-pepolar" / "PA.fmr").string(), true);
        const FmrHeader second = readFmrHeader((folder / "ge-pepolar" / "AP.fmr").string(), true);
        return RealPair{first.volumes.at(0),
                        second.volumes.at(0),
                        {first.InplaneResolutionX.value, first.InplaneResolutionY.value,
                         first.SliceThickness.value + first.SliceGap.value}};
    }();
    return pair;
}

// Agreement of the pair corrected with the map and error of the map inside the object.
void reportAccuracy(benchmark::State& state, const Volume& first, const Volume& second, const Volume& vdm,
                    const PhantomVolumes* phantom)
{
    Volume firstCorrected(first.dimensions());
    Volume secondCorrected(first.dimensions());
    applyVdmCubic(firstCorrected, first, vdm, false);
    applyVdmCubic(secondCorrected, second, vdm, true);
    state.counters["ssd_in"] = meanSsd(first, second);
    state.counters["ssd_out"] = meanSsd(firstCorrected, secondCorrected);
    state.counters["ncc_in"] = ncc(first, second);
    state.counters["ncc_out"] = ncc(firstCorrected, secondCorrected);
    if (phantom == nullptr) {
        // No truth: the agreement inside the head (mean of the inputs above 150).
        double n = 0, before = 0, after = 0;
        for (std::size_t i = 0; i < vdm.size(); ++i) {
            if (!(0.5f * (first[i] + second[i]) > 150.0f)) continue;
            const double d = first[i] - second[i];
            const double e = firstCorrected[i] - secondCorrected[i];
            before += d * d;
            after += e * e;
            ++n;
        }
        state.counters["head_ssd_in"] = before / n;
        state.counters["head_ssd_out"] = after / n;
        return;
    }
    const MapAgreement map = compareWithTrueMap(*phantom, vdm);
    state.counters["map_rms_err"] = map.rmsError;
    state.counters["map_corr"] = map.correlation;
    state.counters["true_map_rms"] = map.rmsTrue;
}

Sigma3 preSmoothing(const std::array<double, 3>& voxelSize)
{
    return {0.5, 4.0 / voxelSize[1], 0.5};
}

void BM_FastEstimate(benchmark::State& state)
{
    installHostFft();
    const Case& c = phantomCase(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    MDHSLog log(discard);
    Volume vdm;
    for (auto _ : state) {
        vdm = estimateColumnwiseVdm(c.phantom.first[0], c.phantom.second[0], preSmoothing(c.options.voxelSize), 0, log);
        smoothGaussian(vdm, {1.5, 1.5, 1.5}, {0, 0, 0}, true);
    }
    reportAccuracy(state, c.phantom.first[0], c.phantom.second[0], vdm, &c.phantom);
}

void BM_FullEstimate(benchmark::State& state)
{
    installHostFft();
    const Case& c = phantomCase(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const EstimationSchedule schedule = standardEstimationSchedule(c.options.voxelSize);
    MDHSLog log(discard);
    Volume vdm;
    VdmEstimateStatistics statistics;
    for (auto _ : state) {
        statistics = {};
        vdm =
            estimateVdm(c.phantom.first[0], c.phantom.second[0], preSmoothing(c.options.voxelSize), state.range(2) != 0,
                        schedule.localbox, schedule.s_values, schedule.vdm_smoothing, false, log, 0, &statistics);
    }
    for (std::size_t level = 0; level < statistics.visitedPerLevel.size(); ++level) {
        state.counters["visited_L" + std::to_string(level + 1)] =
            static_cast<double>(statistics.visitedPerLevel[level]);
        state.counters["sweep_s_L" + std::to_string(level + 1)] = statistics.sweepSeconds[level];
    }
    reportAccuracy(state, c.phantom.first[0], c.phantom.second[0], vdm, &c.phantom);
}

void BM_FastEstimateRealPair(benchmark::State& state)
{
    installHostFft();
    const RealPair& pair = realPair();
    MDHSLog log(discard);
    Volume vdm;
    for (auto _ : state) {
        vdm = estimateColumnwiseVdm(pair.first, pair.second, preSmoothing(pair.voxelSize), 0, log);
        smoothGaussian(vdm, {1.5, 1.5, 1.5}, {0, 0, 0}, true);
    }
    reportAccuracy(state, pair.first, pair.second, vdm, nullptr);
}

void BM_FullEstimateRealPair(benchmark::State& state)
{
    installHostFft();
    const RealPair& pair = realPair();
    const EstimationSchedule schedule = standardEstimationSchedule(pair.voxelSize);
    MDHSLog log(discard);
    Volume vdm;
    VdmEstimateStatistics statistics;
    for (auto _ : state) {
        statistics = {};
        vdm = estimateVdm(pair.first, pair.second, preSmoothing(pair.voxelSize), state.range(0) != 0, schedule.localbox,
                          schedule.s_values, schedule.vdm_smoothing, false, log, 0, &statistics);
    }
    for (std::size_t level = 0; level < statistics.visitedPerLevel.size(); ++level) {
        state.counters["visited_L" + std::to_string(level + 1)] =
            static_cast<double>(statistics.visitedPerLevel[level]);
        state.counters["sweep_s_L" + std::to_string(level + 1)] = statistics.sweepSeconds[level];
    }
    reportAccuracy(state, pair.first, pair.second, vdm, nullptr);
}

} // namespace

BENCHMARK(BM_FastEstimate)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMillisecond);
// The third argument (the last for the real pair) selects the measure: 1 SSD, 0 NCC.
BENCHMARK(BM_FullEstimate)
    ->Args({64, 30, 1})
    ->Args({64, 30, 0})
    ->Args({96, 60, 1})
    ->Args({96, 60, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_FastEstimateRealPair)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullEstimateRealPair)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1);
