// Points the global FFT table at the host's FFT forwards, as initPlugin does for the
// plug-in, so that tests (and benchmarks) smooth through the same table.
#pragma once

#include <cstdint>

#include <gtest/gtest.h>

#include "fftapi.h"

extern "C" {
void* hs_fftwf_malloc(std::uint64_t bytes);
void hs_fftwf_free(void* pointer);
void* hs_fftwf_plan_dft_r2c_3d(int n0, int n1, int n2, float* in, FftComplex* out, unsigned flags);
void* hs_fftwf_plan_dft_c2r_3d(int n0, int n1, int n2, FftComplex* in, float* out, unsigned flags);
void hs_fftwf_execute(void* plan);
void hs_fftwf_destroy_plan(void* plan);
}

inline void installHostFft()
{
    fftApi.hs_fftwf_malloc = hs_fftwf_malloc;
    fftApi.hs_fftwf_free = hs_fftwf_free;
    fftApi.hs_fftwf_plan_dft_r2c_3d = hs_fftwf_plan_dft_r2c_3d;
    fftApi.hs_fftwf_plan_dft_c2r_3d = hs_fftwf_plan_dft_c2r_3d;
    fftApi.hs_fftwf_execute = hs_fftwf_execute;
    fftApi.hs_fftwf_destroy_plan = hs_fftwf_destroy_plan;
}

// Fixture for tests that smooth: the table is filled before each test and restored after.
class HostFftTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = fftApi;
        installHostFft();
    }
    void TearDown() override { fftApi = previous_; }

private:
    FftApi previous_;
};
