// SPDX-License-Identifier: GPL-3.0-or-later
// The host's six FFT services: thin forwards to FFTW3 single precision.
#include <fftw3.h>

#include "boundary/fftforward.h"
#include "core/fftapi.h"

extern "C" {

void* hs_fftwf_malloc(std::uint64_t bytes)
{
    return fftwf_malloc(static_cast<size_t>(bytes));
}

void hs_fftwf_free(void* pointer)
{
    fftwf_free(pointer);
}

void* hs_fftwf_plan_dft_r2c_3d(int n0, int n1, int n2, float* in, FftComplex* out, unsigned flags)
{
    return fftwf_plan_dft_r2c_3d(n0, n1, n2, in, reinterpret_cast<fftwf_complex*>(out), flags);
}

void* hs_fftwf_plan_dft_c2r_3d(int n0, int n1, int n2, FftComplex* in, float* out, unsigned flags)
{
    return fftwf_plan_dft_c2r_3d(n0, n1, n2, reinterpret_cast<fftwf_complex*>(in), out, flags);
}

void hs_fftwf_execute(void* plan)
{
    fftwf_execute(static_cast<fftwf_plan>(plan));
}

void hs_fftwf_destroy_plan(void* plan)
{
    fftwf_destroy_plan(static_cast<fftwf_plan>(plan));
}
}

void installHostFft()
{
    fftApi = {hs_fftwf_malloc,          hs_fftwf_free,    hs_fftwf_plan_dft_r2c_3d,
              hs_fftwf_plan_dft_c2r_3d, hs_fftwf_execute, hs_fftwf_destroy_plan};
}
