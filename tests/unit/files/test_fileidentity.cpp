// SPDX-License-Identifier: GPL-3.0-or-later
// One file under many names: spellings, hard and symbolic links, folders reached through
// links; and the check of a step's outputs against its inputs, against a reference that
// compares every pair of names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/fileerrors.h"
#include "files/fileidentity.h"
#include "support/datasetfiles.h"

namespace fs = std::filesystem;

namespace {

std::string errorOf(const std::vector<StepFile>& inputs, const std::vector<StepFile>& outputs,
                    RepeatedOutputs repeats = RepeatedOutputs::Refused)
{
    try {
        requireOutputsApartFromInputs(inputs, outputs, repeats);
    } catch (const WriteFileError& error) {
        return error.what();
    }
    return "";
}

std::string rootOf(const ScratchDir& dir)
{
    std::string root = dir.path();
    root.pop_back();
    return root;
}

// A folder of files and the names that lead to them: spellings, links and names of files
// yet to be written.
struct NamedFiles {
    explicit NamedFiles(const ScratchDir& dir)
    {
        const std::string root = rootOf(dir);
        fs::create_directory(root + "/sub");
        for (const char* name : {"a", "b", "sub/c"}) std::ofstream(root + "/" + name) << name;
        fs::create_hard_link(root + "/a", root + "/a-hard");
        names = {root + "/a",     root + "/./a", root + "/sub/../a",   root + "/a-hard", root + "/b",
                 root + "/sub/c", root + "/new", root + "/sub/../new", root + "/sub/new"};
        // Symbolic links where the system makes them (not under Wine).
        std::error_code noLinks;
        fs::create_symlink("b", root + "/b-soft", noLinks);
        if (!noLinks) fs::create_directory_symlink("sub", root + "/sub-soft", noLinks);
        if (!noLinks)
            names.insert(names.end(), {root + "/b-soft", root + "/sub-soft/c", root + "/sub-soft/../b",
                                       root + "/sub-soft/new"});
    }
    std::vector<std::string> names;
};

// The files a name leads to, by hand: which of the names above are one file.
int fileOf(const std::string& name, const std::string& root)
{
    const std::string relative = name.substr(root.size() + 1);
    if (relative == "a" || relative == "./a" || relative == "sub/../a" || relative == "a-hard") return 0;
    if (relative == "b" || relative == "b-soft" || relative == "sub-soft/../b") return 1;
    if (relative == "sub/c" || relative == "sub-soft/c") return 2;
    if (relative == "new" || relative == "sub/../new") return 3;
    return 4;  // sub/new, reached also through the folder link
}

}  // namespace

TEST(FileIdentity, EveryNameOfOneFileIsTheSameFileAndNoOtherIs)
{
    const ScratchDir dir;
    const NamedFiles files(dir);
    for (const std::string& first : files.names)
        for (const std::string& second : files.names)
            EXPECT_EQ(sameFile(first, second), fileOf(first, rootOf(dir)) == fileOf(second, rootOf(dir)))
                << first << " and " << second;
}

TEST(FileIdentity, CopiesWithTheSameTimeAreStillTwoFiles)
{
    const ScratchDir dir;
    std::ofstream(dir.file("one")) << "same";
    fs::copy_file(dir.file("one"), dir.file("two"));
    fs::last_write_time(dir.file("two"), fs::last_write_time(dir.file("one")));
    EXPECT_FALSE(sameFile(dir.file("one"), dir.file("two")));
    requireOutputsApartFromInputs({{dir.file("one"), ""}}, {{dir.file("two"), ""}});
}

TEST(FileIdentity, AClashNamesBothFilesAndWhatTheyAre)
{
    const ScratchDir dir;
    std::ofstream(dir.file("run.fmr")) << "header";
    fs::create_hard_link(dir.file("run.fmr"), dir.file("other.fmr"));
    EXPECT_EQ(errorOf({{dir.file("x.fmr"), ""}, {dir.file("run.fmr"), "data file of x.fmr"}},
                      {{dir.file("other.fmr"), "copy of y.fmr"}}),
              "Cannot write " + dir.file("other.fmr") + " (copy of y.fmr): it is the input " + dir.file("run.fmr") +
                  " (data file of x.fmr); nothing was written.");
    EXPECT_EQ(errorOf({}, {{dir.file("m.map"), "map of a"}, {dir.path() + "./m.map", "map of b"}}),
              "Cannot write both " + dir.file("m.map") + " (map of a) and " + dir.path() +
                  "./m.map (map of b): they are one file; nothing was written.");
    // A list that names a project twice writes its copy twice, with the same content.
    EXPECT_EQ(errorOf({}, {{dir.file("m.map"), ""}, {dir.file("m.map"), ""}}, RepeatedOutputs::Allowed), "");
    // An input whose name is not known (a header that cannot be read) is no file.
    EXPECT_EQ(errorOf({{"", ""}}, {{dir.file("m.map"), ""}}), "");
}

// The check looks files up by name and by time of change; it must find exactly the
// clashes that comparing every output with every input finds.
TEST(FileIdentity, CheckOfManyFilesFindsWhatComparingEveryPairFinds)
{
    const ScratchDir dir;
    const NamedFiles files(dir);
    std::mt19937 random(7);
    std::uniform_int_distribution<std::size_t> pick(0, files.names.size() - 1);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<StepFile> inputs;
        std::vector<StepFile> outputs;
        for (int i = 0; i < 4; ++i) inputs.push_back({files.names[pick(random)], ""});
        for (int i = 0; i < 3; ++i) outputs.push_back({files.names[pick(random)], ""});
        bool clash = false;
        for (std::size_t o = 0; o < outputs.size(); ++o) {
            for (const StepFile& input : inputs) clash = clash || sameFile(outputs[o].path, input.path);
            for (std::size_t earlier = 0; earlier < o; ++earlier)
                clash = clash || sameFile(outputs[o].path, outputs[earlier].path);
        }
        EXPECT_EQ(!errorOf(inputs, outputs).empty(), clash) << trial;
    }
}
