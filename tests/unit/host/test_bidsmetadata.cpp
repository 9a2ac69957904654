// SPDX-License-Identifier: GPL-3.0-or-later
// Phase-encoding direction and readout time from sidecars and options, and the exact
// messages when they are missing or contradict each other.
#include <gtest/gtest.h>

#include <fstream>

#include "nifti/bidsmetadata.h"
#include "support/runprocess.h"

namespace {

std::string errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const MetadataError& error) {
        return error.what();
    }
    return "no error";
}

struct Pair {
    TemporaryFolder folder;
    std::string ap = folder.path() + "/ap.nii.gz";
    std::string pa = folder.path() + "/pa.nii";
    std::string apJson = folder.path() + "/ap.json";
    std::string paJson = folder.path() + "/pa.json";

    void sidecars(const std::string& ap, const std::string& pa) const
    {
        std::ofstream(apJson) << ap;
        std::ofstream(paJson) << pa;
    }
};

}  // namespace

TEST(BidsMetadata, SidecarsGiveOppositeDirectionsAndTheReadoutTime)
{
    const Pair pair;
    pair.sidecars(R"({"PhaseEncodingDirection": "i-", "TotalReadoutTime": 0.04})",
                  R"({"PhaseEncodingDirection": "i", "TotalReadoutTime": 0.04})");
    const PairMetadata metadata = resolvePairMetadata(pair.ap, pair.pa, "", std::nullopt);
    EXPECT_EQ(metadata.first, (PhaseEncoding{'i', -1}));
    EXPECT_EQ(metadata.second, (PhaseEncoding{'i', 1}));
    EXPECT_EQ(metadata.totalReadoutTime, 0.04);
    EXPECT_TRUE(metadata.notes.empty());
    EXPECT_EQ(sidecarPath("/d/x.nii.gz"), "/d/x.json");
    EXPECT_EQ(imageStem("/d.v/x.nii"), "x");
}

TEST(BidsMetadata, OptionsReplaceSidecarsAndSayWhatTheyOverride)
{
    const Pair pair;
    pair.sidecars(R"({"PhaseEncodingDirection": "j"})", R"({})");
    const PairMetadata metadata = resolvePairMetadata(pair.ap, pair.pa, "j-", 0.07);
    EXPECT_EQ(metadata.first.text(), "j-");
    EXPECT_EQ(metadata.second.text(), "j");
    EXPECT_EQ(metadata.totalReadoutTime, 0.07);
    ASSERT_EQ(metadata.notes.size(), 1u);
    EXPECT_EQ(metadata.notes[0], "--pe-dir j- overrides \"PhaseEncodingDirection\": \"j\" of " + pair.apJson +
                                     " (taken as j-).");
}

TEST(BidsMetadata, MissingOrContradictoryMetadataIsReportedWordForWord)
{
    const Pair pair;
    const auto resolve = [&] { resolvePairMetadata(pair.ap, pair.pa, "", std::nullopt); };
    EXPECT_EQ(errorOf(resolve), "The phase-encoding direction of " + pair.ap + " is not known: it has no sidecar " +
                                    pair.apJson +
                                    ". Add one with \"PhaseEncodingDirection\" or pass --pe-dir with the direction of "
                                    "--ap (i, i-, j or j-).");

    pair.sidecars(R"({"PhaseEncodingDirection": "j"})", R"({"TotalReadoutTime": 0.05})");
    EXPECT_EQ(errorOf(resolve), "The phase-encoding direction of " + pair.pa + " is not known: its sidecar " +
                                    pair.paJson +
                                    " has no \"PhaseEncodingDirection\". Add it there or pass --pe-dir with the "
                                    "direction of --ap (i, i-, j or j-).");

    pair.sidecars(R"({"PhaseEncodingDirection": "j-"})", R"({"PhaseEncodingDirection": "j-"})");
    EXPECT_EQ(errorOf(resolve), "--ap " + pair.ap + " and --pa " + pair.pa +
                                    " have the same phase-encoding direction \"j-\" (from " + pair.apJson + " and " +
                                    pair.paJson + "); the two acquisitions must have opposite directions.");

    pair.sidecars(R"({"PhaseEncodingDirection": "j-"})", R"({"PhaseEncodingDirection": "i"})");
    EXPECT_EQ(errorOf(resolve), "--ap " + pair.ap + " and --pa " + pair.pa +
                                    " have phase-encoding directions \"j-\" and \"i\" along different axes (from " +
                                    pair.apJson + " and " + pair.paJson +
                                    "); the two acquisitions must have opposite directions along one axis.");

    pair.sidecars(R"({"PhaseEncodingDirection": "k"})", R"({"PhaseEncodingDirection": "j"})");
    EXPECT_EQ(errorOf(resolve), "\"PhaseEncodingDirection\" of " + pair.apJson +
                                    " is \"k\"; only i, i-, j and j- can be corrected. Correct it or pass --pe-dir "
                                    "with the direction of --ap (i, i-, j or j-).");

    pair.sidecars(R"({"PhaseEncodingDirection": "j", "TotalReadoutTime": 0.05})",
                  R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.06})");
    EXPECT_EQ(errorOf(resolve), "\"TotalReadoutTime\" differs between " + pair.apJson + " (0.05 s) and " +
                                    pair.paJson + " (0.06 s). Correct the sidecars or pass --readout-time SECONDS.");

    pair.sidecars(R"({"PhaseEncodingDirection": "j", "TotalReadoutTime": "fast"})",
                  R"({"PhaseEncodingDirection": "j-"})");
    EXPECT_EQ(errorOf(resolve), "\"TotalReadoutTime\" of " + pair.apJson +
                                    " is \"fast\"; it must be a number of seconds from 0.001 s to 1 s. Correct it "
                                    "or pass --readout-time SECONDS.");
    // A readout time outside 1 ms to 1 s is a typo or another unit, and 1e-320 would make
    // the field map infinite.
    for (const char* time : {"1e-320", "0.0005", "45", "-0.05"}) {
        pair.sidecars(std::string(R"({"PhaseEncodingDirection": "j", "TotalReadoutTime": )") + time + "}",
                      R"({"PhaseEncodingDirection": "j-"})");
        EXPECT_NE(errorOf(resolve).find("it must be a number of seconds from 0.001 s to 1 s"), std::string::npos) << time;
    }

    pair.sidecars(R"({"PhaseEncodingDirection": "j",)", R"({})");
    EXPECT_EQ(errorOf(resolve).rfind("The sidecar " + pair.apJson + " is not valid JSON: ", 0), 0u);
    pair.sidecars(R"(["j"])", R"({})");
    EXPECT_EQ(errorOf(resolve), "The sidecar " + pair.apJson + " does not hold a JSON object.");
    EXPECT_EQ(errorOf([&] { resolvePairMetadata(pair.ap, pair.pa, "y", std::nullopt); }),
              "--pe-dir expects i, i-, j or j-, got \"y\".");
}

TEST(BidsMetadata, MissingReadoutTimeIsANoteNotAGuess)
{
    const Pair pair;
    pair.sidecars(R"({"PhaseEncodingDirection": "j"})", R"({"PhaseEncodingDirection": "j-"})");
    const PairMetadata metadata = resolvePairMetadata(pair.ap, pair.pa, "", std::nullopt);
    EXPECT_FALSE(metadata.totalReadoutTime.has_value());
    ASSERT_EQ(metadata.notes.size(), 1u);
    EXPECT_EQ(metadata.notes[0], "Neither " + pair.apJson + " nor " + pair.paJson +
                                     " gives \"TotalReadoutTime\" or \"EffectiveEchoSpacing\" (or pass "
                                     "--readout-time SECONDS): the field map in Hz is not written.");
    // One sidecar alone is enough.
    pair.sidecars(R"({"PhaseEncodingDirection": "j"})", R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.03})");
    EXPECT_EQ(resolvePairMetadata(pair.ap, pair.pa, "", std::nullopt).totalReadoutTime, 0.03);
}

TEST(BidsMetadata, FurtherRunsNeedADirectionAlongThePairsAxis)
{
    const TemporaryFolder folder;
    const std::string run = folder.path() + "/run.nii.gz";
    EXPECT_EQ(errorOf([&] { resolveRunPhaseEncoding(run, "", 'j'); }),
              "The phase-encoding direction of " + run + " is not known: it has no sidecar " + folder.path() +
                  "/run.json. Add one with \"PhaseEncodingDirection\" or pass --apply-pe-dir with its direction (i, "
                  "i-, j or j-).");
    EXPECT_EQ(resolveRunPhaseEncoding(run, "j-", 'j').text(), "j-");
    std::ofstream(folder.path() + "/run.json") << R"({"PhaseEncodingDirection": "i"})";
    EXPECT_EQ(errorOf([&] { resolveRunPhaseEncoding(run, "", 'j'); }),
              run + " has the phase-encoding direction \"i\" (from " + folder.path() +
                  "/run.json), but the pair was acquired along j; a run can be corrected only with a map along its "
                  "own phase-encoding axis.");
}
