// SPDX-License-Identifier: GPL-3.0-or-later
// The host's six FFT functions (single-precision FFTW semantics), resolved by the
// plug-in at start-up and used by the smoothing.
#pragma once

#include "sdk/hostservices.h"

struct FftApi {
    HsFftwfMalloc hs_fftwf_malloc = nullptr;
    HsFftwfFree hs_fftwf_free = nullptr;
    HsFftwfPlanDftR2c3d hs_fftwf_plan_dft_r2c_3d = nullptr;
    HsFftwfPlanDftC2r3d hs_fftwf_plan_dft_c2r_3d = nullptr;
    HsFftwfExecute hs_fftwf_execute = nullptr;
    HsFftwfDestroyPlan hs_fftwf_destroy_plan = nullptr;
};

// Process-wide table, filled by initPlugin (or by a test fixture).
extern FftApi fftApi;

// The planning flag that every plan is made with (estimate mode).
constexpr unsigned kFftEstimate = 64;
