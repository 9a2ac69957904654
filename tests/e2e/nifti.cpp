// SPDX-License-Identifier: GPL-3.0-or-later
// NIfTI and BIDS data through the built host: import and export on the command line, and
// "mindaro correct" on a phantom laid out as a small BIDS-like folder.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "core/distance.h"
#include "files/projectheader.h"
#include "phantom/phantom.h"
#include "support/bidsdataset.h"
#include "support/bidsphantom.h"
#include "support/jsonfile.h"
#include "support/niftireadback.h"
#include "support/niftitestimages.h"
#include "support/runprocess.h"

namespace {

void writeJson(const std::string& path, const nlohmann::json& content)
{
    std::ofstream(path) << content.dump(2);
}

}  // namespace

TEST(NiftiCommands, ImportThenExportGivesBackTheImageOnTheCommandLine)
{
    const TemporaryFolder folder;
    TestImageLayout layout;
    layout.volumes = 2;
    const std::string image = folder.path() + "/run.nii.gz";
    writeTestImage(image, layout, [](int i, int j, int k, int t) { return i - 2 * j + 50 * k + 7 * t; });

    ProcessResult result = mindaroIn(folder.path(), {"import", image, "run.fmr"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Imported " + image + " (12 x 10 x 6, 2 volumes, voxels 2 x 2.5 x 3 mm) as run.fmr\n");
    result = mindaroIn(folder.path(), {"export", "run.fmr", "back.nii.gz", "--like", image});
    ASSERT_EQ(result.status, 0) << result.err;
    expectSameGrid(image, folder.path() + "/back.nii.gz");
    const std::vector<Volume> volumes = readVolumes(folder.path() + "/back.nii.gz");
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[1](11, 9, 5), 11 - 18 + 250 + 7);

    result = mindaroIn(folder.path(), {"import", image, "run.stc"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("OUT must end in .fmr or .dmr, got \"run.stc\""), std::string::npos) << result.err;
    result = mindaroIn(folder.path(), {"export", "run.fmr", "back.nii.gz"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--like IMAGE is required"), std::string::npos) << result.err;
    result = mindaroIn(folder.path(), {"import", image, "run.fmr", "--bvals", "b.bval", "--bvecs", "b.bvec"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("--bvals and --bvecs need a .dmr project"), std::string::npos) << result.err;
}

TEST(NiftiCorrect, PhantomBidsFolderIsCorrectedAndEveryOutputOverlaysItsInput)
{
    const TemporaryFolder folder;
    const double readoutTime = 0.05;
    const BidsPhantom bids = writeBidsPhantom(folder.path(), "j-", readoutTime);
    // Two further runs: one acquired like AP (two volumes), one like PA.
    const std::string func = folder.path() + "/sub-01/func";
    std::filesystem::create_directories(func);
    const std::string runAp = func + "/sub-01_task-rest_bold.nii.gz";
    const std::string runPa = func + "/sub-01_task-rest_dir-PA_bold.nii.gz";
    TestImageLayout twoVolumes = bids.layout;
    twoVolumes.volumes = 2;
    const Volume& first = bids.phantom.first.front();
    writeTestImage(runAp, twoVolumes, [&](int i, int j, int k, int t) { return std::round(first(i, j, k)) + t; });
    writeTestImage(runPa, bids.layout, [&](int i, int j, int k, int) { return std::round(bids.phantom.second[0](i, j, k)); });
    writeJson(func + "/sub-01_task-rest_bold.json", {{"PhaseEncodingDirection", "j-"}});
    writeJson(func + "/sub-01_task-rest_dir-PA_bold.json", {{"PhaseEncodingDirection", "j"}});

    const ProcessResult result = mindaroIn(folder.path(), {"correct", "--ap", bids.ap, "--pa", bids.pa, "--apply-to",
                                                           runAp, "--apply-to", runPa, "--out", "out"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::string out = folder.path() + "/out/";
    const std::vector<std::pair<std::string, std::string>> outputs{
        {bids.ap, "sub-01_dir-AP_epi_corrected.nii.gz"},
        {bids.pa, "sub-01_dir-PA_epi_corrected.nii.gz"},
        {runAp, "sub-01_task-rest_bold_corrected.nii.gz"},
        {runPa, "sub-01_task-rest_dir-PA_bold_corrected.nii.gz"},
        {bids.ap, "displacement_voxels.nii.gz"},
        {bids.ap, "displacement_mm.nii.gz"},
        {bids.ap, "field_hz.nii.gz"}};
    for (const auto& [input, name] : outputs) {
        ASSERT_TRUE(std::filesystem::exists(out + name)) << name << "\n" << result.out;
        expectSameGrid(input, out + name);
        const std::string sidecar = out + name.substr(0, name.size() - 7) + ".json";
        ASSERT_TRUE(std::filesystem::exists(sidecar)) << sidecar;
        EXPECT_TRUE(readJson(sidecar).contains("Description")) << sidecar;
    }
    EXPECT_TRUE(std::filesystem::exists(out + "qc.png"));

    // The map follows the phantom's truth; mm and Hz are the same map rescaled.
    const std::vector<VoxelIndex> object = phantomObjectVoxels(bids.phantom.truth);
    const Volume voxels = readVolumes(out + "displacement_voxels.nii.gz").front();
    const Volume mm = readVolumes(out + "displacement_mm.nii.gz").front();
    const Volume hz = readVolumes(out + "field_hz.nii.gz").front();
    EXPECT_GT(nccLocal(voxels, bids.phantom.displacement, object), 0.8);  // 0.87 measured; a wrong sign gives < 0
    for (std::size_t i = 0; i < voxels.size(); ++i) {
        ASSERT_EQ(mm[i], voxels[i] * 3.0f);
        // "j-": a positive field moves signal towards -j, so the field is -d / readout time.
        ASSERT_EQ(hz[i], voxels[i] * static_cast<float>(-1.0 / readoutTime));
    }
    const nlohmann::json hzSidecar = readJson(out + "field_hz.json");
    EXPECT_EQ(hzSidecar["Units"], "Hz");
    EXPECT_EQ(hzSidecar["TotalReadoutTime"], readoutTime);
    EXPECT_EQ(readJson(out + "displacement_mm.json")["Units"], "mm");
    EXPECT_EQ(readJson(out + "displacement_voxels.json")["ReferencePhaseEncodingDirection"], "j-");
    const nlohmann::json corrected = readJson(out + "sub-01_dir-PA_epi_corrected.json");
    EXPECT_EQ(corrected["PhaseEncodingDirection"], "j");  // the input's keys are kept
    EXPECT_EQ(corrected["DistortionCorrection"]["DisplacementSign"], -1);
    // By default the precise estimate with intensity correction, and the sidecars say so.
    EXPECT_EQ(corrected["DistortionCorrection"]["EstimationMethod"], "precise");
    EXPECT_EQ(corrected["DistortionCorrection"]["IntensityCorrection"], true);
    EXPECT_EQ(readJson(out + "displacement_voxels.json")["EstimationMethod"], "precise");

    // The corrected pair agrees better than the input pair, and each further run got the
    // map of the acquisition it shares its direction with.
    const Volume apAfter = readVolumes(out + "sub-01_dir-AP_epi_corrected.nii.gz").front();
    const Volume paAfter = readVolumes(out + "sub-01_dir-PA_epi_corrected.nii.gz").front();
    const Volume apBefore = readVolumes(bids.ap).front();
    const Volume paBefore = readVolumes(bids.pa).front();
    EXPECT_LT(ssdLocal(apAfter, paAfter, object), 0.5 * ssdLocal(apBefore, paBefore, object));
    const std::vector<Volume> runApAfter = readVolumes(out + "sub-01_task-rest_bold_corrected.nii.gz");
    ASSERT_EQ(runApAfter.size(), 2u);
    const Volume runPaAfter = readVolumes(out + "sub-01_task-rest_dir-PA_bold_corrected.nii.gz").front();
    for (std::size_t i = 0; i < apAfter.size(); ++i) {
        ASSERT_EQ(runApAfter[0][i], apAfter[i]);
        ASSERT_EQ(runPaAfter[i], paAfter[i]);
    }
}

TEST(NiftiCorrect, MissingPhaseEncodingIsAnErrorNamingTheKeyAndTheOption)
{
    const TemporaryFolder folder;
    const BidsPhantom bids = writeBidsPhantom(folder.path(), "j-", 0.05);
    const std::string sidecar = folder.path() + "/sub-01/fmap/sub-01_dir-PA_epi.json";
    writeJson(sidecar, {{"TotalReadoutTime", 0.05}});

    const ProcessResult result = mindaroIn(folder.path(), {"correct", "--ap", bids.ap, "--pa", bids.pa});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "mindaro correct: The phase-encoding direction of " + bids.pa +
                              " is not known: its sidecar " + sidecar +
                              " has no \"PhaseEncodingDirection\". Add it there or pass --pe-dir with the direction of "
                              "--ap (i, i-, j or j-).\n");
    EXPECT_FALSE(std::filesystem::exists(folder.path() + "/varno-correct"));

    // The command line supplies what the sidecar lacks.
    const ProcessResult given = mindaroIn(folder.path(), {"correct", "--ap", bids.ap, "--pa", bids.pa, "--pe-dir",
                                                          "j-", "--standard", "--fast", "--plain"});
    EXPECT_EQ(given.status, 0) << given.err;
    const std::string out = folder.path() + "/varno-correct/";
    const nlohmann::json corrected = readJson(out + "sub-01_dir-AP_epi_corrected.json");
    EXPECT_EQ(corrected["DistortionCorrection"]["EstimationMethod"], "standard column-wise estimate");
    EXPECT_EQ(corrected["DistortionCorrection"]["IntensityCorrection"], false);
    EXPECT_EQ(readJson(out + "displacement_mm.json")["EstimationMethod"], "standard column-wise estimate");
}

TEST(NiftiCorrect, FastChoosesTheStandardColumnWiseEstimate)
{
    const TemporaryFolder folder;
    const BidsPhantom bids = writeBidsPhantom(folder.path(), "j-", 0.05);
    const ProcessResult result = mindaroIn(folder.path(), {"correct", "--ap", bids.ap, "--pa", bids.pa, "--fast"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Estimating the displacement map (standard estimate) and correcting --ap and --pa (with "
                              "intensity correction) ...\n"),
              std::string::npos)
        << result.out;
    const nlohmann::json corrected = readJson(folder.path() + "/varno-correct/sub-01_dir-AP_epi_corrected.json");
    EXPECT_EQ(corrected["DistortionCorrection"]["EstimationMethod"], "standard column-wise estimate");
    EXPECT_EQ(corrected["DistortionCorrection"]["IntensityCorrection"], true);
}

TEST(NiftiCorrect, LeftRightPairFromSidecarsIsCorrectedAlongI)
{
    const TemporaryFolder folder;
    const BidsPhantom bids = writeBidsPhantom(folder.path(), "i", 0.04, true);
    const ProcessResult result = mindaroIn(folder.path(), {"correct", "--ap", bids.ap, "--pa", bids.pa});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("Phase encoding: --ap i, --pa i-\n"), std::string::npos) << result.out;
    const std::string out = folder.path() + "/varno-correct/";
    const Volume voxels = readVolumes(out + "displacement_voxels.nii.gz").front();
    const Volume mm = readVolumes(out + "displacement_mm.nii.gz").front();
    const Volume hz = readVolumes(out + "field_hz.nii.gz").front();
    EXPECT_GT(nccLocal(voxels, bids.phantom.displacement, phantomObjectVoxels(bids.phantom.truth)), 0.8);
    for (std::size_t i = 0; i < voxels.size(); ++i) {
        ASSERT_EQ(mm[i], voxels[i] * 2.5f);  // the voxel size along i
        ASSERT_EQ(hz[i], voxels[i] * static_cast<float>(1.0 / 0.04));
    }
    EXPECT_EQ(readJson(out + "displacement_mm.json")["PhaseEncodingAxis"], "i");
    EXPECT_TRUE(std::filesystem::exists(out + "qc.png"));
}

TEST(NiftiCorrect, RunOnAnotherGridIsCorrectedWithTheFieldCarriedIntoItsGridAndNeedsItsReadoutTime)
{
    const TemporaryFolder folder;
    const TestDataset dataset = writeTestDataset(folder.path() + "/raw", false);
    const std::string fmap = dataset.root + "/sub-01/fmap/sub-01_dir-";
    const std::string run = dataset.root + "/sub-01/func/sub-01_task-rest_acq-coarse_bold.nii.gz";
    // The pair's readout time comes from the dataset's top-level sidecars, which correct
    // does not read; the run's own sidecar gives its readout time.
    const std::vector<std::string> pair{"correct", "--ap", fmap + "AP_epi.nii.gz", "--pa", fmap + "PA_epi.nii.gz",
                                        "--pe-dir", "j-", "--apply-to", run, "--fast"};
    const ProcessResult refused = mindaroIn(folder.path(), pair);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "mindaro correct: " + run + " (22 x 20 x 12) is not on the grid of --ap " + fmap +
                               "AP_epi.nii.gz (32 x 32 x 16): its map is carried over through the field in Hz, which "
                               "needs the total readout time of the pair (\"TotalReadoutTime\" in their sidecars, or "
                               "--readout-time) and of the run (\"TotalReadoutTime\" in its sidecar, or "
                               "--apply-readout-time).\n");
    EXPECT_FALSE(std::filesystem::exists(folder.path() + "/varno-correct"));

    std::vector<std::string> withTime = pair;
    withTime.insert(withTime.end(), {"--readout-time", "0.05", "--out", "out"});
    const ProcessResult result = mindaroIn(folder.path(), withTime);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const std::string output = folder.path() + "/out/sub-01_task-rest_acq-coarse_bold_corrected.nii.gz";
    expectSameGrid(run, output);
    const nlohmann::json sidecar = readJson(folder.path() + "/out/sub-01_task-rest_acq-coarse_bold_corrected.json");
    EXPECT_EQ(sidecar["DistortionCorrection"]["FieldMap"], "field_hz.nii.gz");
    EXPECT_DOUBLE_EQ(sidecar["DistortionCorrection"]["TotalReadoutTime"].get<double>(), 0.05 * 3.0 / 4.5);
}
