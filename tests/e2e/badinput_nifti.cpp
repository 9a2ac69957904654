// SPDX-License-Identifier: GPL-3.0-or-later
// NIfTI images and BIDS sidecars that cannot be taken as they are, tried through every
// command that reads them (import, correct as --ap and as --apply-to, export --like):
// header fields that the NIfTI library would repair or ignore, geometry that is not
// valid, values that do not fit single precision or are not finite, readout times and
// sidecars out of bounds. Each is refused with the field or key, its value and the file,
// or, where something usable remains, reported.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/badinput.h"
#include "support/bidsdataset.h"
#include "support/niftitestimages.h"

namespace fs = std::filesystem;

namespace {

// Where the NIfTI-1 header keeps the fields that the cases spoil.
constexpr std::size_t kDim = 40;
constexpr std::size_t kDatatype = 70;
constexpr std::size_t kPixdim = 76;
constexpr std::size_t kVoxOffset = 108;
constexpr std::size_t kSlope = 112;
constexpr std::size_t kIntercept = 116;
constexpr std::size_t kQformCode = 252;
constexpr std::size_t kSformCode = 254;
constexpr std::size_t kQuaternB = 256;
constexpr std::size_t kQuaternC = 260;
constexpr std::size_t kSrowX = 280;
constexpr std::size_t kMagic = 344;

constexpr std::size_t kHeaderAndFlag = 352;
constexpr std::size_t kDataBytes = 16 * 16 * 4 * 2;  // the pair's int16 voxels

const std::string kQuaternion = "quatern_b, quatern_c, quatern_d = 0.9, 0.9, 0.0871557 give b\xC2\xB2 + c\xC2\xB2 + "
                                "d\xC2\xB2 = 1.6276, more than 1";

std::string sidecar(const std::string& direction)
{
    return nlohmann::json{{"PhaseEncodingDirection", direction}, {"TotalReadoutTime", 0.05}}.dump();
}

// The NIfTI phantom pair, and ap.nii imported as the project ap.fmr for export.
void writeNiftiPair(const std::string& folder)
{
    writeNiftiPhantomPair(folder);
    ASSERT_EQ(runProcess({mindaroPath(), "import", "ap.nii", "ap.fmr"}, folder).status, 0);
}

// The image "bad.nii" (a copy of ap.nii with the patch applied) and its sidecar.
template <class T>
void writeSpoiled(const std::string& folder, std::vector<std::pair<std::size_t, T>> patches)
{
    fs::copy_file(folder + "/ap.nii", folder + "/bad.nii", fs::copy_options::overwrite_existing);
    writeContents(folder + "/bad.json", sidecar("j"));
    for (const auto& [offset, value] : patches) patchFile(folder + "/bad.nii", offset, value);
}

// Every command that reads an image: import, correct with it as --ap and as --apply-to,
// export like it. All refuse it the same way.
void expectRefusedEverywhere(const std::string& folder, const std::string& image, const std::string& message)
{
    expectAnswer(folder, {"import", image, "x.fmr"}, {1, "mindaro import: " + message + "\n"});
    expectAnswer(folder, {"correct", "--ap", image, "--pa", "pa.nii", "--out", "out", "--fast"},
                 {1, "mindaro correct: " + message + "\n"});
    expectAnswer(folder, {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to", image, "--out", "out", "--fast"},
                 {1, "mindaro correct: " + message + "\n"});
    expectAnswer(folder, {"export", "ap.fmr", "x.nii", "--like", image}, {1, "mindaro export: " + message + "\n"});
}

std::string fieldRefused(const std::string& field, const std::string& value, const std::string& expected)
{
    return field + " = " + value + " in bad.nii: " + expected;
}

class BadInputNifti : public ::testing::Test {
protected:
    void SetUp() override { writeNiftiPair(folder.path()); }
    const std::string& path() const { return folder.path(); }
    TemporaryFolder folder;
};

}  // namespace

TEST_F(BadInputNifti, HeaderFieldsTheLibraryWouldRepairAreRefusedWithFieldValueAndFile)
{
    const std::string axes = "each of the dim[0] = 3 axes needs at least one voxel";
    const std::string offset = "the voxel data must start at a whole byte after the header, at byte 352 or later";
    const std::string sizes = "voxel sizes must be from 0.001 to 1000 mm";
    const std::string earlyFrom = "The voxel data of bad.nii end early: its header promises " + std::to_string(kDataBytes) +
                                  " bytes from byte ";
    const std::string fileHolds = " (vox_offset), the file holds " + std::to_string(kHeaderAndFlag + kDataBytes) + " bytes";
    const struct {
        std::vector<std::pair<std::size_t, std::int16_t>> shorts;
        std::vector<std::pair<std::size_t, float>> floats;
        std::string message;
    } cases[] = {
        {{{kDim + 6, 0}}, {}, fieldRefused("dim[3]", "0", axes)},
        {{{kDim + 4, -24}}, {}, fieldRefused("dim[2]", "-24", axes)},
        {{{kDim, 0}}, {}, fieldRefused("dim[0]", "0", "the number of axes must be 1 to 7")},
        {{{kDatatype, 0}}, {}, fieldRefused("datatype", "0", "not a NIfTI voxel type")},
        {{}, {{kVoxOffset, 0.0f}}, fieldRefused("vox_offset", "0", offset)},
        {{}, {{kVoxOffset, std::numeric_limits<float>::quiet_NaN()}}, fieldRefused("vox_offset", "nan", offset)},
        {{}, {{kVoxOffset, -352.0f}}, fieldRefused("vox_offset", "-352", offset)},
        {{}, {{kVoxOffset, 353.5f}}, fieldRefused("vox_offset", "353.5", offset)},
        {{}, {{kVoxOffset, 1e6f}}, earlyFrom + "1000000" + fileHolds},
        {{}, {{kVoxOffset, 400.0f}}, earlyFrom + "400" + fileHolds},
        {{}, {{kPixdim + 8, 0.0f}}, fieldRefused("pixdim[2]", "0", sizes)},
        {{}, {{kPixdim + 4, std::numeric_limits<float>::quiet_NaN()}}, fieldRefused("pixdim[1]", "nan", sizes)},
        {{}, {{kPixdim + 12, 1e30f}}, fieldRefused("pixdim[3]", "1e+30", sizes)},
        {{}, {{kPixdim + 8, 1e-30f}}, fieldRefused("pixdim[2]", "1e-30", sizes)},
        {{}, {{kSlope, std::numeric_limits<float>::infinity()}},
         fieldRefused("scl_slope", "inf", "the scaling must be a finite number (0 or NaN for none)")},
        {{}, {{kSlope, 2.0f}, {kIntercept, std::numeric_limits<float>::quiet_NaN()}},
         fieldRefused("scl_inter", "nan", "with scl_slope 2 the intercept must be a finite number")},
        // Geometry: a transform that is not valid, with no valid one beside it.
        {{{kSformCode, 0}}, {{kQuaternB, 0.9f}, {kQuaternC, 0.9f}},
         "The geometry of bad.nii is not valid and no other transform gives it: the qform (qform_code 1; " +
             kQuaternion + ")."},
        {{}, {{kQuaternB, 0.9f}, {kQuaternC, 0.9f}, {kSrowX, std::numeric_limits<float>::quiet_NaN()}},
         "The geometry of bad.nii is not valid and no other transform gives it: the qform (qform_code 1; " +
             kQuaternion + "); the sform (sform_code 4; srow_x[0] = nan)."},
        {{{kQformCode, 0}}, {{kSrowX, 0.0f}, {kSrowX + 4, 0.0f}, {kSrowX + 8, 0.0f}},
         "The geometry of bad.nii is not valid and no other transform gives it: the sform (sform_code 4; its 3 x 3 "
         "part has the determinant 0)."},
    };
    for (const auto& c : cases) {
        writeSpoiled(path(), c.shorts);
        for (const auto& [at, value] : c.floats) patchFile(path() + "/bad.nii", at, value);
        expectRefusedEverywhere(path(), "bad.nii", c.message);
    }

    writeSpoiled<char>(path(), {{kMagic + 1, 'i'}});
    expectRefusedEverywhere(path(), "bad.nii",
                            fieldRefused("magic", "\"ni1\"",
                                         "only single-file images (magic n+1 or n+2, named .nii or .nii.gz) are read"));
}

// An image whose header promises far more voxels than the file holds is refused from
// the header, before any of it is allocated (the runs have 4 GiB of address space).
TEST_F(BadInputNifti, ImagesPromisingMoreThanTheyHoldAreRefusedBeforeReading)
{
    writeSpoiled<std::int16_t>(path(), {{kDim + 2, 32767}, {kDim + 4, 32767}, {kDim + 6, 32767}});
    const std::string promised = std::to_string(32767ULL * 32767 * 32767 * 2);
    expectRefusedEverywhere(path(), "bad.nii",
                            "The voxel data of bad.nii end early: its header promises " + promised +
                                " bytes from byte 352 (vox_offset), the file holds " +
                                std::to_string(kHeaderAndFlag + kDataBytes) + " bytes");
    writeCompressed(path() + "/huge.nii.gz", readWhole(path() + "/bad.nii"));
    writeContents(path() + "/huge.json", sidecar("j"));
    expectRefusedEverywhere(path(), "huge.nii.gz",
                            "The voxel data of huge.nii.gz end early: its header promises " + promised +
                                " bytes from byte 352 (vox_offset), the file holds " +
                                std::to_string(fs::file_size(path() + "/huge.nii.gz")) + " compressed bytes");
}

TEST_F(BadInputNifti, TransformThatIsNotValidIsSetAsideWhenTheOtherIsValid)
{
    for (const bool spoilQform : {true, false}) {
        if (spoilQform)
            writeSpoiled<float>(path(), {{kQuaternB, 0.9f}, {kQuaternC, 0.9f}});
        else
            writeSpoiled<float>(path(), {{kSrowX + 4, std::numeric_limits<float>::infinity()}});
        const std::string note =
            spoilQform ? "Note: The qform of bad.nii is not valid (qform_code 1; " + kQuaternion +
                             "); its sform gives the geometry, and images written like it carry that transform alone.\n"
                       : "Note: The sform of bad.nii is not valid (sform_code 4; srow_x[1] = inf); its qform gives the "
                         "geometry, and images written like it carry that transform alone.\n";
        expectAnswer(path(), {"import", "bad.nii", "x.fmr"},
                     {0, "", note + "Imported bad.nii (16 x 16 x 4, 1 volume, voxels 2 x 2.5 x 3 mm) as x.fmr\n",
                      {"x.fmr", "x.stc"}});
        expectAnswer(path(), {"export", "ap.fmr", "x.nii", "--like", "bad.nii"},
                     {0, "", note + "Exported ap.fmr as x.nii\n", {"x.nii"}});
        // The output carries the valid transform alone, so that other programs can read it.
        const NiftiImagePointer written = readRaw(path() + "/x.nii", false);
        EXPECT_EQ(written->qform_code, spoilQform ? 0 : 1);
        EXPECT_EQ(written->sform_code, spoilQform ? 4 : 0);
        for (const char* name : {"x.fmr", "x.stc", "x.nii"}) fs::remove(path() + "/" + name);
    }
}

TEST_F(BadInputNifti, ValuesThatDoNotFitAFloatAreRefusedAndValuesThatAreNotFiniteReported)
{
    TestImageLayout layout;
    layout.extent = {16, 16, 4};
    layout.datatype = DT_FLOAT64;
    writeTestImage(path() + "/big.nii", layout,
                   [](int i, int j, int k, int) { return i == 3 && j == 4 && k == 1 ? 1e300 : 1e200 * (i == 2); });
    writeContents(path() + "/big.json", sidecar("j"));
    const std::string tooLarge = " holds values that do not fit single precision, in which the host keeps voxels (at "
                                 "most 3.40282e+38 in magnitude): the largest, ";
    const std::string scaleDown = ". Scale the image down before converting it.";
    const std::string bigMessage = "big.nii" + tooLarge + "1e+300, at voxel (3, 4, 1) of volume 0" + scaleDown;
    expectAnswer(path(), {"import", "big.nii", "x.fmr"}, {1, "mindaro import: " + bigMessage + "\n"});
    expectAnswer(path(), {"correct", "--ap", "big.nii", "--pa", "pa.nii", "--out", "out", "--fast"},
                 {1, "mindaro correct: " + bigMessage + "\n"});

    layout.datatype = DT_INT16;
    layout.slope = 1e38;
    writeTestImage(path() + "/scaled.nii", layout, [](int i, int j, int k, int) { return i + j + k; });
    writeContents(path() + "/scaled.json", sidecar("j"));
    const std::string scaledMessage = "scaled.nii" + tooLarge +
                                      "3.3e+39, at voxel (15, 15, 3) of volume 0 after scl_slope 1e+38 and scl_inter 0" +
                                      scaleDown;
    expectAnswer(path(), {"import", "scaled.nii", "x.fmr"}, {1, "mindaro import: " + scaledMessage + "\n"});
    expectAnswer(path(), {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to", "scaled.nii", "--out", "out",
                          "--fast"},
                 {1, "mindaro correct: " + scaledMessage + "\n"});

    // NaN and infinite voxels are data: kept, counted, and never estimated from.
    layout.datatype = DT_FLOAT32;
    layout.slope = 0.0;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    writeTestImage(path() + "/holes.nii", layout, [&](int i, int j, int k, int) {
        return i == 0 && j == 0 ? (k < 2 ? nan : k == 2 ? -inf : 10.0) : 10.0 * (i + j + k);
    });
    writeContents(path() + "/holes.json", sidecar("j"));
    expectAnswer(path(), {"import", "holes.nii", "x.fmr"},
                 {0, "",
                  "Note: holes.nii holds 3 voxels that are not finite numbers (NaN or infinite); they are kept as they "
                  "are, and no map can be estimated from a volume that holds them.\n"
                  "Imported holes.nii (16 x 16 x 4, 1 volume, voxels 2 x 2.5 x 3 mm) as x.fmr\n",
                  {"x.fmr", "x.stc"}});
    expectAnswer(path(), {"estimate", "x.fmr", "ap.fmr", "--fast"},
                 {1, "Error: Cannot estimate: volume 0 of x.fmr holds 3 voxels that are not finite numbers (NaN or "
                     "infinite).\n"});
    expectAnswer(path(), {"correct", "--ap", "holes.nii", "--pa", "pa.nii", "--out", "out", "--fast"},
                 {1, "mindaro correct: Volume 0 of holes.nii holds 3 voxels that are not finite numbers (NaN or "
                     "infinite); the map cannot be estimated from it. Choose another with --volumes.\n"});
}

TEST_F(BadInputNifti, ReadoutTimesOutsideOneMillisecondToOneSecondAreRefused)
{
    const std::string range = "--readout-time expects the total readout time in seconds, from 0.001 to 1, got ";
    const std::string usage = "usage: mindaro correct [options]  (see: mindaro correct --help)\n";
    for (const char* time : {"1e-320", "0.0005", "45", "-0.05", "nan", "inf"})
        expectAnswer(path(), {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--readout-time", time},
                     {2, "mindaro correct: " + range + "\"" + time + "\"\n" + usage});

    writeContents(path() + "/ap.json", R"({"PhaseEncodingDirection": "j", "TotalReadoutTime": 1e-320})");
    const nlohmann::json stored = nlohmann::json::parse(readWhole(path() + "/ap.json"))["TotalReadoutTime"];
    expectAnswer(path(), {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--fast"},
                 {1, "mindaro correct: \"TotalReadoutTime\" of ap.json is " + stored.dump() +
                         "; it must be a number of seconds from 0.001 s to 1 s. Correct it or pass --readout-time "
                         "SECONDS.\n"});
}

// Sidecars that would exhaust memory or the stack of the steps that copy and print them.
TEST_F(BadInputNifti, SidecarsBeyondTheirBoundsAreRefusedWithTheirNames)
{
    writeContents(path() + "/run.json", sidecar("j"));
    fs::copy_file(path() + "/ap.nii", path() + "/run.nii");
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    // The size alone refuses a file: no larger one is read.
    const std::uintmax_t largeSize = 17 << 20;
    const struct {
        std::string content;  // empty: a folder in the sidecar's place
        std::string problem;
        bool everyUse;        // else tried as the sidecar of --ap only
    } sidecars[] = {
        {deep, "nests its values more than 64 levels deep.", true},
        {"large", "holds " + std::to_string(largeSize) + " bytes, more than the 16777216 that are read.", false},
        {"", "is no regular file.", true},
        {"{\"PhaseEncodingDirection\": \"j\",", "is not valid JSON: parse error at line 1, column 32: syntax error while "
                                               "parsing object key - unexpected end of input; expected string literal",
         false},
    };
    const std::vector<std::pair<std::string, std::vector<std::string>>> uses{
        {"ap.json", {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--fast"}},
        {"pa.json", {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--fast"}},
        {"run.json", {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to", "run.nii", "--fast"}},
    };
    for (const auto& s : sidecars)
        for (const auto& [name, arguments] : uses) {
            if (!s.everyUse && name != "ap.json") continue;
            const std::string file = path() + "/" + name;
            const std::string kept = readWhole(file);
            fs::remove(file);
            if (s.content.empty())
                fs::create_directory(file);
            else if (s.content == "large")
                fs::resize_file((writeContents(file, sidecar("j")), file), largeSize);
            else
                writeContents(file, s.content);
            expectAnswer(path(), arguments, {1, "mindaro correct: The sidecar " + name + " " + s.problem + "\n"});
            fs::remove_all(file);
            writeContents(file, kept);
        }

    writeContents(path() + "/run.bvec", "1\n0\n0\n");
    writeContents(path() + "/run.bval", "1000\n");
    fs::resize_file(path() + "/run.bval", largeSize);
    expectAnswer(path(), {"import", "run.nii", "run.dmr", "--bvals", "run.bval", "--bvecs", "run.bvec"},
                 {1, "mindaro import: run.bval holds " + std::to_string(17 << 20) +
                         " bytes; a table of b-values or gradient directions holds at most 16777216\n"});
}

// The dataset runs read sidecars through the same bounds, and take a readout time only
// from 1 ms to 1 s: such a field map is reported as not usable, with its file, and the
// rest goes on.
TEST(BadInputDataset, SidecarsBeyondTheirBoundsMakeAFieldMapUnusable)
{
    const TemporaryFolder folder;
    const TestDataset dataset = writeTestDataset(folder.path() + "/raw", false);
    const std::string fmap = dataset.root + "/sub-04/fmap/sub-04_acq-good_dir-";
    const struct {
        std::string sidecar;
        std::string content;
        std::string problem;
    } cases[] = {
        {fmap + "AP_epi.json", std::string(100000, '[') + std::string(100000, ']'),
         "The sidecar " + fmap + "AP_epi.json nests its values more than 64 levels deep."},
        {fmap + "PA_epi.json", R"({"TotalReadoutTime": 1e-320})",
         "\"TotalReadoutTime\" of its sidecars (" + dataset.root + "/dir-PA_epi.json, " + fmap + "PA_epi.json) is " +
             nlohmann::json::parse("1e-320").dump() + "; it must be a number of seconds from 0.001 s to 1 s."},
    };
    for (const auto& c : cases) {
        const std::string kept = readWhole(c.sidecar);
        writeContents(c.sidecar, c.content);
        const ProcessResult run = runHostileCase(
            folder.path(), {"bids", "raw", "out", "participant", "--participant-label", "04", "--jobs", "1", "--fast"}, 1);
        const std::string image = "sub-04/fmap/sub-04_acq-good_dir-" + c.sidecar.substr(fmap.size(), 2) + "_epi.nii.gz";
        EXPECT_NE(run.out.find("  " + image + ": field map not usable: " + c.problem), std::string::npos) << run.out;
        EXPECT_FALSE(fs::exists(folder.path() + "/out/sub-04/func")) << "a run of sub-04 was corrected";
        writeContents(c.sidecar, kept);
        fs::remove_all(folder.path() + "/out");
    }
}
