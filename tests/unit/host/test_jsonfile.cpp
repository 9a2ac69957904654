// SPDX-License-Identifier: GPL-3.0-or-later
// JSON files read within bounds: nesting depth and size, with the file named.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "nifti/jsonfile.h"
#include "support/datasetfiles.h"

namespace {

std::string errorOf(const std::string& path)
{
    try {
        readJsonFile(path, "sidecar");
    } catch (const JsonFileError& error) {
        return error.what();
    }
    return "";
}

std::string nested(int depth)
{
    return std::string(static_cast<std::size_t>(depth), '[') + std::string(static_cast<std::size_t>(depth), ']');
}

}  // namespace

TEST(JsonFile, NestingIsBoundedAndBracketsInTextsDoNotCount)
{
    const ScratchDir dir;
    const std::string path = dir.file("x.json");
    writeFile(path, nested(kDeepestJsonNesting));
    EXPECT_EQ(errorOf(path), "");
    writeFile(path, nested(kDeepestJsonNesting + 1));
    EXPECT_EQ(errorOf(path), "The sidecar " + path + " nests its values more than 64 levels deep.");
    writeFile(path, "{\"k\": \"" + std::string(200, '[') + "\\\"[[\", \"l\": [[{}]]}");
    EXPECT_EQ(readJsonFile(path)["l"].size(), 1u);
}

TEST(JsonFile, FilesThatAreNoSidecarsAreRefusedByName)
{
    const ScratchDir dir;
    std::filesystem::create_directory(dir.file("folder.json"));
    EXPECT_EQ(errorOf(dir.file("folder.json")), "The sidecar " + dir.file("folder.json") + " is no regular file.");
    writeFile(dir.file("large.json"), "{}");
    std::filesystem::resize_file(dir.file("large.json"), kLargestJsonBytes + 1);
    EXPECT_EQ(errorOf(dir.file("large.json")),
              "The sidecar " + dir.file("large.json") + " holds 16777217 bytes, more than the 16777216 that are read.");
    writeFile(dir.file("bad.json"), "{\"a\": tru}");
    EXPECT_EQ(errorOf(dir.file("bad.json")).rfind("The sidecar " + dir.file("bad.json") + " is not valid JSON: parse error", 0),
              0u);
}

TEST(JsonFile, TextThatIsNotUtf8IsWrittenReplaced)
{
    const ScratchDir dir;
    writeJsonFile(dir.file("out.json"), {{"Sources", "caf\xE9.nii"}});
    EXPECT_EQ(readJsonFile(dir.file("out.json"))["Sources"], "caf\xEF\xBF\xBD.nii");
}
