// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/volumegauss.h"

#include <cmath>
#include <new>
#include <stdexcept>
#include <utility>

#include "core/fftapi.h"
#include "core/mdhslog.h"
#include "core/threadpool.h"

namespace {

constexpr const char* kModule = "src\\volumegauss";
// Spectrum elements multiplied per piece of work.
constexpr std::size_t kSpectrumBlock = 16384;
constexpr double kTwoPi = 6.283185307179586;
// Voxels replicated beyond each face before a padded smoothing: the circular convolution
// then reaches replicated edges, not the opposite face.
constexpr int kPad = 7;

// The range of kernel indices [first, last] that the truncation at six standard
// deviations keeps on an axis of n voxels.
struct KernelRange {
    int first;
    int last;
};

KernelRange truncatedRange(int n, double sigma)
{
    const double c = n * 0.5 - 0.5;
    const double sixSigma = 6.0 * sigma;
    const double w = c > sixSigma + 1.0 ? c - (std::trunc(c) - std::trunc(sixSigma)) : c;
    return {static_cast<int>(std::trunc(c - w)), static_cast<int>(std::trunc(c + w))};
}

// Storage index of kernel index i; wrapping moves the centre to index 0.
int wrappedIndex(int i, int n, bool wrap)
{
    if (!wrap) return i;
    const int shifted = i + static_cast<int>(std::trunc(n * 0.5 + 0.5));
    return shifted > n - 1 ? shifted - n : shifted;
}

FftBuffer allocateSpectrum(std::size_t complexCount)
{
    FftBuffer buffer(static_cast<FftComplex*>(fftApi.hs_fftwf_malloc(complexCount * sizeof(FftComplex))));
    if (buffer == nullptr) throw std::bad_alloc();
    return buffer;
}

// Plans, runs and destroys one transform.
void runPlan(void* plan)
{
    if (plan == nullptr) throw std::runtime_error("The host's FFT could not plan a transform.");
    fftApi.hs_fftwf_execute(plan);
    fftApi.hs_fftwf_destroy_plan(plan);
}

void forwardTransform(const Volume& volume, FftComplex* spectrum)
{
    runPlan(fftApi.hs_fftwf_plan_dft_r2c_3d(volume.nz(), volume.ny(), volume.nx(), const_cast<float*>(volume.data()),
                                            spectrum, kFftEstimate));
}

} // namespace

void FftBufferRelease::operator()(FftComplex* data) const
{
    fftApi.hs_fftwf_free(data);
}

std::vector<double> gaussianKernel1D(int n, double sigma, int kind)
{
    std::vector<double> kernel(static_cast<std::size_t>(std::max(n, 0)), 0.0);
    const int h = n / 2;
    const double sigma2 = sigma * sigma;
    const double norm = std::sqrt(kTwoPi) * sigma;
    for (int i = 0; i < n; ++i) {
        const int t = i - h;
        const double t2 = static_cast<double>(t * t);
        double g = 1.0;
        if (kind == 1) g = -t / sigma2;
        if (kind == 2) g = (t2 - sigma2) / (sigma2 * sigma2);
        kernel[i] = std::exp(-t2 / (2.0 * sigma2)) / norm * g;
    }
    return kernel;
}

Volume gaussianKernel3D(Dimensions extent, const Sigma3& sigma, const KernelKinds& kinds, bool wrap)
{
    const std::vector<double> kx = gaussianKernel1D(extent.x, sigma[0], kinds[0]);
    const std::vector<double> ky = gaussianKernel1D(extent.y, sigma[1], kinds[1]);
    const std::vector<double> kz = gaussianKernel1D(extent.z, sigma[2], kinds[2]);
    Volume kernel(extent, 0.0f);
    const KernelRange rx = truncatedRange(extent.x, sigma[0]);
    const KernelRange ry = truncatedRange(extent.y, sigma[1]);
    const KernelRange rz = truncatedRange(extent.z, sigma[2]);
    // Distinct kernel indices land in distinct slices, so the slices fill side by side.
    forEachPiece(static_cast<std::size_t>(std::max(rz.last - rz.first + 1, 0)), [&](std::size_t piece) {
        const int i = rz.first + static_cast<int>(piece);
        const int z = wrappedIndex(i, extent.z, wrap);
        for (int j = ry.first; j <= ry.last; ++j) {
            const int y = wrappedIndex(j, extent.y, wrap);
            float* row = kernel.data() + kernel.index(0, y, z);
            for (int k = rx.first; k <= rx.last; ++k)
                row[wrappedIndex(k, extent.x, wrap)] = static_cast<float>(kx[k] * ky[j] * kz[i]);
        }
    });
    return kernel;
}

Matrix gaussianKernel2D(int columns, int rows, const std::array<double, 2>& sigma, const std::array<int, 2>& kinds,
                        bool wrap)
{
    const std::vector<double> kc = gaussianKernel1D(columns, sigma[0], kinds[0]);
    const std::vector<double> kr = gaussianKernel1D(rows, sigma[1], kinds[1]);
    Matrix kernel(columns, rows, 0.0f);
    const KernelRange rc = truncatedRange(columns, sigma[0]);
    const KernelRange rr = truncatedRange(rows, sigma[1]);
    for (int j = rr.first; j <= rr.last; ++j) {
        const int r = wrappedIndex(j, rows, wrap);
        for (int k = rc.first; k <= rc.last; ++k)
            kernel(wrappedIndex(k, columns, wrap), r) = static_cast<float>(kc[k] * kr[j]);
    }
    return kernel;
}

namespace {

std::size_t halfSpectrumSize(Dimensions extent)
{
    return static_cast<std::size_t>(extent.z) * static_cast<std::size_t>(extent.y) *
           static_cast<std::size_t>(extent.x / 2 + 1);
}

// product = volume spectrum times kernel spectrum, scaled by 1 / voxel count so that the
// unnormalised inverse transform restores the scale.
void multiplySpectra(const FftComplex* volumeSpectrum, const FftComplex* kernelSpectrum, FftComplex* product,
                     Dimensions extent)
{
    const std::size_t half = halfSpectrumSize(extent);
    const float s = static_cast<float>(1.0 / static_cast<double>(voxelCount(extent)));
    forEachBlock(half, kSpectrumBlock, [&](std::size_t begin, std::size_t end) {
        for (std::size_t n = begin; n < end; ++n) {
            const float ir = volumeSpectrum[n][0], ii = volumeSpectrum[n][1];
            const float kr = kernelSpectrum[n][0], ki = kernelSpectrum[n][1];
            product[n][0] = (ir * kr - ii * ki) * s;
            product[n][1] = (ir * ki + ii * kr) * s;
        }
    });
}

// Transforms the product back into the volume's voxel array; the transform may overwrite
// the product.
void inverseTransform(FftComplex* product, Volume& volume)
{
    runPlan(fftApi.hs_fftwf_plan_dft_c2r_3d(volume.nz(), volume.ny(), volume.nx(), product, volume.data(),
                                            kFftEstimate));
}

void requireFft()
{
    if (fftApi.hs_fftwf_malloc == nullptr) throw std::runtime_error("The host's FFT functions are not available.");
}

} // namespace

namespace {

// The circular convolution of the volume with the kernel whose spectrum is given (of the
// volume's extent), in place.
void convolveWithSpectrum(Volume& volume, const FftComplex* kernelSpectrum)
{
    const std::size_t half = halfSpectrumSize(volume.dimensions());
    FftBuffer i = allocateSpectrum(half), p = allocateSpectrum(half);
    forwardTransform(volume, i.get());
    multiplySpectra(i.get(), kernelSpectrum, p.get(), volume.dimensions());
    i.reset();
    inverseTransform(p.get(), volume);
}

}  // namespace

void fftConvolve(Volume& volume, const Volume& kernel)
{
    check(volume.dimensions() == kernel.dimensions(), kModule, 195, "input.dimensions() == kernel.dimensions()");
    if (volume.size() == 0) return;
    requireFft();
    FftBuffer k = allocateSpectrum(halfSpectrumSize(volume.dimensions()));
    forwardTransform(kernel, k.get());
    convolveWithSpectrum(volume, k.get());
}

void smoothGaussian(Volume& volume, const Sigma3& sigma, const KernelKinds& kinds, bool pad)
{
    smoothGaussian(volume, gaussianKernelSpectrum(volume.dimensions(), sigma, kinds, pad));
}

GaussianKernelSpectrum gaussianKernelSpectrum(Dimensions extent, const Sigma3& sigma, const KernelKinds& kinds,
                                              bool pad)
{
    GaussianKernelSpectrum kernel{extent, pad, nullptr};
    if (voxelCount(extent) == 0) return kernel;
    const int border = pad ? kPad : 0;
    const Dimensions transformed{extent.x + 2 * border, extent.y + 2 * border, extent.z + 2 * border};
    requireFft();
    kernel.spectrum = allocateSpectrum(halfSpectrumSize(transformed));
    forwardTransform(gaussianKernel3D(transformed, sigma, kinds, true), kernel.spectrum.get());
    return kernel;
}

void smoothGaussian(Volume& volume, const GaussianKernelSpectrum& kernel)
{
    const Dimensions extent = volume.dimensions();
    if (extent != kernel.extent) throw std::invalid_argument("The smoothing kernel was made for another extent.");
    if (voxelCount(extent) == 0) return;
    if (kernel.pad) volume.padReplicate({kPad, kPad, kPad});
    convolveWithSpectrum(volume, kernel.spectrum.get());
    if (kernel.pad) volume.resizeCentred(extent);
}

Volume smoothedCopy(const Volume& source, const Sigma3& sigma, const KernelKinds& kinds)
{
    Volume copy(source);
    smoothGaussian(copy, sigma, kinds, true);
    return copy;
}

std::vector<Volume> smoothedCopies(const std::vector<const Volume*>& sources, const Sigma3& sigma,
                                   const std::vector<KernelKinds>& kinds)
{
    std::vector<Volume> copies;
    if (sources.empty() || kinds.empty()) return copies;
    const Dimensions extent = sources.front()->dimensions();
    for (const Volume* source : sources)
        if (source->dimensions() != extent)
            throw std::invalid_argument("Volumes smoothed together must have the same extent.");
    if (voxelCount(extent) == 0) {
        for (const Volume* source : sources)
            for (const KernelKinds& kind : kinds) copies.push_back(smoothedCopy(*source, sigma, kind));
        return copies;
    }
    requireFft();
    Volume padded(*sources.front());
    padded.padReplicate({kPad, kPad, kPad});
    const Dimensions paddedExtent = padded.dimensions();
    const std::size_t half = halfSpectrumSize(paddedExtent);
    std::vector<GaussianKernelSpectrum> kernels;
    for (const KernelKinds& kind : kinds) kernels.push_back(gaussianKernelSpectrum(extent, sigma, kind, true));
    FftBuffer sourceSpectrum = allocateSpectrum(half), product = allocateSpectrum(half);
    for (std::size_t n = 0; n < sources.size(); ++n) {
        if (n > 0) {
            padded = *sources[n];
            padded.padReplicate({kPad, kPad, kPad});
        }
        forwardTransform(padded, sourceSpectrum.get());
        for (const GaussianKernelSpectrum& kernel : kernels) {
            multiplySpectra(sourceSpectrum.get(), kernel.spectrum.get(), product.get(), paddedExtent);
            Volume copy(paddedExtent);
            inverseTransform(product.get(), copy);
            copy.resizeCentred(extent);
            copies.push_back(std::move(copy));
        }
    }
    return copies;
}
