// SPDX-License-Identifier: GPL-3.0-or-later
// Input on which the estimate cannot give a result, tried through every command that
// estimates or uses a map: no command reports success with a map that is not a result.
// Where the cause is known (a voxel over 12 mm along the phase encoding, intensities over
// 1e8, fewer than 3 rows) the input is refused up front with the limit; a map that holds
// values that are not finite all the same is neither saved, applied nor exported; and an
// estimate that gives up leaves nothing and lists nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "files/vdmmapfile.h"
#include "nifti/projectwriter.h"
#include "phantom/phantom.h"
#include "support/badinput.h"
#include "support/niftitestimages.h"

namespace fs = std::filesystem;

namespace {

std::string number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

// Rows first..first+rows-1 of a volume.
Volume rowsOf(const Volume& volume, int first, int rows)
{
    Volume cut(volume.nx(), rows, volume.nz());
    for (int z = 0; z < volume.nz(); ++z)
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < volume.nx(); ++x) cut(x, y, z) = volume(x, first + y, z);
    return cut;
}

// A pair made from the 16 x 16 x 4 phantom: AP.fmr and PA.fmr in folder, the volumes
// given by change, with the voxel size given.
struct PairRecipe {
    std::array<double, 3> voxelSize{3.0, 3.0, 3.0};
    bool floatData = false;
    std::function<Volume(const Volume&)> change = [](const Volume& v) { return v; };
};

std::pair<Volume, Volume> writePair(const std::string& folder, const PairRecipe& recipe)
{
    PhantomOptions options;
    options.extent = {16, 16, 4};
    options.peakDisplacement = 1.0;
    const PhantomVolumes phantom = makePhantom(options);
    fs::create_directories(folder);
    std::pair<Volume, Volume> volumes{recipe.change(phantom.first.front()), recipe.change(phantom.second.front())};
    for (const auto& [name, volume] : {std::pair{"AP", &volumes.first}, {"PA", &volumes.second}}) {
        ProjectLayout layout;
        layout.extent = volume->dimensions();
        layout.voxelSize = recipe.voxelSize;
        layout.floatData = recipe.floatData;
        writeProject(folder + "/" + name + ".fmr", layout, name, {*volume});
    }
    return volumes;
}

// The same pair as NIfTI images ap.nii and pa.nii with sidecars.
void writeNiftiPair(const std::string& folder, const std::pair<Volume, Volume>& volumes,
                    const std::array<double, 3>& voxelSize)
{
    TestImageLayout layout;
    for (int axis = 0; axis < 3; ++axis) layout.voxel[axis] = voxelSize[axis];
    writeTestVolumes(folder + "/ap.nii", {volumes.first}, layout);
    writeTestVolumes(folder + "/pa.nii", {volumes.second}, layout);
    writeContents(folder + "/ap.json", R"({"PhaseEncodingDirection": "j", "TotalReadoutTime": 0.05})");
    writeContents(folder + "/pa.json", R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05})");
}

double largestMagnitude(const Volume& volume)
{
    double largest = 0.0;
    for (std::size_t i = 0; i < volume.size(); ++i) largest = std::max(largest, static_cast<double>(std::abs(volume[i])));
    return largest;
}

// Every way to estimate from the pair in folder (the friendly command fast and full, the
// dialog's step, correct on the NIfTI copies) refuses it with the message given.
void expectEstimateRefused(const std::string& folder, const std::string& pluginMessage, const std::string& correctMessage,
                           const std::vector<std::string>& options = {})
{
    const auto with = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), options.begin(), options.end());
        return arguments;
    };
    const std::string error = "Error: Cannot estimate: " + pluginMessage + "\n";
    expectAnswer(folder, with({"estimate", "AP.fmr", "PA.fmr", "--fast", "--apply"}), {1, error});
    expectAnswer(folder, with({"estimate", "AP.fmr", "PA.fmr"}), {1, error});
    expectAnswer(folder, {"task", "estimate", "--set", "file0=AP.fmr", "--set", "file1=PA.fmr", "--set-int",
                          std::string("rllr=") + (options.empty() ? "0" : "1")},
                 {1, error});
    if (!correctMessage.empty())
        for (const char* method : {"--fast", "--ssd"})
            expectAnswer(folder, {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--out", "out", method},
                         {1, "mindaro correct: " + correctMessage + "\n"});
}

}  // namespace

TEST(BadInputResults, InputOnWhichTheEstimateDivergesIsRefusedWithItsLimit)
{
    const TemporaryFolder coarse;
    const auto coarsePair = writePair(coarse.path(), {{3.0, 13.0, 3.0}});
    writeNiftiPair(coarse.path(), coarsePair, {3.0, 13.0, 3.0});
    expectEstimateRefused(coarse.path(),
                          "the voxel size along the phase-encoding axis of AP.fmr is 13 (InplaneResolutionY); the "
                          "estimate smooths 4 mm along that axis, which needs voxels of at most 12 mm there.",
                          "--ap ap.nii has voxels of 13 mm along the phase-encoding axis j; the estimate smooths 4 mm "
                          "along that axis, which needs voxels of at most 12 mm there.");

    const TemporaryFolder coarseX;
    writePair(coarseX.path(), {{12.5, 3.0, 3.0}});
    expectEstimateRefused(coarseX.path(),
                          "the voxel size along the phase-encoding axis of AP.fmr is 12.5 (InplaneResolutionX); the "
                          "estimate smooths 4 mm along that axis, which needs voxels of at most 12 mm there.",
                          "", {"--lr"});

    const TemporaryFolder bright;
    PairRecipe brightRecipe;
    brightRecipe.floatData = true;
    brightRecipe.change = [](const Volume& v) { return v * 1e7f; };
    const auto brightPair = writePair(bright.path(), brightRecipe);
    writeNiftiPair(bright.path(), brightPair, {3.0, 3.0, 3.0});
    const std::string upTo = number(largestMagnitude(brightPair.first));
    expectEstimateRefused(bright.path(),
                          "volume 0 of AP.fmr holds intensities up to " + upTo +
                              "; the estimate works in single precision on intensities of at most 1e+08 in magnitude. "
                              "Scale the data down.",
                          "Volume 0 of ap.nii holds intensities up to " + upTo +
                              "; the estimate works in single precision on intensities of at most 1e+08 in magnitude. "
                              "Scale the image down.");

    const TemporaryFolder thin;
    PairRecipe thinRecipe;
    thinRecipe.change = [](const Volume& v) { return rowsOf(v, 7, 2); };
    const auto thinPair = writePair(thin.path(), thinRecipe);
    writeNiftiPair(thin.path(), thinPair, {3.0, 3.0, 3.0});
    expectEstimateRefused(thin.path(),
                          "AP.fmr has 2 rows along the phase-encoding axis; the estimate fits a stretch and a shift to "
                          "every column and needs at least 3.",
                          "--ap ap.nii has 2 rows along the phase-encoding axis j; the estimate fits a stretch and a "
                          "shift to every column and needs at least 3.");
}

// An object cut by the field of view in a few rows along the phase encoding: the
// column-wise fit diverges. The fast estimate stops with the count of values that are
// not finite; the full estimate gives up as its dialog says, and the command says so too.
TEST(BadInputResults, EstimateThatDivergesOrGivesUpWritesAndListsNothing)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());  // maps of an earlier run, which must not be listed as this run's
    PairRecipe cut;
    cut.change = [](const Volume& v) { return rowsOf(v, 4, 4); };
    const auto pair = writePair(folder.path(), cut);
    writeNiftiPair(folder.path(), pair, {3.0, 3.0, 3.0});

    // The projects keep int16 voxels, the NIfTI images float ones.
    const double largest = std::max(largestMagnitude(pair.first), largestMagnitude(pair.second));
    const auto diverged = [](double upTo) {
        return "Error: The estimated map holds 256 voxels (of 256) that are not finite numbers; it was neither saved "
               "nor applied. The column-wise fit diverged; likely causes are an object cut by the field of view along "
               "the phase-encoding axis (4 rows), a voxel size along that axis close to 12 mm (here 3) or intensities "
               "close to 1e+08 (here up to " + number(upTo) + ").\n";
    };
    expectAnswer(folder.path(), {"estimate", "AP.fmr", "PA.fmr", "--fast", "--apply"}, {1, diverged(std::trunc(largest))});
    expectAnswer(folder.path(), {"task", "estimate", "--set", "file0=AP.fmr", "--set", "file1=PA.fmr", "--set-int",
                                 "fast_algorithm=1"},
                 {1, diverged(std::trunc(largest))});
    expectAnswer(folder.path(), {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--out", "out", "--fast"},
                 {1, diverged(largest)});

    const std::string gaveUp =
        "the estimate gave up; no map was saved and nothing was applied. It said: \"Not-a-number values detected. "
        "Local optimization skipped. Please start again trying higher order.\" The column-wise estimate that the full "
        "estimate starts from gave values that are not numbers, which happens when the object is cut by the field of "
        "view along the phase-encoding axis in few rows; --order 1 or 2 smooths the inputs differently.\n";
    expectAnswer(folder.path(), {"estimate", "AP.fmr", "PA.fmr", "--apply"}, {1, "mindaro estimate: " + gaveUp});
    expectAnswer(folder.path(), {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--out", "out", "--standard"},
                 {1, "mindaro correct: " + gaveUp});
    // The precise estimate, correct's default, refuses so few rows before it starts.
    expectAnswer(folder.path(), {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--out", "out"},
                 {1, "Error: The precise estimate needs volumes of at least 2 slices and 8 rows along the phase "
                     "encoding; volume 0 of out/projects/ap.fmr has 16 x 4 x 4 voxels.\n"});
}

// A map that holds values that are not finite is no result: refused wherever it is read.
TEST(BadInputResults, MapWithValuesThatAreNotFiniteIsNeverApplied)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    ASSERT_EQ(runProcess({mindaroPath(), "apply", "AP_vdm.map", "AP.fmr"}, folder.path()).status, 0);
    ASSERT_EQ(runProcess({mindaroPath(), "apply", "PA_vdm.map", "PA.fmr"}, folder.path()).status, 0);
    TestImageLayout layout;
    layout.extent = {16, 16, 4};
    writeTestImage(folder.path() + "/like.nii", layout, [](int, int, int, int) { return 0.0; });

    VdmMapFile map = readVdmMapFile(folder.path() + "/AP_vdm.map", true);
    for (const std::size_t i : {0u, 17u, 400u}) map.map[i] = std::numeric_limits<float>::quiet_NaN();
    map.map[1000] = -std::numeric_limits<float>::infinity();
    map.fileName = folder.path() + "/nan.map";
    writeVdmMapFile(map);
    const std::string holds = "The map nan.map holds 4 voxels (of 1024) that are not finite numbers";
    expectAnswer(folder.path(), {"apply", "nan.map", "AP.fmr"},
                 {1, "Error: " + holds + "; it cannot be applied. Estimate it again.\n", "Loading VDM...\n"});
    expectAnswer(folder.path(), {"task", "apply", "--set", "vdm=nan.map", "--set", "files=PA.fmr"},
                 {1, "Error: " + holds + "; it cannot be applied. Estimate it again.\n", "Loading VDM...\n"});
    expectAnswer(folder.path(), {"export", "nan.map", "nan.nii", "--like", "like.nii"},
                 {1, "mindaro export: " + holds + ".\n"});

    // The picture reads the first project's map.
    fs::copy_file(folder.path() + "/AP_vdm.map", folder.path() + "/AP_vdm.kept");
    fs::copy_file(folder.path() + "/nan.map", folder.path() + "/AP_vdm.map", fs::copy_options::overwrite_existing);
    expectAnswer(folder.path(), {"qc", "AP.fmr", "PA.fmr"},
                 {1, "mindaro qc: The map AP_vdm.map holds 4 voxels (of 1024) that are not finite numbers.\n"});
}
