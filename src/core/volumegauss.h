// SPDX-License-Identifier: GPL-3.0-or-later
// Gaussian (and Gaussian-derivative) kernels, circular convolution through the host's
// FFT functions, and the masked normalised convolution in two and three dimensions.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "core/volume.h"
#include "sdk/hostservices.h"

using Sigma3 = std::array<double, 3>;
using KernelKinds = std::array<int, 3>;  // 0 Gaussian, 1 first, 2 second derivative

std::vector<double> gaussianKernel1D(int n, double sigma, int kind);
Volume gaussianKernel3D(Dimensions extent, const Sigma3& sigma, const KernelKinds& kinds, bool wrap);
Matrix gaussianKernel2D(int columns, int rows, const std::array<double, 2>& sigma, const std::array<int, 2>& kinds,
                        bool wrap);

// A spectrum buffer of the host's FFT, given back to the host when it goes.
struct FftBufferRelease {
    void operator()(FftComplex* data) const;
};
using FftBuffer = std::unique_ptr<FftComplex[], FftBufferRelease>;

// The transformed kernel with which smoothGaussian smooths volumes of one extent. Made
// ahead, its transform (a host service, on the calling thread) can run while other work
// goes on; the smoothing is the same, bit for bit.
struct GaussianKernelSpectrum {
    Dimensions extent;  // of the volumes it smooths
    bool pad = true;
    FftBuffer spectrum;  // of the kernel on the padded extent
};

void fftConvolve(Volume& volume, const Volume& kernel);
void smoothGaussian(Volume& volume, const Sigma3& sigma, const KernelKinds& kinds, bool pad);
GaussianKernelSpectrum gaussianKernelSpectrum(Dimensions extent, const Sigma3& sigma, const KernelKinds& kinds,
                                              bool pad);
// smoothGaussian with the kernel's spectrum made ahead; the volume must have its extent.
void smoothGaussian(Volume& volume, const GaussianKernelSpectrum& kernel);
Volume smoothedCopy(const Volume& source, const Sigma3& sigma, const KernelKinds& kinds);
// smoothedCopy of every source (all of one extent) with every set of kinds, source by
// source: the same bits, with each source and each kernel transformed only once.
std::vector<Volume> smoothedCopies(const std::vector<const Volume*>& sources, const Sigma3& sigma,
                                   const std::vector<KernelKinds>& kinds);

void maskedConvolve2D(Matrix& data, const Matrix& kernel, const Matrix& mask, bool normalise);
void maskedConvolve3D(Volume& data, const Volume& kernel, const Volume& mask, bool normalise);
// maskedConvolve3D(data, gaussianKernel3D(extent, sigma, {0, 0, 0}, false), mask, true) run
// axis by axis: the weighted data and the mask (not negative) are each convolved along x, y
// and z with the kernel's factors, zero beyond the volume. The same smoothing up to
// rounding, with extent.x + extent.y + extent.z terms per voxel instead of their product;
// a voxel whose window holds no weight becomes 0, and voxels of mask 0 add nothing.
void maskedSmoothSeparable(Volume& data, Dimensions extent, const Sigma3& sigma, const Volume& mask);
