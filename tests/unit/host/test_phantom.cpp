// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <numbers>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "core/vdm.h"
#include "files/projectheader.h"
#include "files/vdmmapfile.h"
#include "phantom/phantom.h"

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

TEST(Phantom, MapAgreementIsInvariantToScaleAndOffsetButNotTheError)
{
    PhantomOptions options;
    options.extent = {24, 24, 8};
    const PhantomVolumes p = makePhantom(options);
    const MapAgreement same = compareWithTrueMap(p, p.displacement);
    EXPECT_NEAR(same.correlation, 1.0, 1e-9);
    EXPECT_EQ(same.rmsError, 0.0);
    EXPECT_GT(same.rmsTrue, 0.1);
    const MapAgreement affine = compareWithTrueMap(p, p.displacement * 2.0f + 3.0f);
    EXPECT_NEAR(affine.correlation, 1.0, 1e-6);
    const MapAgreement shifted = compareWithTrueMap(p, p.displacement + 1.0f);
    EXPECT_NEAR(shifted.rmsError, 1.0, 1e-6);
    EXPECT_EQ(shifted.rmsTrue, same.rmsTrue);
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
    EXPECT_NEAR(sum / n, 20.0 * std::sqrt(std::numbers::pi / 2.0), 1.0);
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

namespace {

// A fresh folder under the system's temporary directory, removed with the object.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::string& name)
        : path_(std::filesystem::temp_directory_path() / (name + "_" + std::to_string(::getpid())))
    {
        std::filesystem::remove_all(path_);
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path_); }
    std::string path() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void expectSameVoxels(const Volume& actual, const Volume& expected)
{
    ASSERT_EQ(actual.dimensions(), expected.dimensions());
    for (std::size_t i = 0; i < actual.size(); ++i) ASSERT_EQ(actual[i], expected[i]) << "voxel " << i;
}

Volume rounded(const Volume& v)
{
    Volume out = v;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::round(out[i]);
    return out;
}

} // namespace

TEST(Phantom, WrittenFmrProjectsAndMapReadBackAsMade)
{
    TemporaryFolder folder("varno_phantom_fmr");
    PhantomOptions options;
    options.extent = {24, 28, 6};
    options.voxelSize = {2.0, 2.5, 3.0};
    options.volumes = 2;
    options.noise = 5.0;
    const PhantomFiles files = writePhantom(folder.path(), options);
    const PhantomVolumes made = makePhantom(options);
    EXPECT_EQ(files.first, folder.file("AP.fmr"));
    EXPECT_EQ(files.second, folder.file("PA.fmr"));

    const FmrHeader first = readFmrHeader(files.first, true);
    ASSERT_EQ(first.volumes.size(), 2u);
    EXPECT_EQ(first.InplaneResolutionY.value, 2.5f);
    EXPECT_EQ(first.SliceThickness.value, 3.0f);
    EXPECT_EQ(first.DataType.value, 1); // int16, whole numbers stored
    expectSameVoxels(first.volumes[1], rounded(made.first[1]));
    const FmrHeader second = readFmrHeader(files.second, true);
    expectSameVoxels(second.volumes[0], rounded(made.second[0]));
    const FmrHeader truth = readFmrHeader(files.truth, true);
    ASSERT_EQ(truth.volumes.size(), 1u);
    expectSameVoxels(truth.volumes[0], rounded(made.truth));

    const VdmMapFile map = readVdmMapFile(files.map, true);
    expectSameVoxels(map.map, made.displacement);

    std::ifstream summary(files.summary);
    const std::string text((std::istreambuf_iterator<char>(summary)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Extent: 24 x 28 x 6 voxels of 2 x 2.5 x 3 mm"), std::string::npos) << text;
    EXPECT_NE(text.find("Seed: 1"), std::string::npos);
}

TEST(Phantom, WrittenLeftRightFloatDmrProjectsKeepTheirValues)
{
    TemporaryFolder folder("varno_phantom_dmr");
    PhantomOptions options;
    options.extent = {20, 16, 4};
    options.leftRight = true;
    options.diffusion = true;
    options.floatData = true;
    options.volumes = 3;
    const PhantomFiles files = writePhantom(folder.path(), options);
    EXPECT_EQ(files.first, folder.file("LR.dmr"));
    const PhantomVolumes made = makePhantom(options);
    const DmrHeader second = readDmrHeader(files.second, true);
    EXPECT_EQ(second.fileName, folder.file("RL.dmr"));
    ASSERT_EQ(second.volumes.size(), 3u);
    EXPECT_EQ(second.bValues.size(), 3u);
    expectSameVoxels(second.volumes[2], made.second[2]);
    expectSameVoxels(readVdmMapFile(files.map, true).map, made.displacement);
}

TEST(Phantom, SimulateCommandWritesTheFolderAndRejectsBadOptions)
{
    TemporaryFolder folder("varno_phantom_command");
    EXPECT_EQ(commandSimulate(
                  {folder.path(), "--size", "24x20x5", "--voxel-size", "2", "--peak", "2.5", "--seed", "7", "--float"}),
              0);
    const FmrHeader first = readFmrHeader(folder.file("AP.fmr"), true);
    ASSERT_EQ(first.volumes.size(), 1u);
    EXPECT_EQ(first.volumes[0].dimensions(), (Dimensions{24, 20, 5}));
    EXPECT_EQ(first.InplaneResolutionX.value, 2.0f);
    EXPECT_TRUE(std::filesystem::exists(folder.file("true_vdm.map")));

    EXPECT_EQ(commandSimulate({folder.path(), "--size", "24x20"}), 2);
    EXPECT_EQ(commandSimulate({folder.path(), "--size", "16x16x4", "--peak", "30"}), 2);
    EXPECT_EQ(commandSimulate({folder.path(), "--noise", "loud"}), 2);
    EXPECT_EQ(commandSimulate({}), 2);
    EXPECT_EQ(commandSimulate({folder.file("AP.fmr") + "/inside", "--size", "16x16x4", "--peak", "1"}), 1);
}

TEST(Phantom, GradientEchoSignalDependsOnTheSlopeDifferentlyForTheTwoPolarities)
{
    EXPECT_DOUBLE_EQ(gradientEchoSignal(30.0, 1.0, 0.0, 0.0), 1.0);
    // A compressed point (1 + s d' < 1) echoes later and has lost signal; a stretched one
    // echoes earlier; the polarities are mirror images of each other.
    EXPECT_LT(gradientEchoSignal(30.0, 1.0, -0.3, 0.0), 1.0);
    EXPECT_GT(gradientEchoSignal(30.0, 1.0, 0.3, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(gradientEchoSignal(30.0, -1.0, 0.3, 0.0), gradientEchoSignal(30.0, 1.0, -0.3, 0.0));
    EXPECT_NEAR(gradientEchoSignal(30.0, 1.0, -0.3, 0.0), std::exp(-(30.0 / 0.7 - 30.0) / kPhantomT2StarMs), 1e-12);
    // Across the slice: half a turn of phase at the echo leaves 2/pi.
    const double halfTurn = 0.5 * kPhantomReadoutMs / 30.0;
    EXPECT_NEAR(gradientEchoSignal(30.0, 1.0, 0.0, halfTurn), 2.0 / 3.141592653589793, 1e-12);
    // A longer echo time loses more.
    EXPECT_LT(gradientEchoSignal(50.0, 1.0, -0.3, 0.2), gradientEchoSignal(30.0, 1.0, -0.3, 0.2));
}

// The gradient-echo phantom differs from the spin-echo one only where the field varies,
// and there the two polarities no longer carry the same signal.
TEST(Phantom, GradientEchoLosesSignalWhereTheFieldVaries)
{
    PhantomOptions options;
    options.extent = {40, 44, 16};
    options.peakDisplacement = 3.5;
    const PhantomVolumes spinEcho = makePhantom(options);
    options.gradientEchoMs = 30.0;
    const PhantomVolumes gradientEcho = makePhantom(options);
    EXPECT_EQ(spinEcho.displacement.dimensions(), gradientEcho.displacement.dimensions());
    const Volume slope = vdmDerivativeY(spinEcho.displacement);
    double flatChange = 0.0, steepChange = 0.0, seTotals[2] = {0, 0}, geTotals[2] = {0, 0};
    for (std::size_t i = 0; i < slope.size(); ++i) {
        const double change = std::abs(gradientEcho.first[0][i] - spinEcho.first[0][i]);
        // Far from the field's sources the map and all its slopes vanish.
        if (std::abs(spinEcho.displacement[i]) < 0.01f) flatChange = std::max(flatChange, change);
        if (std::abs(slope[i]) > 0.2 && spinEcho.truth[i] > 300.0f) steepChange = std::max(steepChange, change);
        seTotals[0] += spinEcho.first[0][i];
        seTotals[1] += spinEcho.second[0][i];
        geTotals[0] += gradientEcho.first[0][i];
        geTotals[1] += gradientEcho.second[0][i];
    }
    EXPECT_LT(flatChange, 5.0);  // of intensities around 500
    EXPECT_GT(steepChange, 50.0);
    EXPECT_LT(std::abs(seTotals[0] / seTotals[1] - 1.0), 1e-3);
    EXPECT_GT(std::abs(geTotals[0] / geTotals[1] - 1.0), 3e-3);
}
