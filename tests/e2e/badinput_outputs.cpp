// SPDX-License-Identifier: GPL-3.0-or-later
// Outputs that cannot be written, unusual paths and lists, and parameter values too long
// for the plug-in: each answered with a clear message, no input changed, and no output
// left that looks complete without an error saying otherwise.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/badinput.h"

namespace fs = std::filesystem;

namespace {

std::string shown(const std::string& map, const std::string& project)
{
    return "Map " + map + " (16 x 16 x 4) is shown on " + project + "\n";
}

// A command run with the folder mounted read-only in a mount namespace of its own, for a
// test process that may write anywhere (root); empty when that cannot be set up here.
std::vector<std::string> readOnlyFolderCommand(const std::string& folder, const std::vector<std::string>& arguments)
{
    const std::vector<std::string> probe{"/usr/bin/unshare", "--mount", "sh", "-c",
                                         "mount --bind -o ro \"$0\" \"$0\" && cd \"$0\" && ! touch probe 2>/dev/null",
                                         folder};
    if (!fs::exists(probe[0]) || runProcess(probe, folder).status != 0) return {};
    std::vector<std::string> command{"/usr/bin/unshare", "--mount", "sh", "-c",
                                     "mount --bind -o ro \"$0\" \"$0\" && cd \"$0\" && exec \"$@\"", folder,
                                     mindaroPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

}  // namespace

// The data file that cannot be made is named, and the copy's header is not left behind
// without it.
TEST(BadInputOutputs, CopyThatCannotBeWrittenIsReported)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    const std::string dir = folder.path() + "/";

    fs::create_directory(dir + "AP_undist.stc");
    expectAnswer(folder.path(), {"apply", "AP_vdm.map", "AP.fmr"},
                 {1, shown("AP_vdm.map", "AP.fmr") + taskError("Failed opening STC for writing: AP_undist.stc"),
                  "Loading VDM...\nApplying VDM...\n"});
    fs::remove(dir + "AP_undist.stc");

    fs::create_directory(dir + "AP_undist.fmr");
    expectAnswer(folder.path(), {"apply", "AP_vdm.map", "AP.fmr", "PA.fmr"},
                 {1, shown("AP_vdm.map", "AP.fmr") + taskError("Cannot Create file: AP_undist.fmr")});
    fs::remove(dir + "AP_undist.fmr");

    // A disk that fills up while the data are written.
    fs::create_symlink("/dev/full", dir + "AP_undist.stc");
    expectAnswer(folder.path(), {"apply", "AP_vdm.map", "AP.fmr"},
                 {1, shown("AP_vdm.map", "AP.fmr") + taskError("error writing to binary file AP_undist.stc")});
    fs::remove(dir + "AP_undist.stc");

    const TemporaryFolder dmr;
    writePhantomPair(dmr.path(), true);
    fs::remove(dmr.path() + "/AP_vdm.map");
    fs::remove(dmr.path() + "/PA_vdm.map");
    fs::create_directory(dmr.path() + "/PA_undist.dwi");
    expectAnswer(dmr.path(), {"estimate", "AP.dmr", "PA.dmr", "--fast", "--apply"},
                 {1, taskError("Failed opening for writing: PA_undist.dwi"), std::nullopt,
                  {"AP_undist.dmr", "AP_undist.dwi", "AP_vdm.map", "PA_vdm.map"}});
}

TEST(BadInputOutputs, MapThatCannotBeSavedFailsTheEstimate)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    fs::remove(folder.path() + "/AP_vdm.map");
    fs::remove(folder.path() + "/PA_vdm.map");
    fs::create_directory(folder.path() + "/AP_vdm.map");
    expectAnswer(folder.path(), {"estimate", "AP.fmr", "PA.fmr", "--fast"},
                 {1, "Cannot save the map as AP_vdm.map: Failed opening for writing: AP_vdm.map\n"
                     "Error: could not save the map AP_vdm.map\n"});
}

TEST(BadInputOutputs, ReadOnlyFolder)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    const std::vector<std::string> apply = readOnlyFolderCommand(folder.path(), {"apply", "AP_vdm.map", "AP.fmr"});
    if (apply.empty()) GTEST_SKIP() << "no read-only mount can be made here";
    expectAnswerOf(folder.path(), apply,
                   {1, shown("AP_vdm.map", "AP.fmr") + taskError("Cannot Create file: AP_undist.fmr")});
    expectAnswerOf(folder.path(), readOnlyFolderCommand(folder.path(), {"estimate", "AP.fmr", "PA.fmr", "--fast"}),
                   {1, "Cannot save the map as AP_vdm.map: Failed opening for writing: AP_vdm.map\n"
                       "Error: could not save the map AP_vdm.map\n"});
}

// Names are bytes: spaces and UTF-8 pass through to the files and into the messages.
TEST(BadInputOutputs, PathsWithSpacesAndNonAsciiCharacters)
{
    const TemporaryFolder root;
    const std::string sub = "Prob\xC3\xA4nd 1/sitzung \xE2\x84\x96 2";
    fs::create_directories(root.path() + "/" + sub);
    const std::string folder = root.path() + "/" + sub;
    writePhantomPair(folder);
    fs::rename(folder + "/AP.fmr", folder + "/r\xC3\xBC" "ck w\xC3\xA4rts.fmr");
    fs::remove(folder + "/AP_vdm.map");
    fs::remove(folder + "/PA_vdm.map");

    const std::string first = sub + "/r\xC3\xBC" "ck w\xC3\xA4rts.fmr";
    expectAnswer(root.path(), {"estimate", first, sub + "/PA.fmr", "--fast", "--apply"},
                 {0, "", std::nullopt,
                  {sub + "/PA_undist.fmr", sub + "/PA_undist.stc", sub + "/PA_vdm.map", sub + "/r\xC3\xBC" "ck w\xC3\xA4rts_undist.fmr",
                   sub + "/r\xC3\xBC" "ck w\xC3\xA4rts_undist.stc", sub + "/r\xC3\xBC" "ck w\xC3\xA4rts_vdm.map"}});
    const std::string copy = readWhole(folder + "/r\xC3\xBC" "ck w\xC3\xA4rts_undist.fmr");
    EXPECT_NE(copy.find("Prefix:                       \"r\xC3\xBC" "ck w\xC3\xA4rts_undist\"\r\n"), std::string::npos);

    expectAnswer(root.path(), {"check", first, sub + "/f\xC3\xA9hlt.fmr"},
                 {1, sub + "/f\xC3\xA9hlt.fmr: could not read file\n"});
    expectAnswer(root.path(), {"apply", sub + "/n\xC3\xB6 map.map", first},
                 {1, taskError("could not open file " + sub + "/n\xC3\xB6 map.map")});
}

// Lines end at "\n" only; blank lines are dropped and a carriage return stays in its entry,
// which then names no FMR or DMR file: the check reports it, the apply step skips it.
TEST(BadInputOutputs, FilesListWithCarriageReturnsAndBlankLines)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    const std::string list = "\n\nAP.fmr\r\n\n\nPA.fmr\n\r\n\n";
    expectAnswer(folder.path(), {"task", "check", "--set", "files=" + list},
                 {0, "AP.fmr\r: not an FMR or DMR file\n\r: not an FMR or DMR file\n", ""});
    expectAnswer(folder.path(), {"task", "check", "--set", "files=\n\n\n"}, {0, "", "Check: OK\n"});
    expectAnswer(folder.path(), {"task", "apply", "--set", "vdm=PA_vdm.map", "--set", "files=" + list},
                 {0, "", "Loading VDM...\nApplying VDM...\nUndistorted data saved as: PA_undist.fmr\nDone.\n",
                  {"PA_undist.fmr", "PA_undist.stc"}});
}

// The plug-in reads a string parameter through a 10240-byte buffer: longer values are
// refused by the host before the step runs.
TEST(BadInputOutputs, ParameterLongerThanThePluginBufferIsRefused)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    const std::string longest(10239, 'a');
    expectAnswer(folder.path(), {"task", "check", "--set", "files=" + longest + "b"},
                 {2, "mindaro task: --set files: the value is 10240 bytes long; the plug-in reads at most 10239\n"
                     "usage: mindaro task NAME [options]  (see: mindaro task --help)\n"});

    std::vector<std::string> apply{"apply", "AP_vdm.map"};
    for (int i = 0; i < 1500; ++i) apply.push_back("AP.fmr");
    expectAnswer(folder.path(), apply,
                 {2, "mindaro apply: the dialog parameter \"files\" would be 10500 bytes long; the plug-in reads at most "
                     "10239\nusage: mindaro apply VDM PROJECT... [options]  (see: mindaro apply --help)\n"});
    expectAnswer(folder.path(), {"estimate", longest + ".fmr", "PA.fmr"},
                 {2, "mindaro estimate: the dialog parameter \"file0\" would be 10243 bytes long; the plug-in reads "
                     "at most 10239\nusage: mindaro estimate FIRST SECOND [options]  (see: mindaro estimate --help)\n"});
}
