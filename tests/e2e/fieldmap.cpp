// SPDX-License-Identifier: GPL-3.0-or-later
// "mindaro correct" with gradient-echo field maps: every kind BIDS knows on a phantom with
// a known field, the sign of the displacement, and the shared scanner pair's own field
// given back as a field map.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "core/distance.h"
#include "core/vdm.h"
#include "fieldmap/headmask.h"
#include "support/fieldmapphantom.h"
#include "support/niftireadback.h"
#include "support/runprocess.h"

namespace {

namespace fs = std::filesystem;

ProcessResult mindaroIn(const std::string& folder, const std::vector<std::string>& arguments)
{
    std::vector<std::string> command{mindaroPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProcess(command, folder);
}

nlohmann::json readJson(const std::string& path)
{
    std::ifstream file(path);
    return nlohmann::json::parse(file);
}

// The options that name the field map of the case's files.
std::vector<std::string> fieldMapOptions(FieldMapCase kind, const std::vector<std::string>& files)
{
    switch (kind) {
    case FieldMapCase::PhaseDifference:
        return {"--phasediff", files[0], "--magnitude", files[1], "--magnitude2", files[2]};
    case FieldMapCase::TwoPhases:
        return {"--phase1", files[0], "--phase2", files[1], "--magnitude", files[2], "--magnitude2", files[3]};
    case FieldMapCase::FieldInRadiansPerSecond:
        return {"--fieldmap", files[0], "--magnitude", files[1]};
    }
    return {};
}

double rmsInside(const Volume& a, const Volume& b, const std::vector<VoxelIndex>& voxels)
{
    double sum = 0.0;
    for (const VoxelIndex& v : voxels) {
        const double d = a(v.x, v.y, v.z) - b(v.x, v.y, v.z);
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(voxels.size()));
}

std::vector<VoxelIndex> voxelsOf(const VoxelMask& mask, const Volume& grid)
{
    std::vector<VoxelIndex> voxels;
    for (int z = 0; z < grid.nz(); ++z)
        for (int y = 0; y < grid.ny(); ++y)
            for (int x = 0; x < grid.nx(); ++x)
                if (mask[grid.index(x, y, z)]) voxels.push_back({x, y, z});
    return voxels;
}

}  // namespace

class FieldMapKinds : public ::testing::TestWithParam<FieldMapCase> {};

// The phantom's runs (j and j-) corrected with a field map of each kind, written on a
// finer, shifted grid of its own, against the truth: as close to it as the same runs
// corrected with the true map.
TEST_P(FieldMapKinds, RunsCorrectedWithTheFieldAgreeWithTheTruthAsWellAsWithTheTrueMap)
{
    const TemporaryFolder folder;
    const FieldMapPhantom phantom = writeFieldMapPhantomRuns(folder.path());
    const std::vector<std::string> files =
        writeFieldMapCase(folder.path() + "/sub-01", GetParam(), phantom.fieldGrid, phantomFieldOnFieldGrid(phantom),
                          phantomMagnitudeOnFieldGrid(phantom), nlohmann::json::object());
    std::vector<std::string> arguments{"correct", "--apply-to", phantom.first, "--apply-to", phantom.second, "--out", "out"};
    const std::vector<std::string> options = fieldMapOptions(GetParam(), files);
    arguments.insert(arguments.end(), options.begin(), options.end());
    const ProcessResult result = mindaroIn(folder.path(), arguments);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::string out = folder.path() + "/out/";

    // The field on its own grid, where it was measured, against the truth (a 2 mm smoothing
    // apart).
    const Volume field = readVolumes(out + "fieldmap_hz.nii.gz").front();
    expectSameGrid(files[0], out + "fieldmap_hz.nii.gz");
    const Volume trueField = phantomFieldOnFieldGrid(phantom);
    EXPECT_LT(rmsInside(field, trueField, voxelsOf(headMask(phantomMagnitudeOnFieldGrid(phantom)), field)), 1.5);
    const nlohmann::json sidecar = readJson(out + "fieldmap_hz.json");
    EXPECT_EQ(sidecar["Units"], "Hz");
    if (GetParam() != FieldMapCase::FieldInRadiansPerSecond) {
        EXPECT_EQ(sidecar["Unwrapping"]["JumpsLeft"], 0);
        EXPECT_DOUBLE_EQ(sidecar["EchoTime2"].get<double>(), kPhantomEchoTime2);
    }

    const std::vector<VoxelIndex> object = phantomObjectVoxels(phantom.phantom.truth);
    // Where the field was measured: not in the sinus, the skull or around the head.
    const std::vector<VoxelIndex> measured = voxelsOf(headMask(phantom.phantom.truth), phantom.phantom.truth);
    const Volume& truth = phantom.phantom.truth;
    const Volume& d = phantom.phantom.displacement;
    struct Run {
        std::string stem;
        const Volume& acquired;
        Volume trueMap;
    };
    const Run runs[] = {{"first_bold", phantom.phantom.first.front(), d}, {"second_bold", phantom.phantom.second.front(), -d}};
    for (const Run& run : runs) {
        const Volume corrected = readVolumes(out + run.stem + "_corrected.nii.gz").front();
        const Volume withTrueMap = undistort(run.acquired, run.trueMap, false, true);
        // The correlation with the truth: the field closes the gap between the run as
        // acquired and the run corrected with the true map to within 1 %.
        const double before = nccLocal(run.acquired, truth, object);
        const double ours = nccLocal(corrected, truth, object);
        const double reference = nccLocal(withTrueMap, truth, object);
        ASSERT_GT(reference, before + 0.01);
        EXPECT_GT((ours - before) / (reference - before), 0.99) << run.stem << ": " << ours << " against " << reference;
        const Volume displacement = readVolumes(out + run.stem + "_displacement_voxels.nii.gz").front();
        EXPECT_LT(rmsInside(displacement, run.trueMap, measured), 0.05) << run.stem;
        EXPECT_EQ(readJson(out + run.stem + "_corrected.json")["DistortionCorrection"]["FieldMapKind"],
                  sidecar["FieldMapKind"]);
    }
    EXPECT_TRUE(fs::is_regular_file(out + "report.html"));
}

INSTANTIATE_TEST_SUITE_P(FieldMapCorrect, FieldMapKinds,
                         ::testing::Values(FieldMapCase::PhaseDifference, FieldMapCase::TwoPhases,
                                           FieldMapCase::FieldInRadiansPerSecond));
