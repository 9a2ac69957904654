// SPDX-License-Identifier: GPL-3.0-or-later
// Discovery of every kind of field map in a dataset: gradient-echo field maps joined by
// their entities, the runs they name, the choice among several field maps that name one
// run, and every field-map image that is not used named with the reason.
#include <gtest/gtest.h>

#include <filesystem>

#include "dataset/discovery.h"
#include "dataset/groupindex.h"
#include "support/fieldmapdataset.h"
#include "support/runprocess.h"

namespace {

std::vector<std::string> findingTexts(const std::vector<DatasetFinding>& findings)
{
    std::vector<std::string> texts;
    for (const DatasetFinding& finding : findings) texts.push_back(finding.file + ": " + finding.reason);
    return texts;
}

std::vector<std::string> targetsOf(const WorkItem& item)
{
    std::vector<std::string> sources;
    for (const ItemTarget& target : item.targets) sources.push_back(target.image.relative);
    return sources;
}

}  // namespace

TEST(FieldMapDiscovery, EveryKindBecomesAnItemWithTheRunsItCorrects)
{
    const TemporaryFolder folder;
    const FieldMapDataset dataset = writeFieldMapDataset(folder.path());
    const SessionPlan plan = discoverSession({dataset.root, "/out", {}}, "01", "");
    ASSERT_EQ(plan.items.size(), 4u) << findingTexts(plan.problems).size();
    const WorkItem& pair = plan.items[0];
    EXPECT_TRUE(pair.pair());
    EXPECT_EQ(targetsOf(pair), std::vector<std::string>{fieldMapDatasetRun("d")});

    const WorkItem& difference = plan.items[1];
    EXPECT_EQ(difference.name, "sub-01_fmapid-2");
    EXPECT_EQ(difference.fieldMapKind, "phasediff");
    EXPECT_EQ(difference.b0FieldIdentifier, "gre");
    ASSERT_EQ(difference.fieldMapImages.size(), 3u);
    EXPECT_EQ(difference.fieldMapImages[0].relative, "sub-01/fmap/sub-01_acq-diff_phasediff.nii.gz");
    EXPECT_EQ(difference.fieldMapImages[2].role, "magnitude2");
    EXPECT_EQ(targetsOf(difference), (std::vector<std::string>{fieldMapDatasetRun("a"), fieldMapDatasetRun("e")}));
    EXPECT_EQ(difference.targets[1].why, "B0FieldSource \"gre\" = B0FieldIdentifier of sub-01/fmap/sub-01_acq-diff_phasediff.nii.gz");
    EXPECT_EQ(difference.fieldmap, "sub-01/fmap/sub-01_fmapid-2_desc-varno_fieldmap.nii.gz");
    EXPECT_EQ(difference.targets[0].beforePicture, "sub-01/figures/sub-01_task-a_desc-sdcbefore_bold.svg");

    const WorkItem& direct = plan.items[2];
    EXPECT_EQ(direct.fieldMapKind, "fieldmap");
    ASSERT_EQ(direct.targets.size(), 2u);  // task-g too: that it lies off the field map shows only in its item
    EXPECT_EQ(direct.targets[0].image.readoutTimeRule,
              "EffectiveEchoSpacing x (rows along the phase encoding - 1) = 0.00128205 s x 39");
    const WorkItem& two = plan.items[3];
    EXPECT_EQ(two.fieldMapKind, "phase1+phase2");
    ASSERT_EQ(two.targets.size(), 1u);
    EXPECT_DOUBLE_EQ(*two.targets[0].image.totalReadoutTime, dataset.phantom.readoutTime);
    EXPECT_EQ(two.targets[0].image.phaseEncodingDirection, "j-");

    const std::string broken = "sub-01/fmap/sub-01_acq-broken_phasediff.nii.gz";
    EXPECT_EQ(findingTexts(plan.problems),
              (std::vector<std::string>{
                  broken + ": field map not usable: \"EchoTime2\" is missing from its sidecars (" + dataset.root +
                      "/sub-01/fmap/sub-01_acq-broken_phasediff.json) (the sidecar of " + broken +
                      "); the field needs both echo times. Add it.",
                  fieldMapDatasetRun("f") + ": not corrected (IntendedFor of " + broken + "): its field map cannot be used"}));
    const std::string nobody = "field map not used: no run names it (IntendedFor or B0FieldSource)";
    EXPECT_EQ(findingTexts(plan.notes),
              (std::vector<std::string>{
                  "sub-01/fmap/sub-01_acq-lonely_magnitude1.nii.gz: field map not used: no _phasediff, _phase1 and "
                  "_phase2, or _fieldmap of the same entities beside it",
                  "sub-01/fmap/sub-01_acq-broken_magnitude1.nii.gz: field map not used: its phasediff " + broken +
                      " cannot be used",
                  "sub-01/fmap/sub-01_acq-broken_magnitude2.nii.gz: field map not used: its phasediff " + broken +
                      " cannot be used",
                  "sub-01/fmap/sub-01_acq-diff_phasediff.nii.gz: field map not used for " + fieldMapDatasetRun("d") +
                      " (IntendedFor of sub-01/fmap/sub-01_acq-diff_phasediff.nii.gz): " + fieldMapDatasetRun("d") +
                      " is corrected with sub-01/fmap/sub-01_dir-AP_epi.nii.gz (without a B0FieldSource that decides, "
                      "the pair of opposite phase encoding)",
                  "sub-01/fmap/sub-01_dir-AP_epi.nii.gz: field map not used for " + fieldMapDatasetRun("e") +
                      " (IntendedFor of sub-01/fmap/sub-01_dir-AP_epi.nii.gz): " + fieldMapDatasetRun("e") +
                      " is corrected with sub-01/fmap/sub-01_acq-diff_phasediff.nii.gz (its B0FieldSource \"gre\")",
                  "sub-01/fmap/sub-01_acq-nobody_fieldmap.nii.gz: " + nobody,
                  "sub-01/fmap/sub-01_acq-nobody_magnitude.nii.gz: " + nobody}));
    EXPECT_EQ(plan.inputs.size(), 2u + 15u + 7u);
}

TEST(FieldMapDiscovery, GroupOutliersLeaveOutItemsWithoutAPairsAgreement)
{
    const auto pair = [](const std::string& name, double after) {
        return nlohmann::json{{"name", name}, {"Agreement", {{"After", {{"Correlation", after}}}}}};
    };
    const nlohmann::json field = {{"name", "field"}, {"Field", nlohmann::json::array()}};
    EXPECT_EQ(outlierItems({pair("a", 0.99), field, pair("b", 0.985), pair("c", 0.992), pair("d", 0.80)}),
              std::set<std::string>{"d"});
    EXPECT_TRUE(outlierItems({pair("a", 0.99), field, field, pair("d", 0.80)}).empty());
}
