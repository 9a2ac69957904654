// Time and accuracy of the fast and the full estimate on phantoms with a known map (and
// on the real scanner pair once it can be read): per run the time, the voxels visited per
// level, the agreement of the corrected pair and the error against the true map.
#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <string>

#include "distance.h"
#include "fftapi.h"
#include "mdhslog.h"
#include "phantom.h"
#include "simplevdmestimate.h"
#include "vdm.h"
#include "vdmestimate.h"

extern "C" {
void* hs_fftwf_malloc(std::uint64_t bytes);
void hs_fftwf_free(void* pointer);
void* hs_fftwf_plan_dft_r2c_3d(int n0, int n1, int n2, float* in, FftComplex* out, unsigned flags);
void* hs_fftwf_plan_dft_c2r_3d(int n0, int n1, int n2, FftComplex* in, float* out, unsigned flags);
void hs_fftwf_execute(void* plan);
void hs_fftwf_destroy_plan(void* plan);
}

namespace {

void useHostFft()
{
    fftApi = {hs_fftwf_malloc,          hs_fftwf_free,    hs_fftwf_plan_dft_r2c_3d,
              hs_fftwf_plan_dft_c2r_3d, hs_fftwf_execute, hs_fftwf_destroy_plan};
}

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

// Agreement of the pair corrected with the map and error of the map inside the object.
void reportAccuracy(benchmark::State& state, const Volume& first, const Volume& second, const Volume& vdm,
                    const Volume* truth, const Volume* trueMap)
{
    Volume firstCorrected(first.dimensions());
    Volume secondCorrected(first.dimensions());
    applyVdmCubic(firstCorrected, first, vdm, false);
    applyVdmCubic(secondCorrected, second, vdm, true);
    state.counters["ssd_in"] = meanSsd(first, second);
    state.counters["ssd_out"] = meanSsd(firstCorrected, secondCorrected);
    state.counters["ncc_in"] = ncc(first, second);
    state.counters["ncc_out"] = ncc(firstCorrected, secondCorrected);
    if (truth == nullptr) return;
    double sumT = 0, sumE = 0, sumTT = 0, sumEE = 0, sumTE = 0, sumError2 = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < vdm.size(); ++i) {
        if (!((*truth)[i] > 100.0f)) continue;
        const double t = (*trueMap)[i];
        const double e = vdm[i];
        sumT += t;
        sumE += e;
        sumTT += t * t;
        sumEE += e * e;
        sumTE += t * e;
        sumError2 += (t - e) * (t - e);
        ++n;
    }
    state.counters["map_rms_err"] = std::sqrt(sumError2 / n);
    state.counters["map_corr"] =
        (n * sumTE - sumT * sumE) / std::sqrt((n * sumTT - sumT * sumT) * (n * sumEE - sumE * sumE));
}

Sigma3 preSmoothing(const std::array<double, 3>& voxelSize)
{
    return {0.5, 4.0 / voxelSize[1], 0.5};
}

void BM_FastEstimate(benchmark::State& state)
{
    useHostFft();
    const Case& c = phantomCase(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    MDHSLog log(discard);
    Volume vdm;
    for (auto _ : state) {
        vdm = estimateColumnwiseVdm(c.phantom.first[0], c.phantom.second[0], preSmoothing(c.options.voxelSize), 0, log);
        smoothGaussian(vdm, {1.5, 1.5, 1.5}, {0, 0, 0}, true);
    }
    reportAccuracy(state, c.phantom.first[0], c.phantom.second[0], vdm, &c.phantom.truth, &c.phantom.displacement);
}

void BM_FullEstimate(benchmark::State& state)
{
    useHostFft();
    const Case& c = phantomCase(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const EstimationSchedule schedule = standardEstimationSchedule(c.options.voxelSize);
    MDHSLog log(discard);
    Volume vdm;
    VdmEstimateStatistics statistics;
    for (auto _ : state) {
        statistics = {};
        vdm = estimateVdm(c.phantom.first[0], c.phantom.second[0], preSmoothing(c.options.voxelSize), true,
                          schedule.localbox, schedule.s_values, schedule.vdm_smoothing, false, log, 0, &statistics);
    }
    for (std::size_t level = 0; level < statistics.visitedPerLevel.size(); ++level) {
        state.counters["visited_L" + std::to_string(level + 1)] =
            static_cast<double>(statistics.visitedPerLevel[level]);
        state.counters["sweep_s_L" + std::to_string(level + 1)] = statistics.sweepSeconds[level];
    }
    reportAccuracy(state, c.phantom.first[0], c.phantom.second[0], vdm, &c.phantom.truth, &c.phantom.displacement);
}

} // namespace

BENCHMARK(BM_FastEstimate)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullEstimate)->Args({64, 30})->Args({96, 60})->Unit(benchmark::kMillisecond)->Iterations(1);
