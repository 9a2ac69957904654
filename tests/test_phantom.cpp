#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "phantom.h"
#include "vdm.h"

namespace {

struct Agreement {
    double corrected; // mean |correction - expected| inside the object
    double raw;       // mean |acquisition - truth| inside the object
    double level;     // mean truth inside the object
};

// Corrects one acquisition with sign * map (cubic, as the apply step does) and compares
// it with the truth divided by the stretch 1 + sign * d', all in the geometry where the
// phase-encoding axis is y.
Agreement restoration(const Volume& acquisition, const Volume& truth, const Volume& map, bool reversed)
{
    Volume corrected(acquisition.dimensions());
    applyVdmCubic(corrected, acquisition, map, reversed);
    const Volume slope = vdmDerivativeY(map);
    const float sign = reversed ? -1.0f : 1.0f;
    Agreement a{0, 0, 0};
    std::size_t n = 0;
    for (int z = 0; z < truth.nz(); ++z)
        for (int y = 1; y < truth.ny() - 1; ++y)
            for (int x = 0; x < truth.nx(); ++x) {
                if (!(truth(x, y, z) > 100.0f)) continue;
                const double expected = truth(x, y, z) / (1.0 + sign * slope(x, y, z));
                a.corrected += std::abs(corrected(x, y, z) - expected);
                a.raw += std::abs(acquisition(x, y, z) - truth(x, y, z));
                a.level += truth(x, y, z);
                ++n;
            }
    a.corrected /= n;
    a.raw /= n;
    a.level /= n;
    return a;
}

} // namespace

TEST(Phantom, CorrectionWithPlusAndMinusMapRestoresTheObject)
{
    PhantomOptions options;
    options.extent = {40, 44, 16};
    options.peakDisplacement = 3.5;
    const PhantomVolumes p = makePhantom(options);
    ASSERT_EQ(p.first.size(), 1u);
    ASSERT_EQ(p.first[0].dimensions(), options.extent);
    const Agreement first = restoration(p.first[0], p.truth, p.displacement, false);
    const Agreement second = restoration(p.second[0], p.truth, p.displacement, true);
    EXPECT_LT(first.corrected, 0.02 * first.level);
    EXPECT_LT(second.corrected, 0.02 * second.level);
    EXPECT_GT(first.raw, 5.0 * first.corrected);
    EXPECT_GT(second.raw, 5.0 * second.corrected);

    float largest = 0.0f;
    for (std::size_t i = 0; i < p.displacement.size(); ++i) largest = std::max(largest, std::abs(p.displacement[i]));
    EXPECT_NEAR(largest, 3.5f, 1e-5);
    EXPECT_GT(p.largestSlope, 0.0);
    EXPECT_LT(p.largestSlope, 0.8);
}

TEST(Phantom, LeftRightPhaseEncodingDisplacesAlongX)
{
    PhantomOptions options;
    options.extent = {44, 40, 12};
    options.leftRight = true;
    const PhantomVolumes p = makePhantom(options);
    ASSERT_EQ(p.first[0].dimensions(), options.extent);
    const Agreement first =
        restoration(p.first[0].transposeXY(), p.truth.transposeXY(), p.displacement.transposeXY(), false);
    const Agreement second =
        restoration(p.second[0].transposeXY(), p.truth.transposeXY(), p.displacement.transposeXY(), true);
    EXPECT_LT(first.corrected, 0.02 * first.level);
    EXPECT_LT(second.corrected, 0.02 * second.level);
    EXPECT_GT(first.raw, 5.0 * first.corrected);

    // The same object encoded along y is the same truth, but the acquisitions differ.
    options.leftRight = false;
    const PhantomVolumes alongY = makePhantom(options);
    for (std::size_t i = 0; i < p.truth.size(); ++i) ASSERT_EQ(p.truth[i], alongY.truth[i]);
    double difference = 0.0;
    for (std::size_t i = 0; i < p.first[0].size(); ++i) difference += std::abs(p.first[0][i] - alongY.first[0][i]);
    EXPECT_GT(difference / p.first[0].size(), 1.0);
}

TEST(Phantom, ZeroPeakGivesUndistortedCopiesAndObjectContrast)
{
    PhantomOptions options;
    options.extent = {32, 32, 10};
    options.peakDisplacement = 0.0;
    const PhantomVolumes p = makePhantom(options);
    float largest = 0.0f;
    for (std::size_t i = 0; i < p.truth.size(); ++i) {
        ASSERT_EQ(p.displacement[i], 0.0f);
        ASSERT_EQ(p.first[0][i], p.truth[i]);
        ASSERT_EQ(p.second[0][i], p.truth[i]);
        largest = std::max(largest, p.truth[i]);
    }
    EXPECT_GT(largest, 500.0f);
    EXPECT_LT(p.truth(0, 0, 0), 1.0f);     // air in the corner
    EXPECT_GT(p.truth(16, 16, 5), 300.0f); // tissue in the middle
}

TEST(Phantom, SameSeedSameDataOtherSeedOtherTexture)
{
    PhantomOptions options;
    options.extent = {24, 24, 8};
    options.volumes = 2;
    options.noise = 10.0;
    const PhantomVolumes a = makePhantom(options);
    const PhantomVolumes b = makePhantom(options);
    ASSERT_EQ(a.first.size(), 2u);
    for (std::size_t i = 0; i < a.truth.size(); ++i) {
        ASSERT_EQ(a.first[1][i], b.first[1][i]);
        ASSERT_EQ(a.second[0][i], b.second[0][i]);
    }
    bool volumesDiffer = false;
    for (std::size_t i = 0; i < a.truth.size(); ++i) volumesDiffer |= a.first[0][i] != a.first[1][i];
    EXPECT_TRUE(volumesDiffer) << "each volume draws its own noise";

    options.seed = 2;
    const PhantomVolumes c = makePhantom(options);
    bool truthDiffers = false;
    for (std::size_t i = 0; i < a.truth.size(); ++i) truthDiffers |= a.truth[i] != c.truth[i];
    EXPECT_TRUE(truthDiffers);
}

// In air the magnitude of complex Gaussian noise follows a Rayleigh law, mean
// sigma * sqrt(pi / 2); it is never negative. Noise leaves the geometry alone.
TEST(Phantom, NoiseIsRicianWithTheRequestedLevel)
{
    PhantomOptions options;
    options.extent = {48, 48, 12};
    const PhantomVolumes clean = makePhantom(options);
    options.noise = 20.0;
    const PhantomVolumes noisy = makePhantom(options);
    double sum = 0.0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < clean.truth.size(); ++i) {
        ASSERT_EQ(noisy.truth[i], clean.truth[i]);
        ASSERT_GE(noisy.first[0][i], 0.0f);
        if (clean.first[0][i] < 0.01f) {
            sum += noisy.first[0][i];
            ++n;
        }
    }
    ASSERT_GT(n, 1000u);
    EXPECT_NEAR(sum / n, 20.0 * std::sqrt(M_PI / 2.0), 1.0);
}

TEST(Phantom, ImpossibleOptionsAreRejectedWithAReason)
{
    PhantomOptions options;
    options.extent = {4, 64, 10};
    EXPECT_THROW(makePhantom(options), std::invalid_argument);
    options.extent = {16, 16, 4};
    options.peakDisplacement = 12.0;
    try {
        makePhantom(options);
        ADD_FAILURE() << "a folding map was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("fold"), std::string::npos);
    }
    options.peakDisplacement = -1.0;
    EXPECT_THROW(makePhantom(options), std::invalid_argument);
    options = PhantomOptions{};
    options.voxelSize[1] = 0.0;
    EXPECT_THROW(makePhantom(options), std::invalid_argument);
    options = PhantomOptions{};
    options.volumes = 0;
    EXPECT_THROW(makePhantom(options), std::invalid_argument);
}
