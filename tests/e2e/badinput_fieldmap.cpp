// SPDX-License-Identifier: GPL-3.0-or-later
// Field maps that cannot give a field, or not one that covers the run, through "mindaro
// correct": each refused with the file and the key, nothing written and no input changed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "support/badinput.h"
#include "support/fieldmapphantom.h"
#include "support/niftireadback.h"

namespace {

const std::string kPrefix = "mindaro correct: ";
const std::string kUsage = "usage: mindaro correct [options]  (see: mindaro correct --help)\n";

class BadInputFieldMap : public ::testing::Test {
protected:
    void SetUp() override
    {
        phantom = writeFieldMapPhantomRuns(path());
        writeFieldMapCase(path() + "/fm", FieldMapCase::PhaseDifference, phantom.fieldGrid, phantomFieldOnFieldGrid(phantom),
                          phantomMagnitudeOnFieldGrid(phantom), nlohmann::json::object());
    }
    const std::string& path() const { return folder.path(); }
    std::vector<std::string> phaseDifference(const std::string& phase = "fm_phasediff.nii.gz") const
    {
        return {"correct", "--phasediff", phase, "--magnitude", "fm_magnitude1.nii.gz", "--apply-to", "first_bold.nii.gz",
                "--out", "out"};
    }
    void writeSidecar(const std::string& name, const nlohmann::json& content) const
    {
        writeContents(path() + "/" + name, content.dump());
    }
    TemporaryFolder folder;
    FieldMapPhantom phantom;
};

}  // namespace

TEST_F(BadInputFieldMap, PhaseThatIsNeitherRadiansNorScannerUnitsIsRefused)
{
    // The phase difference in degrees.
    Volume degrees = readVolumes(path() + "/fm_phasediff.nii.gz").front();
    degrees = degrees * static_cast<float>(180.0 / 4096.0);
    writeGridImage(path() + "/deg_phasediff.nii.gz", phantom.fieldGrid, {degrees});
    writeSidecar("deg_phasediff.json", {{"EchoTime1", kPhantomEchoTime1}, {"EchoTime2", kPhantomEchoTime2}});
    expectAnswer(path(), phaseDifference("deg_phasediff.nii.gz"),
                 {1, kPrefix + "--phasediff deg_phasediff.nii.gz holds neither a phase in radians (-pi..pi or 0..2 pi) "
                               "nor one in scanner units (-4096..4095, or 0..4095); it cannot be read as a phase.\n"});
}

TEST_F(BadInputFieldMap, MissingOrEqualEchoTimesAreRefusedNamingTheSidecarAndTheKey)
{
    writeSidecar("fm_phasediff.json", {{"EchoTime1", kPhantomEchoTime1}});
    expectAnswer(path(), phaseDifference(),
                 {1, kPrefix + "\"EchoTime2\" is missing from fm_phasediff.json (the sidecar of --phasediff "
                               "fm_phasediff.nii.gz); the field needs both echo times. Add it or pass --echo-times TE1 "
                               "TE2 (seconds).\n"});
    writeSidecar("fm_phasediff.json", {{"EchoTime1", 0.005}, {"EchoTime2", 0.005}});
    expectAnswer(path(), phaseDifference(),
                 {1, kPrefix + "The echo times \"EchoTime1\" and \"EchoTime2\" of fm_phasediff.json are equal (0.005 s); "
                               "the field needs two different echo times.\n"});
    writeSidecar("fm_phasediff.json", {{"EchoTime1", "5 ms"}, {"EchoTime2", 0.015}});
    expectAnswer(path(), phaseDifference(),
                 {1, kPrefix + "\"EchoTime1\" of fm_phasediff.json is \"5 ms\"; it must be an echo time in seconds, from "
                               "0.0001 to 0.5.\n"});
    std::vector<std::string> withOption = phaseDifference();
    withOption.insert(withOption.end(), {"--echo-times", "0.005", "5"});
    expectAnswer(path(), withOption,
                 {2, kPrefix + "--echo-times expects two echo times in seconds, each from 0.0001 to 0.5, got \"5\"\n" +
                         kUsage});
}

TEST_F(BadInputFieldMap, EchoTimesFromTheOptionStandInForThoseTheSidecarLacks)
{
    writeSidecar("fm_phasediff.json", nlohmann::json::object());
    std::vector<std::string> arguments = phaseDifference();
    arguments.insert(arguments.end(), {"--echo-times", "0.00492", "0.01492"});
    const ProcessResult result = runHostileCase(path(), arguments, 0);
    EXPECT_NE(result.out.find("Unwrapping: no 2\u03c0 jump left"), std::string::npos) << result.out;
}

TEST_F(BadInputFieldMap, FieldBeyondTwoKilohertzIsRefusedNamingTheEchoTimes)
{
    writeSidecar("fm_phasediff.json", {{"EchoTime1", 0.00492}, {"EchoTime2", 0.00494}});
    const ProcessResult result = runHostileCase(path(), phaseDifference(), 1);
    EXPECT_EQ(result.err.rfind(kPrefix + "The field of --phasediff fm_phasediff.nii.gz reaches ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(" Hz inside the head, beyond the 2000 Hz of any head in a scanner: check the echo times "
                              "(fm_phasediff.json: 0.00492 s and 0.00494 s; \"EchoTime1\" and \"EchoTime2\").\n"),
              std::string::npos)
        << result.err;
}

TEST_F(BadInputFieldMap, UnitsThatBidsDoesNotKnowAreRefused)
{
    writeGridImage(path() + "/direct_fieldmap.nii.gz", phantom.fieldGrid, {phantomFieldOnFieldGrid(phantom)});
    const std::vector<std::string> arguments{"correct", "--fieldmap", "direct_fieldmap.nii.gz", "--magnitude",
                                             "fm_magnitude1.nii.gz", "--apply-to", "first_bold.nii.gz"};
    expectAnswer(path(), arguments,
                 {1, kPrefix + "\"Units\" is missing from direct_fieldmap.json (the sidecar of --fieldmap "
                               "direct_fieldmap.nii.gz); a field map must say whether it holds Hz, rad/s or T.\n"});
    writeSidecar("direct_fieldmap.json", {{"Units", "ppm"}});
    expectAnswer(path(), arguments,
                 {1, kPrefix + "\"Units\" of direct_fieldmap.json is \"ppm\"; a field map can be in \"Hz\", \"rad/s\" or "
                               "\"T\".\n"});
}

TEST_F(BadInputFieldMap, MagnitudeOnAnotherGridIsResampledUnlessTheyDoNotOverlap)
{
    TestGrid away = phantom.fieldGrid;
    away.origin[0] += 500.0;
    writeGridImage(path() + "/away_magnitude.nii.gz", away, {phantomMagnitudeOnFieldGrid(phantom)});
    std::vector<std::string> arguments = phaseDifference();
    arguments[4] = "away_magnitude.nii.gz";
    expectAnswer(path(), arguments,
                 {1, kPrefix + "The magnitude --magnitude away_magnitude.nii.gz (46 x 46 x 22) and the phase --phasediff "
                               "fm_phasediff.nii.gz (46 x 46 x 22) do not overlap in world coordinates; they must show "
                               "the same head.\n"});
    // On the runs' grid instead: resampled into the phase's grid, with a note.
    writeGridImage(path() + "/run_magnitude.nii.gz", phantom.runGrid, {phantom.phantom.truth});
    arguments[4] = "run_magnitude.nii.gz";
    const ProcessResult result = runHostileCase(path(), arguments, 0);
    EXPECT_NE(result.out.find("Note: The magnitude --magnitude run_magnitude.nii.gz lies on another grid than "
                              "--phasediff fm_phasediff.nii.gz; it was resampled into that grid through world "
                              "coordinates.\n"),
              std::string::npos)
        << result.out;
}

TEST_F(BadInputFieldMap, RunWhoseHeadLiesLargelyOutsideTheFieldMapIsRefusedWithTheShareOutside)
{
    // A field map whose grid holds only the back half of the head.
    TestGrid half = phantom.fieldGrid;
    half.extent.y = 20;
    const Volume field = phantomFieldOnFieldGrid(phantom);
    const Volume magnitude = phantomMagnitudeOnFieldGrid(phantom);
    Volume fieldHalf(half.extent), magnitudeHalf(half.extent);
    for (int z = 0; z < half.extent.z; ++z)
        for (int y = 0; y < half.extent.y; ++y)
            for (int x = 0; x < half.extent.x; ++x) {
                fieldHalf(x, y, z) = field(x, y, z);
                magnitudeHalf(x, y, z) = magnitude(x, y, z);
            }
    writeGridImage(path() + "/half_fieldmap.nii.gz", half, {fieldHalf});
    writeSidecar("half_fieldmap.json", {{"Units", "Hz"}});
    writeGridImage(path() + "/half_magnitude.nii.gz", half, {magnitudeHalf});
    const ProcessResult result =
        runHostileCase(path(), {"correct", "--fieldmap", "half_fieldmap.nii.gz", "--magnitude", "half_magnitude.nii.gz",
                                "--apply-to", "first_bold.nii.gz", "--out", "out"},
                       1);
    EXPECT_EQ(result.err.rfind(kPrefix + "first_bold.nii.gz: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(" % of its head lies outside the field map --fieldmap half_fieldmap.nii.gz (its grid and "
                              "the head in its magnitude, widened by 10 mm); at least 90.0 % must lie on it.\n"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(std::filesystem::exists(path() + "/out"));
}

TEST_F(BadInputFieldMap, OptionsThatDoNotMakeOneFieldMapAreUsageErrors)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"correct", "--phasediff", "fm_phasediff.nii.gz", "--apply-to", "first_bold.nii.gz"},
         "a field map needs its --magnitude IMAGE"},
        {{"correct", "--phase1", "fm_phasediff.nii.gz", "--magnitude", "fm_magnitude1.nii.gz", "--apply-to",
          "first_bold.nii.gz"},
         "--phase1 and --phase2 go together: the phases of the two echoes"},
        {{"correct", "--phasediff", "fm_phasediff.nii.gz", "--fieldmap", "fm_phasediff.nii.gz", "--magnitude",
          "fm_magnitude1.nii.gz", "--apply-to", "first_bold.nii.gz"},
         "give one field map: --phasediff, --phase1 with --phase2, or --fieldmap"},
        {{"correct", "--phasediff", "fm_phasediff.nii.gz", "--magnitude", "fm_magnitude1.nii.gz"},
         "a field map corrects the --apply-to runs; give at least one"},
        {{"correct", "--phasediff", "fm_phasediff.nii.gz", "--magnitude", "fm_magnitude1.nii.gz", "--ap",
          "first_bold.nii.gz", "--apply-to", "first_bold.nii.gz"},
         "--ap belongs to a correction from --ap and --pa; a field map needs no estimate"},
        {{"correct", "--phasediff", "fm_phasediff.nii.gz", "--magnitude", "fm_magnitude1.nii.gz", "--apply-to",
          "first_bold.nii.gz", "--fieldmap-smooth", "-1"},
         "--fieldmap-smooth expects a standard deviation in mm from 0 to 20, got \"-1\""},
        {{"correct", "--ap", "first_bold.nii.gz", "--pa", "second_bold.nii.gz", "--echo-times", "0.005", "0.007"},
         "--echo-times belongs to a field map (--phasediff, --phase1 and --phase2, or --fieldmap), not to a pair"},
    };
    for (const auto& [arguments, message] : cases) expectAnswer(path(), arguments, {2, kPrefix + message + "\n" + kUsage});
}
