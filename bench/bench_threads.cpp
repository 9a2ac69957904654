// SPDX-License-Identifier: GPL-3.0-or-later
// The worker threads' share of the speed targets, measured in processor time so that a
// busy machine still tells something: for 1 and 2 threads the processor time of the
// whole process and of the calling thread alone. The calling thread runs every serial
// part and its share of every parallel loop, so on a machine with free cores the wall
// time on 2 threads is about its processor time, and the speed-up about
// process_cpu_s(1 thread) / caller_cpu_s(2 threads). The wall time of both
// ("varno_e2e_bench --scaling") needs an idle machine.
#include <benchmark/benchmark.h>

#include <ctime>
#include <map>
#include <vector>

#include "boundary/fftforward.h"
#include "core/mdhslog.h"
#include "core/threadpool.h"
#include "core/vdm.h"
#include "estimate/preciseestimate.h"
#include "estimate/vdmestimate.h"
#include "phantom/phantom.h"

namespace {

void discard(const char*) {}

double clockSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

const PhantomVolumes& phantom(Dimensions extent, double voxelSize, int volumes)
{
    static std::map<std::vector<int>, PhantomVolumes> made;
    const std::vector<int> key{extent.x, extent.y, extent.z, volumes};
    auto found = made.find(key);
    if (found == made.end()) {
        PhantomOptions options;
        options.extent = extent;
        options.voxelSize = {voxelSize, voxelSize, voxelSize};
        options.noise = 10.0;
        options.volumes = volumes;
        found = made.emplace(key, makePhantom(options)).first;
    }
    return found->second;
}

// Times work() on state.range(0) threads.
template <typename Work>
void timeOnThreads(benchmark::State& state, const Work& work)
{
    installHostFft();
    const WorkerThreads threads(static_cast<int>(state.range(0)));
    double process = 0.0;
    double caller = 0.0;
    for (auto _ : state) {
        const double processStart = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double callerStart = clockSeconds(CLOCK_THREAD_CPUTIME_ID);
        work();
        process += clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart;
        caller += clockSeconds(CLOCK_THREAD_CPUTIME_ID) - callerStart;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["process_cpu_s"] = process / runs;
    state.counters["caller_cpu_s"] = caller / runs;
}

void BM_FullEstimateOnThreads(benchmark::State& state)
{
    const PhantomVolumes& p = phantom({128, 128, 60}, 1.5, 1);
    const EstimationSchedule schedule = standardEstimationSchedule({1.5, 1.5, 1.5});
    MDHSLog log(discard);
    timeOnThreads(state, [&] {
        benchmark::DoNotOptimize(estimateVdm(p.first[0], p.second[0], {0.5, 4.0 / 1.5, 0.5}, false, schedule.localbox,
                                             schedule.s_values, schedule.vdm_smoothing, false, log, 0));
    });
}

void BM_PreciseEstimateOnThreads(benchmark::State& state)
{
    const PhantomVolumes& p = phantom({128, 128, 60}, 1.5, 1);
    MDHSLog log(discard);
    timeOnThreads(state,
                  [&] { benchmark::DoNotOptimize(estimatePreciseVdm(p.first[0], p.second[0], {1.5, 1.5, 1.5}, log)); });
}

// The undistortion of a run as the apply task does it, without the files.
void BM_UndistortRunOnThreads(benchmark::State& state)
{
    const PhantomVolumes& p = phantom({64, 64, 30}, 3.0, 200);
    std::vector<Volume> volumes;
    timeOnThreads(state, [&] {
        volumes = p.first;
        forEachPiece(volumes.size(), [&](std::size_t v) { volumes[v] = undistort(volumes[v], p.displacement, false); });
        benchmark::DoNotOptimize(volumes.data());
    });
}

}  // namespace

BENCHMARK(BM_FullEstimateOnThreads)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_PreciseEstimateOnThreads)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_UndistortRunOnThreads)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
