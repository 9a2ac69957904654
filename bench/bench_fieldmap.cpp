// SPDX-License-Identifier: GPL-3.0-or-later
// The field map from a gradient-echo phase difference at the size of a real scan
// (128 x 128 x 60): the unwrapping alone, and the whole field (mask, unwrapping, carrying
// beyond the mask, 2 mm smoothing). The phase wraps three times inside the head and is
// noise outside it. The target for the unwrapping is 0.5 s; the unwrapping's case also
// prints the jumps of 2 pi it leaves and its field's error against the truth in the head.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>

#include "fieldmap/fieldestimate.h"
#include "fieldmap/phaseunwrap.h"
#include "support/syntheticfield.h"

namespace {

constexpr double kEchoTimeDifference = 0.005;

SyntheticField scanSizedField()
{
    SyntheticFieldOptions options;
    options.extent = {128, 128, 60};
    options.echoTimeDifference = kEchoTimeDifference;
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
    // The field it gives inside the head against the truth, in Hz.
    const UnwrappedPhase result = unwrapPhase(field.wrapped, field.head);
    double largest = 0.0;
    double squares = 0.0;
    std::size_t count = 0;
    for (std::size_t v = 0; v < field.head.size(); ++v) {
        if (!field.head[v]) continue;
        const double error = result.phase[v] / (2.0 * 3.14159265358979323846 * kEchoTimeDifference) - field.hertz[v];
        largest = std::max(largest, std::abs(error));
        squares += error * error;
        ++count;
    }
    state.counters["jumps_left"] = static_cast<double>(result.jumpsLeft);
    state.counters["largest_error_hz"] = largest;
    state.counters["rms_error_hz"] = std::sqrt(squares / static_cast<double>(count));
}
BENCHMARK(BM_UnwrapPhase)->Unit(benchmark::kMillisecond);

void BM_FieldFromPhaseDifference(benchmark::State& state)
{
    const SyntheticField field = scanSizedField();
    for (auto _ : state) {
        FieldEstimate estimate = fieldFromPhaseDifference(field.wrapped, headMask(field.magnitude), kEchoTimeDifference,
                                                          {{1.875, 1.875, 2.4}, 2.0});
        benchmark::DoNotOptimize(estimate.hertz.data());
    }
}
BENCHMARK(BM_FieldFromPhaseDifference)->Unit(benchmark::kMillisecond);

}  // namespace
