// SPDX-License-Identifier: GPL-3.0-or-later
// The field map from a gradient-echo phase difference at the size of a real scan
// (128 x 128 x 60): the unwrapping alone, and the whole field (mask, unwrapping, carrying
// beyond the mask, 2 mm smoothing). The phase wraps three times inside the head and is
// noise outside it. The target for the unwrapping is 0.5 s.
#include <benchmark/benchmark.h>

#include "fieldmap/fieldestimate.h"
#include "fieldmap/phaseunwrap.h"
#include "support/syntheticfield.h"

namespace {

SyntheticField scanSizedField()
{
    SyntheticFieldOptions options;
    options.extent = {128, 128, 60};
    options.peakHertz = 560.0;
    return makeSyntheticField(options);
}

void BM_UnwrapPhase(benchmark::State& state)
{
    const SyntheticField field = scanSizedField();
    for (auto _ : state) {
        UnwrappedPhase result = unwrapPhase(field.wrapped, field.head);
        benchmark::DoNotOptimize(result.phase.data());
    }
    state.counters["jumps_left"] = static_cast<double>(unwrapPhase(field.wrapped, field.head).jumpsLeft);
}
BENCHMARK(BM_UnwrapPhase)->Unit(benchmark::kMillisecond);

void BM_FieldFromPhaseDifference(benchmark::State& state)
{
    const SyntheticField field = scanSizedField();
    for (auto _ : state) {
        FieldEstimate estimate = fieldFromPhaseDifference(field.wrapped, headMask(field.magnitude), 0.005,
                                                          {{1.875, 1.875, 2.4}, 2.0});
        benchmark::DoNotOptimize(estimate.hertz.data());
    }
}
BENCHMARK(BM_FieldFromPhaseDifference)->Unit(benchmark::kMillisecond);

}  // namespace
