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
#include "fieldmap/fieldestimate.h"
#include "fieldmap/headmask.h"
#include "fieldmap/phaseunits.h"
#include "report/qcpicture.h"
#include "support/fieldmapphantom.h"
#include "support/bidsdataset.h"
#include "support/jsonfile.h"
#include "support/niftireadback.h"
#include "support/runprocess.h"

namespace {

namespace fs = std::filesystem;

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

// A +j run shows the signal that belongs at y at y + field x readout time, a j- run at
// y - field x readout time (and the same along i): runs made so in the test, with a field
// of 40 Hz and a readout time of 50 ms (2 voxels), come back as the object.
TEST(FieldMapCorrect, PlusRunShowsTheSignalOfYAtYPlusFieldTimesReadoutTime)
{
    const TemporaryFolder folder;
    const TestGrid grid{{24, 24, 6}, {3.0, 3.0, 3.0}, {-34.5, -34.5, -7.5}};
    Volume object(grid.extent, 0.0f);
    for (int z = 0; z < 6; ++z)
        for (int y = 4; y < 20; ++y)
            for (int x = 4; x < 20; ++x) object(x, y, z) = static_cast<float>(500 + 40 * x + 25 * y + (y == 11 ? 800 : 0));
    writeGridImage(folder.path() + "/field.nii.gz", grid, {Volume(grid.extent, 40.0f)});
    std::ofstream(folder.path() + "/field.json") << R"({"Units": "Hz"})";
    writeGridImage(folder.path() + "/magnitude.nii.gz", grid, {object});
    const int shift = 2;
    std::vector<std::string> arguments{"correct",          "--fieldmap", "field.nii.gz", "--magnitude", "magnitude.nii.gz",
                                       "--fieldmap-smooth", "0",          "--plain",      "--out",       "out"};
    for (const char* direction : {"j", "j-", "i", "i-"}) {
        const bool alongI = direction[0] == 'i';
        const int sign = direction[1] == '-' ? -1 : 1;
        Volume acquired(grid.extent, 0.0f);
        for (int z = 0; z < 6; ++z)
            for (int y = 0; y < 24; ++y)
                for (int x = 0; x < 24; ++x) {
                    const int from = (alongI ? x : y) - sign * shift;
                    if (from >= 0 && from < 24) acquired(x, y, z) = alongI ? object(from, y, z) : object(x, from, z);
                }
        const std::string name = std::string("run-") + (alongI ? "i" : "j") + (sign < 0 ? "minus" : "plus");
        writeGridImage(folder.path() + "/" + name + ".nii.gz", grid, {acquired});
        std::ofstream(folder.path() + "/" + name + ".json")
            << nlohmann::json{{"PhaseEncodingDirection", direction}, {"TotalReadoutTime", 0.05}}.dump();
        arguments.insert(arguments.end(), {"--apply-to", name + ".nii.gz"});
    }
    const ProcessResult result = mindaroIn(folder.path(), arguments);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    for (const char* name : {"run-jplus", "run-jminus", "run-iplus", "run-iminus"}) {
        const std::string stem = folder.path() + "/out/" + name;
        const Volume corrected = readVolumes(stem + "_corrected.nii.gz").front();
        for (int z = 0; z < 6; ++z)
            for (int y = 3; y < 21; ++y)
                for (int x = 3; x < 21; ++x) ASSERT_NEAR(corrected(x, y, z), object(x, y, z), 1.0) << name << " " << x << " " << y;
        const bool minus = std::string(name).find("minus") != std::string::npos;
        EXPECT_FLOAT_EQ(readVolumes(stem + "_displacement_voxels.nii.gz").front()(12, 12, 3), minus ? -2.0f : 2.0f) << name;
    }
}

// The shared scanner pair's own field, estimated from the pair and handed back as a field
// map in Hz with the corrected image as its magnitude, corrects the pair's two runs as
// well as the pair's own map does; and the same field wrapped unwraps to itself.
TEST(FieldMapCorrect, ScannerPairsFieldAsAFieldMapCorrectsItsRunsAsWellAsThePairsMap)
{
    const std::string scanner = scannerPairFolder();
    if (scanner.empty()) GTEST_SKIP() << "the shared scanner pair is not there";
    const TemporaryFolder folder;
    const std::string pa = scanner + "/PA.nii.gz";
    const std::string ap = scanner + "/AP.nii.gz";
    ProcessResult result = mindaroIn(folder.path(), {"correct", "--ap", pa, "--pa", ap, "--fast", "--out", "pair"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    // The real field's shape, wrapped as a phase difference over 10 ms (it spans more than a
    // turn), unwraps to itself inside the head.
    const Volume pairField = readVolumes(folder.path() + "/pair/field_hz.nii.gz").front();
    const double echoTimeDifference = 0.01;
    Volume wrapped(pairField.dimensions());
    for (std::size_t v = 0; v < wrapped.size(); ++v)
        wrapped[v] = wrapPhase(static_cast<float>(2.0 * 3.14159265358979323846 * pairField[v] * echoTimeDifference));
    const VoxelMask head = headMask(readVolumes(folder.path() + "/pair/PA_corrected.nii.gz").front());
    const FieldEstimate unwrapped = fieldFromPhaseDifference(wrapped, head, echoTimeDifference, {{1.0, 1.0, 1.0}, 0.0});
    EXPECT_EQ(unwrapped.unwrapping->jumpsLeft, 0u);
    double largest = 0.0;
    for (std::size_t v = 0; v < head.size(); ++v)
        if (head[v]) largest = std::max(largest, std::abs(static_cast<double>(unwrapped.hertz[v]) - pairField[v]));
    EXPECT_LT(largest, 0.01);

    fs::copy_file(folder.path() + "/pair/field_hz.nii.gz", folder.path() + "/sub-ge_fieldmap.nii.gz");
    std::ofstream(folder.path() + "/sub-ge_fieldmap.json") << R"({"Units": "Hz"})";
    result = mindaroIn(folder.path(), {"correct", "--fieldmap", "sub-ge_fieldmap.nii.gz", "--magnitude",
                                       "pair/PA_corrected.nii.gz", "--apply-to", pa, "--apply-to", ap, "--out", "field"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;

    const auto firstVolume = [&](const std::string& path) { return readVolumes(folder.path() + "/" + path).front(); };
    const Volume pairPa = firstVolume("pair/PA_corrected.nii.gz");
    const Volume pairAp = firstVolume("pair/AP_corrected.nii.gz");
    QcInputs inputs;
    inputs.firstBefore = inputs.firstAfter = pairPa;
    inputs.secondBefore = inputs.secondAfter = pairAp;
    const std::vector<VoxelIndex> object = qcObjectVoxels(inputs);
    const double byPair = nccLocal(pairPa, pairAp, object);
    const double byField = nccLocal(firstVolume("field/PA_corrected.nii.gz"), firstVolume("field/AP_corrected.nii.gz"), object);
    const double before = nccLocal(readVolumes(pa).front(), readVolumes(ap).front(), object);
    EXPECT_GT(byPair, before + 0.1);
    EXPECT_GT(byField, byPair - 0.01) << "pair " << byPair << ", field " << byField << ", before " << before;
}
