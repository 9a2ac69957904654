// SPDX-License-Identifier: GPL-3.0-or-later
// The echo times and units of gradient-echo field maps from their sidecars and options.
#include <gtest/gtest.h>

#include <cmath>

#include "nifti/fieldmapinputs.h"

namespace {

FieldMapImage image(const std::string& name, const nlohmann::json& metadata)
{
    return {name + ".nii.gz", name + ".nii.gz", metadata, name + ".json"};
}

}  // namespace

TEST(FieldMapInputs, FieldMapUnitsConvertHertzRadiansPerSecondAndTesla)
{
    EXPECT_DOUBLE_EQ(resolveFieldUnits(image("f", {{"Units", "Hz"}})).hertzPerUnit, 1.0);
    EXPECT_DOUBLE_EQ(resolveFieldUnits(image("f", {{"Units", "rad/s"}})).hertzPerUnit, 1.0 / (2.0 * 3.14159265358979323846));
    // 1 microtesla of off-resonance is 42.58 Hz for protons.
    EXPECT_NEAR(resolveFieldUnits(image("f", {{"Units", "T"}})).hertzPerUnit * 1e-6, 42.577478518, 1e-9);
    EXPECT_THROW(resolveFieldUnits(image("f", {{"Units", "hz"}})), MetadataError);
    EXPECT_THROW(resolveFieldUnits(image("f", {{"Units", 1}})), MetadataError);
}

TEST(FieldMapInputs, EchoTimesOfEachKindAndTheOptionThatStandsInOrOverrides)
{
    FieldMapInputs difference;
    difference.phase = image("d", {{"EchoTime1", 0.00492}, {"EchoTime2", 0.00738}});
    std::vector<std::string> notes;
    const EchoTimes fromSidecar = resolveEchoTimes(difference, std::nullopt, "", notes);
    EXPECT_EQ(fromSidecar.first, 0.00492);
    EXPECT_EQ(fromSidecar.second, 0.00738);
    EXPECT_EQ(fromSidecar.source, "d.json");
    EXPECT_TRUE(notes.empty());

    FieldMapInputs phases;
    phases.kind = FieldMapKind::TwoPhases;
    phases.phase = image("p1", {{"EchoTime", 0.004}});
    phases.phase2 = image("p2", nlohmann::json::object());
    try {
        resolveEchoTimes(phases, std::nullopt, "pass --echo-times TE1 TE2 (seconds).", notes);
        ADD_FAILURE() << "a missing echo time was accepted";
    } catch (const MetadataError& error) {
        EXPECT_STREQ(error.what(), "\"EchoTime\" is missing from p2.json (the sidecar of p2.nii.gz); the field needs "
                                   "both echo times. Add it or pass --echo-times TE1 TE2 (seconds).");
    }
    const EchoTimes option = resolveEchoTimes(phases, EchoTimes{0.005, 0.007, "--echo-times"}, "", notes);
    EXPECT_EQ(option.second, 0.007);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], "--echo-times 0.005 0.007 overrides the echo times of p1.json and p2.json.");
}
