// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/bidsdataset.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "support/niftitestimages.h"

namespace fs = std::filesystem;

namespace {

void writeJson(const fs::path& path, const nlohmann::json& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content.dump(2) << '\n';
}

void writeText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

PhantomVolumes phantom(std::uint32_t seed, bool leftRight)
{
    PhantomOptions options;
    options.extent = {32, 32, 16};
    options.voxelSize = {3.0, 3.0, 3.0};
    options.peakDisplacement = 2.5;
    options.leftRight = leftRight;
    options.seed = seed;
    return makePhantom(options);
}

// fmap/PREFIX_dir-D_epi.nii.gz and its sidecar for both directions.
void writeFieldMapPair(const fs::path& folder, const std::string& prefix, const TestGrid& grid, const PhantomVolumes& p,
                       const std::string& first, const std::string& second, const nlohmann::json& firstSidecar,
                       const nlohmann::json& secondSidecar)
{
    writeGridImage((folder / (prefix + "_dir-" + first + "_epi.nii.gz")).string(), grid, p.first);
    writeGridImage((folder / (prefix + "_dir-" + second + "_epi.nii.gz")).string(), grid, p.second);
    writeJson(folder / (prefix + "_dir-" + first + "_epi.json"), firstSidecar);
    writeJson(folder / (prefix + "_dir-" + second + "_epi.json"), secondSidecar);
}

}  // namespace

void writeGridImage(const std::string& path, const TestGrid& grid, const std::vector<Volume>& volumes)
{
    fs::create_directories(fs::path(path).parent_path());
    const int count = static_cast<int>(volumes.size());
    const int64_t dims[8] = {count > 1 ? 4 : 3, grid.extent.x, grid.extent.y, grid.extent.z, count, 1, 1, 1};
    NiftiImagePointer image(nifti_make_new_nim(dims, DT_FLOAT32, 1));
    if (!image) throw std::runtime_error("cannot make a test image");
    image->pixdim[1] = image->dx = grid.voxel[0];
    image->pixdim[2] = image->dy = grid.voxel[1];
    image->pixdim[3] = image->dz = grid.voxel[2];
    if (count > 1) image->pixdim[4] = image->dt = 2.0;
    image->xyz_units = NIFTI_UNITS_MM;
    image->time_units = NIFTI_UNITS_SEC;
    nifti_dmat44 m{};
    for (int axis = 0; axis < 3; ++axis) {
        m.m[axis][axis] = grid.voxel[axis];
        m.m[axis][3] = grid.origin[axis];
    }
    m.m[3][3] = 1.0;
    image->sform_code = NIFTI_XFORM_SCANNER_ANAT;
    image->sto_xyz = m;
    image->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    image->quatern_b = image->quatern_c = image->quatern_d = 0.0;
    image->qoffset_x = grid.origin[0];
    image->qoffset_y = grid.origin[1];
    image->qoffset_z = grid.origin[2];
    image->qfac = 1.0;
    image->qto_xyz = m;
    float* data = static_cast<float*>(image->data);
    for (const Volume& volume : volumes) {
        if (volume.dimensions() != grid.extent) throw std::runtime_error("volume and grid differ in extent");
        std::memcpy(data, volume.data(), volume.size() * sizeof(float));
        data += volume.size();
    }
    writeImageFile(image.get(), path);
}

Volume resampleToGrid(const Volume& source, const TestGrid& from, const TestGrid& to)
{
    Volume result(to.extent, 0.0f);
    for (int k = 0; k < to.extent.z; ++k)
        for (int j = 0; j < to.extent.y; ++j)
            for (int i = 0; i < to.extent.x; ++i) {
                const int index[3] = {i, j, k};
                double at[3];
                bool inside = true;
                for (int axis = 0; axis < 3; ++axis) {
                    const double world = to.origin[axis] + index[axis] * to.voxel[axis];
                    at[axis] = (world - from.origin[axis]) / from.voxel[axis];
                    const int n = axis == 0 ? from.extent.x : axis == 1 ? from.extent.y : from.extent.z;
                    inside = inside && at[axis] >= 0.0 && at[axis] <= n - 1;
                }
                if (!inside) continue;
                double value = 0.0;
                for (int corner = 0; corner < 8; ++corner) {
                    int c[3];
                    double weight = 1.0;
                    for (int axis = 0; axis < 3; ++axis) {
                        const int n = axis == 0 ? from.extent.x : axis == 1 ? from.extent.y : from.extent.z;
                        const int low = std::min(static_cast<int>(std::floor(at[axis])), n - 2 < 0 ? 0 : n - 2);
                        const double fraction = at[axis] - low;
                        const bool up = (corner >> axis) & 1;
                        c[axis] = up ? std::min(low + 1, n - 1) : low;
                        weight *= up ? fraction : 1.0 - fraction;
                    }
                    value += weight * source(c[0], c[1], c[2]);
                }
                result(i, j, k) = static_cast<float>(value);
            }
    return result;
}

std::string scannerPairFolder()
{
    const std::string folder = VARNO_SHARED_DATA_DIR "/ge-pepolar/nifti";
    return fs::is_regular_file(folder + "/AP.nii.gz") && fs::is_regular_file(folder + "/PA.nii.gz") ? folder : "";
}

TestDataset writeTestDataset(const std::string& root, bool withScannerPair)
{
    TestDataset dataset;
    dataset.root = root;
    dataset.pairGrid = {{32, 32, 16}, {3.0, 3.0, 3.0}, {-46.5, -46.5, -22.5}};
    dataset.otherGrid = {{22, 20, 12}, {4.0, 4.5, 4.0}, {-42.0, -40.0, -22.0}};
    const double t = dataset.readoutTime;
    const fs::path top = root;
    writeJson(top / "dataset_description.json",
              {{"Name", "VARNO phantom dataset"}, {"BIDSVersion", "1.9.0"}, {"DatasetType", "raw"}});
    writeText(top / "README", "Phantoms with known displacement maps for the tests of the dataset runs.\n");
    writeText(top / "participants.tsv", "participant_id\nsub-01\nsub-02\nsub-03\nsub-04\n" +
                                            std::string(withScannerPair && !scannerPairFolder().empty() ? "sub-ge\n" : ""));
    // Inherited by every AP/PA field map and every resting-state run.
    writeJson(top / "dir-AP_epi.json", {{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", t}});
    writeJson(top / "dir-PA_epi.json", {{"PhaseEncodingDirection", "j"}, {"TotalReadoutTime", t}});
    writeJson(top / "task-rest_bold.json", {{"TaskName", "rest"}, {"RepetitionTime", 2.0}});

    // sub-01: IntendedFor relative to the subject folder; a run on the pair's grid and
    // the same run resampled onto a coarser, shifted grid.
    dataset.subject01 = phantom(1, false);
    const PhantomVolumes& p1 = dataset.subject01;
    writeFieldMapPair(top / "sub-01/fmap", "sub-01", dataset.pairGrid, p1, "AP", "PA",
                      {{"IntendedFor", {"func/sub-01_task-rest_acq-native_bold.nii.gz",
                                        "func/sub-01_task-rest_acq-coarse_bold.nii.gz"}}},
                      {{"IntendedFor", {"func/sub-01_task-rest_acq-native_bold.nii.gz"}}});
    const Volume& distorted = p1.first.front();
    writeGridImage((top / "sub-01/func/sub-01_task-rest_acq-native_bold.nii.gz").string(), dataset.pairGrid,
                   {distorted, distorted * 0.9f});
    writeJson(top / "sub-01/func/sub-01_task-rest_acq-native_bold.json",
              {{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", t}});
    const Volume coarse = resampleToGrid(distorted, dataset.pairGrid, dataset.otherGrid);
    writeGridImage((top / "sub-01/func/sub-01_task-rest_acq-coarse_bold.nii.gz").string(), dataset.otherGrid,
                   {coarse, coarse * 0.9f});
    // The same displacement in mm over coarser voxels along j: fewer lines, a shorter readout.
    writeJson(top / "sub-01/func/sub-01_task-rest_acq-coarse_bold.json",
              {{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", t * dataset.pairGrid.voxel[1] / dataset.otherGrid.voxel[1]}});

    // sub-02, ses-1: left-right pair found through B0FieldIdentifier / B0FieldSource.
    const PhantomVolumes p2 = phantom(2, true);
    writeFieldMapPair(top / "sub-02/ses-1/fmap", "sub-02_ses-1", dataset.pairGrid, p2, "LR", "RL",
                      {{"PhaseEncodingDirection", "i"}, {"TotalReadoutTime", 0.04}, {"B0FieldIdentifier", "pepolar1"}},
                      {{"PhaseEncodingDirection", "i-"}, {"TotalReadoutTime", 0.04}, {"B0FieldIdentifier", "pepolar1"}});
    writeGridImage((top / "sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.nii.gz").string(), dataset.pairGrid,
                   {p2.second.front(), p2.second.front() * 0.9f});
    writeJson(top / "sub-02/ses-1/func/sub-02_ses-1_task-rest_bold.json",
              {{"PhaseEncodingDirection", "i-"}, {"TotalReadoutTime", 0.04}, {"B0FieldSource", "pepolar1"}});
    // ses-2: IntendedFor as a bids:: URI.
    const PhantomVolumes p3 = phantom(3, false);
    writeFieldMapPair(top / "sub-02/ses-2/fmap", "sub-02_ses-2", dataset.pairGrid, p3, "AP", "PA",
                      {{"IntendedFor", "bids::sub-02/ses-2/func/sub-02_ses-2_task-rest_bold.nii.gz"}}, nlohmann::json::object());
    writeGridImage((top / "sub-02/ses-2/func/sub-02_ses-2_task-rest_bold.nii.gz").string(), dataset.pairGrid,
                   {p3.first.front(), p3.first.front() * 0.9f});
    writeJson(top / "sub-02/ses-2/func/sub-02_ses-2_task-rest_bold.json",
              {{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", t}});

    // sub-03: two diffusion runs of opposite directions, b = 0 in volumes 0 and 3.
    const PhantomVolumes p4 = phantom(4, false);
    for (const auto& [direction, volumes, encoding] :
         {std::tuple{"AP", &p4.first, "j-"}, std::tuple{"PA", &p4.second, "j"}}) {
        const std::string stem = std::string("sub-03/dwi/sub-03_dir-") + direction + "_dwi";
        const Volume& b0 = volumes->front();
        writeGridImage((top / (stem + ".nii.gz")).string(), dataset.pairGrid, {b0, b0 * 0.4f, b0 * 0.35f, b0 * 1.02f});
        writeJson(top / (stem + ".json"), {{"PhaseEncodingDirection", encoding}, {"TotalReadoutTime", t}});
        writeText(top / (stem + ".bval"), "0 1000 1000 5\n");
        writeText(top / (stem + ".bvec"), "0 1 0 0\n0 0 1 0\n0 0 0 1\n");
    }

    // sub-04: its LR/RL pair lacks a phase-encoding direction; its AP/PA pair is good.
    const PhantomVolumes p5 = phantom(5, false);
    writeFieldMapPair(top / "sub-04/fmap", "sub-04_acq-broken", dataset.pairGrid, p5, "LR", "RL",
                      {{"PhaseEncodingDirection", "i"}, {"TotalReadoutTime", t},
                       {"IntendedFor", "func/sub-04_task-rest_acq-broken_bold.nii.gz"}},
                      {{"TotalReadoutTime", t}, {"IntendedFor", "func/sub-04_task-rest_acq-broken_bold.nii.gz"}});
    writeFieldMapPair(top / "sub-04/fmap", "sub-04_acq-good", dataset.pairGrid, p5, "AP", "PA",
                      {{"IntendedFor", "func/sub-04_task-rest_acq-good_bold.nii.gz"}}, nlohmann::json::object());
    for (const char* acq : {"broken", "good"}) {
        const std::string stem = std::string("sub-04/func/sub-04_task-rest_acq-") + acq + "_bold";
        writeGridImage((top / (stem + ".nii.gz")).string(), dataset.pairGrid, {p5.first.front(), p5.first.front() * 0.9f});
        writeJson(top / (stem + ".json"), {{"PhaseEncodingDirection", "j-"}, {"TotalReadoutTime", t}});
    }

    // sub-ge: the shared scanner pair, linked, never copied into the repository.
    const std::string scanner = scannerPairFolder();
    dataset.withScannerPair = withScannerPair && !scanner.empty();
    if (dataset.withScannerPair) {
        fs::create_directories(top / "sub-ge/fmap");
        for (const char* direction : {"AP", "PA"}) {
            fs::create_symlink(scanner + "/" + direction + ".nii.gz",
                               top / ("sub-ge/fmap/sub-ge_dir-" + std::string(direction) + "_epi.nii.gz"));
            fs::copy_file(scanner + "/" + direction + ".json", top / ("sub-ge/fmap/sub-ge_dir-" + std::string(direction) + "_epi.json"));
            fs::permissions(top / ("sub-ge/fmap/sub-ge_dir-" + std::string(direction) + "_epi.json"), fs::perms::owner_write,
                            fs::perm_options::add);
        }
    }
    return dataset;
}
