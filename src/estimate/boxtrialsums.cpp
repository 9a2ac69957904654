// SPDX-License-Identifier: GPL-3.0-or-later
#include "estimate/boxtrialsums.h"

#include <immintrin.h>

#include <cstring>

#include "core/vectorlanes.h"

namespace {

// Vectors of Lanes floats and doubles: kTrialLanes for the portable and AVX2 variants,
// twice that for AVX-512, where a whole record of 16 trials fits one register.
template <std::size_t Lanes>
struct LaneTypes {
    typedef float Floats __attribute__((vector_size(Lanes * sizeof(float))));
    typedef double Doubles __attribute__((vector_size(Lanes * sizeof(double))));
};

// Chunks groups of Lanes trials, starting at trial first, advance in one pass over the
// box.
template <int Chunks, std::size_t Lanes = kTrialLanes>
[[gnu::always_inline]] inline void ssdPass(const TrialRecords& records, const BoxRange& box, std::size_t first,
                                           double* sums)
{
    using Floats = typename LaneTypes<Lanes>::Floats;
    using Doubles = typename LaneTypes<Lanes>::Doubles;
    Doubles sum[Chunks] = {};
    for (int z = box.z0; z <= box.z1; ++z)
        for (int y = box.y0; y <= box.y1; ++y) {
            const float* record = records.at(box.x0, y, z) + first;
            const std::size_t step = 2 * records.trialStride;
            for (int x = box.x0; x <= box.x1; ++x, record += step)
                for (int c = 0; c < Chunks; ++c) {
                    Floats va, vb;
                    std::memcpy(&va, record + c * Lanes, sizeof va);
                    std::memcpy(&vb, record + records.trialStride + c * Lanes, sizeof vb);
                    const Doubles d = __builtin_convertvector(va - vb, Doubles);
                    sum[c] += d * d;
                }
        }
    std::memcpy(sums + first, sum, sizeof sum);
}

template <int Chunks, std::size_t Lanes = kTrialLanes>
[[gnu::always_inline]] inline void nccPass(const TrialRecords& records, const BoxRange& box, std::size_t first,
                                           const NccSums& sums)
{
    using Floats = typename LaneTypes<Lanes>::Floats;
    Floats a[Chunks] = {}, aa[Chunks] = {}, b[Chunks] = {}, bb[Chunks] = {}, ab[Chunks] = {};
    for (int z = box.z0; z <= box.z1; ++z)
        for (int y = box.y0; y <= box.y1; ++y) {
            const float* record = records.at(box.x0, y, z) + first;
            const std::size_t step = 2 * records.trialStride;
            for (int x = box.x0; x <= box.x1; ++x, record += step)
                for (int c = 0; c < Chunks; ++c) {
                    Floats va, vb;
                    std::memcpy(&va, record + c * Lanes, sizeof va);
                    std::memcpy(&vb, record + records.trialStride + c * Lanes, sizeof vb);
                    a[c] += va;
                    aa[c] += va * va;
                    b[c] += vb;
                    bb[c] += vb * vb;
                    ab[c] += va * vb;
                }
        }
    for (int c = 0; c < Chunks; ++c) {
        const std::size_t at = first + c * Lanes;
        std::memcpy(sums.a + at, &a[c], sizeof a[c]);
        std::memcpy(sums.aa + at, &aa[c], sizeof aa[c]);
        std::memcpy(sums.b + at, &b[c], sizeof b[c]);
        std::memcpy(sums.bb + at, &bb[c], sizeof bb[c]);
        std::memcpy(sums.ab + at, &ab[c], sizeof ab[c]);
    }
}

// Two chunks (up to 16 trials, the standard schedule's 11) share one pass, in one vector of
// 16 lanes where wide is set; longer trial lists take one pass per chunk. Each lane does the
// same operations in the same order whatever the vector width.
template <bool useSsd, bool wide = false>
[[gnu::always_inline]] inline void allTrials(const TrialRecords& records, const BoxRange& box, double* ssd,
                                             const NccSums* ncc)
{
    if (records.trialStride == 2 * kTrialLanes) {
        if constexpr (wide) {
            if constexpr (useSsd) ssdPass<1, 2 * kTrialLanes>(records, box, 0, ssd);
            else nccPass<1, 2 * kTrialLanes>(records, box, 0, *ncc);
        } else {
            if constexpr (useSsd) ssdPass<2>(records, box, 0, ssd);
            else nccPass<2>(records, box, 0, *ncc);
        }
        return;
    }
    for (std::size_t first = 0; first < records.trialStride; first += kTrialLanes) {
        if constexpr (useSsd) ssdPass<1>(records, box, first, ssd);
        else nccPass<1>(records, box, first, *ncc);
    }
}

template <bool useSsd>
void allTrialsPortable(const TrialRecords& records, const BoxRange& box, double* ssd, const NccSums* ncc)
{
    allTrials<useSsd>(records, box, ssd, ncc);
}

template <bool useSsd>
[[gnu::target("avx2")]] void allTrialsAvx2(const TrialRecords& records, const BoxRange& box, double* ssd,
                                           const NccSums* ncc)
{
    allTrials<useSsd>(records, box, ssd, ncc);
}

template <bool useSsd>
[[gnu::target("avx512f")]] void allTrialsAvx512(const TrialRecords& records, const BoxRange& box, double* ssd,
                                                const NccSums* ncc)
{
    allTrials<useSsd, true>(records, box, ssd, ncc);
}

using AllTrials = void (*)(const TrialRecords&, const BoxRange&, double*, const NccSums*);

// The widest variant that the processor runs; every variant does the same operations in
// the same order per lane, so all give identical bits.
template <bool useSsd>
AllTrials widestVariant()
{
    if (__builtin_cpu_supports("avx512f")) return allTrialsAvx512<useSsd>;
    if (__builtin_cpu_supports("avx2")) return allTrialsAvx2<useSsd>;
    return allTrialsPortable<useSsd>;
}

void correlationsPortable(const NccSums& s, float n, std::size_t trialStride, float* correlation)
{
    for (std::size_t t = 0; t < trialStride; ++t)
        correlation[t] = boxCorrelation(n, s.a[t], s.aa[t], s.b[t], s.bb[t], s.ab[t]);
}

// Eight trials at a time, each lane with the operations of boxCorrelation (square roots
// and division are correctly rounded in both).
[[gnu::target("avx2")]] void correlationsAvx2(const NccSums& s, float n, std::size_t trialStride, float* correlation)
{
    const __m256 count = _mm256_set1_ps(n);
    for (std::size_t t = 0; t < trialStride; t += kTrialLanes) {
        const __m256 a = _mm256_loadu_ps(s.a + t), aa = _mm256_loadu_ps(s.aa + t), b = _mm256_loadu_ps(s.b + t),
                     bb = _mm256_loadu_ps(s.bb + t), ab = _mm256_loadu_ps(s.ab + t);
        const __m256 numerator = _mm256_sub_ps(_mm256_mul_ps(count, ab), _mm256_mul_ps(a, b));
        const __m256 spreadA = _mm256_sqrt_ps(_mm256_sub_ps(_mm256_mul_ps(count, aa), _mm256_mul_ps(a, a)));
        const __m256 spreadB = _mm256_sqrt_ps(_mm256_sub_ps(_mm256_mul_ps(count, bb), _mm256_mul_ps(b, b)));
        _mm256_storeu_ps(correlation + t, _mm256_div_ps(numerator, _mm256_mul_ps(spreadA, spreadB)));
    }
}

} // namespace

void boxSsdSums(const TrialRecords& records, const BoxRange& box, double* sums)
{
    static const AllTrials variant = widestVariant<true>();
    variant(records, box, sums, nullptr);
}

void boxNccSums(const TrialRecords& records, const BoxRange& box, const NccSums& sums)
{
    static const AllTrials variant = widestVariant<false>();
    variant(records, box, nullptr, &sums);
}

void boxCorrelations(const NccSums& sums, float n, std::size_t trialStride, float* correlation)
{
    if (processorHasAvx2())
        correlationsAvx2(sums, n, trialStride, correlation);
    else
        correlationsPortable(sums, n, trialStride, correlation);
}
