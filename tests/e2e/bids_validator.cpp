// SPDX-License-Identifier: GPL-3.0-or-later
// The phantom dataset of the dataset-run tests is valid BIDS by the BIDS validator from
// the npm registry (scripts/install-deps.sh validator), but for the field map that it
// leaves without "PhaseEncodingDirection" on purpose. Skipped when the validator is not
// installed, unless VARNO_REQUIRE_BIDS_VALIDATOR=1 (as in CI), which makes that a failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "support/bidsdataset.h"
#include "support/fieldmapdataset.h"
#include "support/runprocess.h"

namespace {

// VARNO_BIDS_VALIDATOR, else where install-deps.sh puts it; empty when neither is there.
std::string validatorPath()
{
    const char* given = std::getenv("VARNO_BIDS_VALIDATOR");
    const std::string path = given != nullptr ? given : "/opt/varno/bids-validator/node_modules/.bin/bids-validator";
    return std::filesystem::exists(path) ? path : "";
}

// The validator's errors as "KEY /relative/path", one per file.
std::vector<std::string> validatorErrors(const std::string& validator, const std::string& dataset, const std::string& folder,
                                         nlohmann::json& report)
{
    const ProcessResult result = runProcess({validator, "--json", dataset}, folder);
    report = nlohmann::json::parse(result.out);
    std::vector<std::string> found;
    for (const nlohmann::json& error : report["issues"]["errors"])
        for (const nlohmann::json& file : error["files"])
            found.push_back(error["key"].get<std::string>() + " " + file["file"]["relativePath"].get<std::string>());
    return found;
}

}  // namespace

// The validator, or a failure (CI) or skip when it is not installed.
#define REQUIRE_VALIDATOR(validator)                                                                                   \
    const std::string validator = validatorPath();                                                                     \
    if (validator.empty()) {                                                                                           \
        const char* required = std::getenv("VARNO_REQUIRE_BIDS_VALIDATOR");                                            \
        if (required != nullptr && std::string(required) == "1")                                                      \
            FAIL() << "VARNO_REQUIRE_BIDS_VALIDATOR=1, but the BIDS validator is not installed";                       \
        GTEST_SKIP() << "the BIDS validator is not installed; install it with: scripts/install-deps.sh validator";    \
    }

TEST(BidsValidator, PhantomDatasetIsValidButForItsDeliberatelyBrokenFieldMap)
{
    REQUIRE_VALIDATOR(validator);
    const TemporaryFolder folder;
    const TestDataset dataset = writeTestDataset(folder.path() + "/raw", true);
    nlohmann::json report;
    std::vector<std::string> errors;
    ASSERT_NO_THROW(errors = validatorErrors(validator, dataset.root, folder.path(), report));
    EXPECT_EQ(errors, std::vector<std::string>{"PHASE_ENCODING_DIRECTION_MUST_DEFINE /sub-04/fmap/sub-04_acq-broken_dir-RL_epi.nii.gz"})
        << report["issues"].dump(1);
    EXPECT_EQ(report["summary"]["subjects"].size(), dataset.withScannerPair ? 5u : 4u);
}

// Every kind of field map, written as the tests of discovery and of the dataset runs use
// them, is valid BIDS; only the phase difference left without "EchoTime2" on purpose is not.
TEST(BidsValidator, FieldMapDatasetIsValidButForItsPhaseDifferenceWithoutSecondEchoTime)
{
    REQUIRE_VALIDATOR(validator);
    const TemporaryFolder folder;
    const FieldMapDataset dataset = writeFieldMapDataset(folder.path() + "/raw");
    nlohmann::json report;
    std::vector<std::string> errors;
    ASSERT_NO_THROW(errors = validatorErrors(validator, dataset.root, folder.path(), report));
    EXPECT_EQ(errors, std::vector<std::string>{"ECHO_TIME1-2_NOT_DEFINED /sub-01/fmap/sub-01_acq-broken_phasediff.nii.gz"})
        << report["issues"].dump(1);
}
