// SPDX-License-Identifier: GPL-3.0-or-later
// "mindaro bids" on a dataset with every kind of field map: each corrects the runs it was
// chosen for, its field is a derivative in Hz that says its kind, the run whose head lies
// off its field map is refused while the rest goes on, and the subject page shows every
// corrected run before and after beside its field.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "core/distance.h"
#include "support/fieldmapdataset.h"
#include "support/jsonfile.h"
#include "support/niftireadback.h"
#include "support/runprocess.h"

namespace fs = std::filesystem;

namespace {

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string corrected(const std::string& letter)
{
    return "sub-01/func/sub-01_task-" + letter + "_desc-sdc_bold";
}

}  // namespace

TEST(BidsFieldMaps, EveryKindCorrectsItsRunsAndWhatIsNotUsedOrRefusedIsReported)
{
    const TemporaryFolder folder;
    const FieldMapDataset dataset = writeFieldMapDataset(folder.path() + "/raw");
    const std::string out = folder.path() + "/out/";
    const ProcessResult run =
        runProcess({mindaroPath(), "bids", "raw", "out", "participant", "--jobs", "2", "--fast"}, folder.path());
    EXPECT_EQ(run.status, 1) << run.out << run.err;  // the broken field map, and task-g off its field map
    EXPECT_TRUE(contains(run.out, "4 work items done, 0 failed.\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "  " + fieldMapDatasetRun("f") + ": not corrected (IntendedFor of "
                                                                    "sub-01/fmap/sub-01_acq-broken_phasediff.nii.gz): its "
                                                                    "field map cannot be used\n"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "  " + fieldMapDatasetRun("g") + ": " + dataset.root + "/" + fieldMapDatasetRun("g") + ": "))
        << run.out;
    EXPECT_TRUE(contains(run.out, " % of its head lies outside the field map sub-01/fmap/sub-01_acq-direct_fieldmap.nii.gz"))
        << run.out;

    // Which field map corrected which run, and the kind each field says it is.
    const struct {
        const char* letter;
        const char* fieldmap;
        const char* kind;
    } runs[] = {{"a", "fmapid-2", "phasediff"}, {"e", "fmapid-2", "phasediff"}, {"c", "fmapid-3", "fieldmap"},
                {"b", "fmapid-4", "phase1+phase2"}, {"d", "fmapid-1", "epi"}};
    const Volume& truth = dataset.phantom.phantom.truth;
    const std::vector<VoxelIndex> object = phantomObjectVoxels(truth);
    for (const auto& [letter, fieldmap, kind] : runs) {
        const std::string field = "sub-01/fmap/sub-01_" + std::string(fieldmap) + "_desc-varno_fieldmap";
        const nlohmann::json fieldSidecar = readJson(out + field + ".json");
        EXPECT_EQ(fieldSidecar["Units"], "Hz");
        EXPECT_EQ(fieldSidecar["FieldMapKind"], kind) << field;
        const nlohmann::json intended = fieldSidecar["IntendedFor"];
        EXPECT_NE(std::find(intended.begin(), intended.end(), "bids:raw:" + fieldMapDatasetRun(letter)), intended.end())
            << letter << " in " << intended;
        const std::string image = out + corrected(letter) + ".nii.gz";
        expectSameGrid(dataset.root + "/" + fieldMapDatasetRun(letter), image);
        const nlohmann::json sidecar = readJson(out + corrected(letter) + ".json");
        EXPECT_EQ(sidecar["DistortionCorrection"]["FieldMap"], "bids::" + field + ".nii.gz") << letter;
        EXPECT_EQ(sidecar["TaskName"], letter);
        if (std::string(kind) == "epi") continue;
        // The gradient-echo field maps: as close to the truth as the true field makes them.
        const Volume acquired = readVolumes(dataset.root + "/" + fieldMapDatasetRun(letter)).front();
        const double before = nccLocal(acquired, truth, object);
        const double after = nccLocal(readVolumes(image).front(), truth, object);
        EXPECT_GT(after, before + 0.9 * (1.0 - before)) << letter << ": " << before << " -> " << after;
        for (const char* picture : {"sdcbefore", "sdcafter"})
            EXPECT_TRUE(fs::is_regular_file(out + "sub-01/figures/sub-01_task-" + letter + "_desc-" + picture + "_bold.svg"));
    }
    EXPECT_EQ(readJson(out + corrected("b") + ".json")["DistortionCorrection"]["TotalReadoutTimeSource"],
              "EffectiveEchoSpacing x (ReconMatrixPE - 1) = 0.000505051 s x 99");
    EXPECT_FALSE(fs::exists(out + corrected("g") + ".nii.gz"));
    EXPECT_FALSE(fs::exists(out + corrected("f") + ".nii.gz"));
    EXPECT_EQ(readJson(out + "sub-01/log/sub-01_fmapid-3.json")["refused"][0]["source"], fieldMapDatasetRun("g"));

    // The subject page: every corrected run before and after, and what was not used.
    const std::string page = readWhole(out + "sub-01.html");
    EXPECT_TRUE(contains(page, "src=\"sub-01/figures/sub-01_task-a_desc-sdcbefore_bold.svg\"")) << page.substr(0, 2000);
    EXPECT_TRUE(contains(page, "src=\"sub-01/figures/sub-01_task-d_desc-sdcafter_bold.svg\""));
    EXPECT_TRUE(contains(page, "field map not used for " + fieldMapDatasetRun("d")));
    EXPECT_TRUE(contains(page, "sub-01/fmap/sub-01_acq-nobody_fieldmap.nii.gz: field map not used: no run names it"));
    EXPECT_TRUE(contains(page, "class=\"problem\""));

    const ProcessResult group = runProcess({mindaroPath(), "bids", "raw", "out", "group"}, folder.path());
    ASSERT_EQ(group.status, 0) << group.out << group.err;
    EXPECT_TRUE(contains(readWhole(out + "index.html"), "sub-01/figures/sub-01_fmapid-2_desc-qc.png"));
}
