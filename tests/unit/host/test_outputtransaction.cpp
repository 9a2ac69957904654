// SPDX-License-Identifier: GPL-3.0-or-later
// A command's outputs put in place together or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "commands/outputtransaction.h"
#include "support/datasetfiles.h"

namespace fs = std::filesystem;

namespace {

std::size_t entriesBelow(const std::string& folder)
{
    std::size_t count = 0;
    for (auto entry = fs::recursive_directory_iterator(folder); entry != fs::recursive_directory_iterator(); ++entry)
        ++count;
    return count;
}

}  // namespace

TEST(OutputTransaction, CommitPutsEveryResultInPlaceAndLeavesNoWorkFolder)
{
    const ScratchDir dir;
    const std::string out = dir.file("out/deeper");
    {
        OutputTransaction outputs(out);
        std::ofstream(outputs.workFolder() / "a.nii") << "a";
        std::ofstream(outputs.workFolder() / "a.json") << "{}";
        EXPECT_FALSE(fs::exists(out + "/a.nii"));
        outputs.commit();
    }
    EXPECT_EQ(readWhole(out + "/a.nii"), "a");
    EXPECT_EQ(readWhole(out + "/a.json"), "{}");
    EXPECT_EQ(entriesBelow(dir.file("out")), 3u);  // deeper, a.nii, a.json
}

TEST(OutputTransaction, AFailureLeavesTheFolderAsItWas)
{
    const ScratchDir dir;
    const std::string out = dir.file("out");
    fs::create_directory(out);
    writeFile(out + "/a.nii", "earlier result");
    fs::create_directory(out + "/projects");
    writeFile(out + "/projects/run.fmr", "earlier project");
    {
        OutputTransaction outputs(out);
        outputs.makeFolder(out + "/projects/new/deeper");
        outputs.writesInPlace(out + "/projects/run.fmr");
        outputs.writesInPlace(out + "/projects/new/deeper/x.fmr");
        EXPECT_FALSE(fs::exists(out + "/projects/run.fmr"));  // kept aside until the end
        writeFile(out + "/projects/run.fmr", "this run's project");
        writeFile(out + "/projects/new/deeper/x.fmr", "this run's project");
        std::ofstream(outputs.workFolder() / "a.nii") << "this run's result";
    }
    EXPECT_EQ(readWhole(out + "/a.nii"), "earlier result");
    EXPECT_EQ(readWhole(out + "/projects/run.fmr"), "earlier project");
    EXPECT_FALSE(fs::exists(out + "/projects/new"));
    EXPECT_EQ(entriesBelow(out), 3u);

    // A folder made for the run goes too.
    { OutputTransaction outputs(dir.file("fresh/out")); }
    EXPECT_FALSE(fs::exists(dir.file("fresh")));
}

TEST(OutputTransaction, AFileWhereTheFolderGoesIsRefused)
{
    const ScratchDir dir;
    writeFile(dir.file("out"), "");
    std::optional<std::string> message;
    try {
        OutputTransaction outputs(dir.file("out"));
    } catch (const std::runtime_error& error) {
        message = error.what();
    }
    EXPECT_EQ(message, dir.file("out") + " is a file, not a folder");
}
