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
#include "support/bidsphantom.h"
#include "support/niftitestimages.h"
#include "support/runprocess.h"

namespace {

ProcessResult mindaroIn(const std::string& folder, const std::vector<std::string>& arguments)
{
    std::vector<std::string> command{mindaroPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runProcess(command, folder);
}

void writeJson(const std::string& path, const nlohmann::json& content)
{
    std::ofstream(path) << content.dump(2);
}

nlohmann::json readJson(const std::string& path)
{
    std::ifstream file(path);
    return nlohmann::json::parse(file);
}

std::vector<Volume> readVolumes(const std::string& path)
{
    const NiftiImagePointer image = readRaw(path);
    const Dimensions extent{static_cast<int>(image->nx), static_cast<int>(image->ny), static_cast<int>(image->nz)};
    std::vector<Volume> volumes;
    long long index = 0;
    const long long count = image->dim[0] >= 4 ? image->nt : 1;
    for (long long t = 0; t < count; ++t) {
        Volume volume(extent);
        for (std::size_t i = 0; i < volume.size(); ++i) volume[i] = static_cast<float>(rawValue(*image, index++));
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

void expectSameGrid(const std::string& input, const std::string& output)
{
    const NiftiImagePointer a = readRaw(input, false);
    const NiftiImagePointer b = readRaw(output, false);
    EXPECT_EQ(a->qform_code, b->qform_code) << output;
    EXPECT_EQ(a->sform_code, b->sform_code) << output;
    EXPECT_EQ(a->xyz_units, b->xyz_units) << output;
    for (int axis = 1; axis <= 3; ++axis) {
        EXPECT_EQ(a->dim[axis], b->dim[axis]) << output;
        EXPECT_EQ(a->pixdim[axis], b->pixdim[axis]) << output;
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(a->sto_xyz.m[r][c], b->sto_xyz.m[r][c]) << output;
            EXPECT_EQ(a->qto_xyz.m[r][c], b->qto_xyz.m[r][c]) << output;
        }
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
    const ProcessResult given =
        mindaroIn(folder.path(), {"correct", "--ap", bids.ap, "--pa", bids.pa, "--pe-dir", "j-", "--fast"});
    EXPECT_EQ(given.status, 0) << given.err;
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
