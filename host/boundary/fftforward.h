// SPDX-License-Identifier: GPL-3.0-or-later
// The host's six FFT services (forwards to FFTW3 single precision), and a way to hand
// them to the plug-in's FFT table directly, for tests and benchmarks that run the
// numerics without loading the plug-in.
#pragma once

#include <cstdint>

#include "sdk/hostservices.h"

extern "C" {
void* hs_fftwf_malloc(std::uint64_t bytes);
void hs_fftwf_free(void* pointer);
void* hs_fftwf_plan_dft_r2c_3d(int n0, int n1, int n2, float* in, FftComplex* out, unsigned flags);
void* hs_fftwf_plan_dft_c2r_3d(int n0, int n1, int n2, FftComplex* in, float* out, unsigned flags);
void hs_fftwf_execute(void* plan);
void hs_fftwf_destroy_plan(void* plan);
}

// Fills the global fftApi table with the six functions above.
void installHostFft();
