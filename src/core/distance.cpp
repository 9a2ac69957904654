// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/distance.h"

#include <cmath>

#include "core/mdhslog.h"

namespace {

constexpr const char* kModule = "src\\distance";

// The correlation coefficient from single-precision running sums over n samples.
float correlation(float n, float sumA, float sumA2, float sumB, float sumB2, float sumAB)
{
    return (n * sumAB - sumA * sumB) / (std::sqrt(n * sumA2 - sumA * sumA) * std::sqrt(n * sumB2 - sumB * sumB));
}

} // namespace

double ssd(const Volume& a, const Volume& b)
{
    check(a.dimensions() == b.dimensions(), kModule, 15, "dim1 == dim2");
    const std::size_t n = a.size();
    const float* pa = a.data();
    const float* pb = b.data();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = pa[i] - pb[i];
        sum += d * d;
    }
    return sum;
}

double meanSsd(const Volume& a, const Volume& b)
{
    const double sum = ssd(a, b);
    return sum / static_cast<double>(a.size());
}

double ncc(const Volume& a, const Volume& b)
{
    check(a.dimensions() == b.dimensions(), kModule, 37, "dim1 == dim2");
    const std::size_t n = a.size();
    const float* pa = a.data();
    const float* pb = b.data();
    float sumA = 0.0f, sumA2 = 0.0f, sumB = 0.0f, sumB2 = 0.0f, sumAB = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float va = pa[i];
        const float vb = pb[i];
        sumA += va;
        sumA2 += va * va;
        sumB += vb;
        sumB2 += vb * vb;
        sumAB += va * vb;
    }
    return correlation(static_cast<float>(n), sumA, sumA2, sumB, sumB2, sumAB);
}

double ssdLocal(const Volume& a, const Volume& b, const std::vector<VoxelIndex>& voxels)
{
    check(a.dimensions() == b.dimensions(), kModule, 63, "vol1.dimensions() == vol2.dimensions()");
    double sum = 0.0;
    for (const VoxelIndex& v : voxels) {
        const std::size_t i = a.index(v.x, v.y, v.z);
        const double d = a[i] - b[i];
        sum += d * d;
    }
    return sum;
}

double nccLocal(const Volume& a, const Volume& b, const std::vector<VoxelIndex>& voxels)
{
    check(a.dimensions() == b.dimensions(), kModule, 76, "vol1.dimensions() == vol2.dimensions()");
    float sumA = 0.0f, sumA2 = 0.0f, sumB = 0.0f, sumB2 = 0.0f, sumAB = 0.0f;
    for (const VoxelIndex& v : voxels) {
        const std::size_t i = a.index(v.x, v.y, v.z);
        const float va = a[i];
        const float vb = b[i];
        sumA += va;
        sumA2 += va * va;
        sumB += vb;
        sumB2 += vb * vb;
        sumAB += va * vb;
    }
    return correlation(static_cast<float>(voxels.size()), sumA, sumA2, sumB, sumB2, sumAB);
}

double meanSquaredDifferenceNonZero(const Vector& v, const Vector& w)
{
    check(v.size() == w.size(), kModule, 133, "vec1.size() == vec2.size()");
    double sum = 0.0;
    int count = 0;
    for (int i = 0; i < v.size(); ++i) {
        if (v[i] == 0.0f || w[i] == 0.0f) continue;
        const double d = v[i] - w[i];
        sum += d * d;
        ++count;
    }
    return sum / static_cast<double>(count > 0 ? count : 1);
}
