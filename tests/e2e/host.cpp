// SPDX-License-Identifier: GPL-3.0-or-later
// The stand-in host run as a user runs it: build/bin/mindaro in a temporary folder.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "support/runprocess.h"

namespace {

const std::string kPlugin = VARNO_BIN_DIR "/plugins/libvarno.so";

ProcessResult mindaro(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {})
{
    const TemporaryFolder folder;
    return mindaroIn(folder.path(), arguments, environment);
}

int lineCount(const std::string& text)
{
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A shared library that loads fine but is no plug-in: the C library of this process.
std::string someSharedLibrary()
{
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&std::printf), &info);
    return info.dli_fname;
}

}  // namespace

TEST(HostInfo, ShowsWhatThePluginSaysAboutItself)
{
    const ProcessResult result = mindaro({"info"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("Plug-in:     " + kPlugin + "\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Name:        VARNO v1.2.1\n"), std::string::npos);
    EXPECT_NE(result.out.find("Version:     1.2.1\n"), std::string::npos);
    EXPECT_NE(result.out.find("Description: ~~"), std::string::npos);
    EXPECT_NE(result.out.find("(AP/PA) and left-right (LR/RL), via image registration"), std::string::npos);
    EXPECT_NE(result.out.find("Author:      <i>The VARNO team"), std::string::npos);
    EXPECT_NE(result.out.find("Script:      VARNO_v121.js ("), std::string::npos);
    EXPECT_NE(result.out.find("Help file:   VarnoPluginHelp/index.html ("), std::string::npos);
    EXPECT_NE(result.out.find("License:     GPL-3.0-or-later\n"), std::string::npos);
    EXPECT_EQ(result.out.find("missing"), std::string::npos);
}

TEST(HostVersion, PluginAcceptsFrom310Onwards)
{
    for (const std::string version : {"3.1.0", "3.2.-5", "4.0.0"}) {
        const ProcessResult result = mindaro({"info"}, {"MINDARO_VERSION=" + version});
        EXPECT_EQ(result.status, 0) << version << ": " << result.err;
    }
    for (const std::string version : {"3.0.99", "2.9.9", "3.1.-1"}) {
        const ProcessResult result = mindaro({"task", "check"}, {"MINDARO_VERSION=" + version});
        EXPECT_EQ(result.status, 3) << version;
        EXPECT_EQ(result.err, "Error: Mindaro version 21.0 or higher required.\nmindaro: " + kPlugin +
                                  ": the plug-in did not start (its initPlugin returned false)\n");
        EXPECT_EQ(result.out, "");
    }
    const ProcessResult malformed = mindaro({"info"}, {"MINDARO_VERSION=3.1"});
    EXPECT_EQ(malformed.status, 2);
    EXPECT_NE(malformed.err.find("MINDARO_VERSION"), std::string::npos);
}

TEST(HostLookup, PluginFindsTheHostOnlyUnderItsTwoNames)
{
    const TemporaryFolder folder;
    for (const std::string name : {"mindaroedu", "MINDARO.exe", "othername"}) {
        const std::string copy = folder.path() + "/" + name;
        std::filesystem::copy_file(mindaroPath(), copy);
        const ProcessResult result = runProcess({copy, "--plugin", kPlugin, "task", "check"}, folder.path());
        if (name == "othername") {
            EXPECT_EQ(result.status, 3);
            EXPECT_EQ(result.err, "mindaro: " + kPlugin + ": the plug-in did not start (its initPlugin returned false)\n");
        } else {
            EXPECT_EQ(result.status, 0) << name << ": " << result.err;
            EXPECT_EQ(result.out, "Check: OK\n") << name;
        }
    }
}

TEST(HostTask, CheckReportsThroughLogOrMessageBox)
{
    const TemporaryFolder folder;
    const std::string project = folder.write("run1.fmr", "FileVersion: 7\n");
    const ProcessResult ok = runProcess({mindaroPath(), "task", "check", "--set", "files=" + project + "\n\n"}, folder.path());
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, "Check: OK\n");
    EXPECT_EQ(ok.err, "");

    const ProcessResult problems =
        runProcess({mindaroPath(), "task", "check", "--set=files=" + project + "\nrun2.FMR\nmissing.dmr"}, folder.path());
    EXPECT_EQ(problems.status, 0);
    EXPECT_EQ(problems.out, "");
    EXPECT_EQ(problems.err, "run2.FMR: not an FMR or DMR file\nmissing.dmr: could not read file\n");
}

TEST(HostTask, ErrorBoxGivesStatusOneAndUnknownTaskDoesNothing)
{
    const ProcessResult estimate = mindaro({"task", "estimate", "--set", "file0=a.fmr", "--set", "file1=b.fmr"});
    EXPECT_EQ(estimate.status, 1);
    EXPECT_EQ(estimate.err.rfind("Error: ", 0), 0u) << estimate.err;
    EXPECT_EQ(lineCount(estimate.err), 1);

    for (const std::string task : {"Check", "", "anything"}) {
        const ProcessResult result = mindaro({"task", task});
        EXPECT_EQ(result.status, 0) << task;
        EXPECT_EQ(result.out + result.err, "") << task;
    }
}

TEST(HostTask, ParametersGoInAndComeBack)
{
    const ProcessResult result = mindaro({"task", "select_vdm", "--open", "/data/run1_vdm.map", "--set", "filename=old",
                                          "--set-int", "volume0=-4", "--set", "note=a=b", "--get", "filename", "--get",
                                          "volume0", "--get", "note", "--get", "unset"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "filename=/data/run1_vdm.map\nvolume0=-4\nnote=a=b\nunset=\n");

    const ProcessResult cancelled = mindaro({"task", "select_vdm", "--get", "filename"});
    EXPECT_EQ(cancelled.out, "filename=\n");
}

TEST(HostTask, LongestValueThePluginCanReadPassesAndLongerIsRefused)
{
    const std::string longest(10239, 'f');
    const ProcessResult fits = mindaro({"task", "check", "--set", "files=" + longest});
    EXPECT_EQ(fits.status, 0);
    EXPECT_EQ(fits.err, longest + ": not an FMR or DMR file\n");

    const ProcessResult tooLong = mindaro({"task", "check", "--set", "files=" + longest + "f"});
    EXPECT_EQ(tooLong.status, 2);
    EXPECT_NE(tooLong.err.find("10240 bytes long; the plug-in reads at most 10239"), std::string::npos) << tooLong.err;

    const ProcessResult longPath = mindaro({"task", "select_vdm", "--open", std::string(512, 'p')});
    EXPECT_EQ(longPath.status, 2);
}

TEST(HostUsage, BadCommandLinesGiveAReasonAndTheUsageLine)
{
    const std::vector<std::vector<std::string>> commandLines{
        {},
        {"frobnicate"},
        {"--verbose", "info"},
        {"--plugin"},
        {"info", "extra"},
        {"info", "--all"},
        {"task"},
        {"task", "check", "extra"},
        {"task", "check", "--set", "files"},
        {"task", "check", "--set", "=x"},
        {"task", "check", "--set"},
        {"task", "check", "--set-int", "volume0=two"},
        {"task", "check", "--set-int", "volume0=99999999999"},
        {"task", "check", "--yes", "--no"},
        {"task", "check", "--open", "a", "--open", "b"},
        {"task", "check", "--yes=1"},
    };
    for (const auto& arguments : commandLines) {
        const ProcessResult result = mindaro(arguments);
        std::string shown;
        for (const std::string& argument : arguments) shown += argument + " ";
        EXPECT_EQ(result.status, 2) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(lineCount(result.err), 2) << shown << result.err;
        EXPECT_NE(result.err.find("\nusage: mindaro"), std::string::npos) << shown << result.err;
    }
}

TEST(HostUsage, HelpOnEveryCommand)
{
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"--help"}, {"info", "--help"}, {"task", "--help"}}) {
        const ProcessResult result = mindaro(arguments);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind("usage: mindaro", 0), 0u) << result.out;
        EXPECT_EQ(result.err, "");
    }
    const ProcessResult task = mindaro({"task", "--help"});
    for (const std::string option : {"--set NAME=TEXT", "--set-int NAME=INT", "--open PATH", "--yes", "--no",
                                     "--document PATH", "--get NAME", "--help"})
        EXPECT_NE(task.out.find("  " + option + " "), std::string::npos) << option;
}

TEST(HostLoading, UnusablePluginFilesGiveOneLineAndStatusThree)
{
    const TemporaryFolder folder;
    const std::string text = folder.write("notes.so", "not a library\n");
    const std::string library = someSharedLibrary();
    const struct {
        std::string file;
        std::string reason;
    } cases[] = {
        {folder.path() + "/absent.so", ": plug-in file not found"},
        {folder.path(), ": is a folder, not a plug-in file"},
        {text, ": cannot load the plug-in: "},
        {library, ": not a Mindaro plug-in: it does not export \"createPlugin\""},
    };
    for (const auto& unusable : cases) {
        const ProcessResult task = runProcess({mindaroPath(), "--plugin", unusable.file, "task", "check"}, folder.path());
        EXPECT_EQ(task.status, 3) << unusable.file;
        EXPECT_EQ(lineCount(task.err), 1) << task.err;
        EXPECT_EQ(task.err.rfind("mindaro: " + unusable.file + unusable.reason, 0), 0u) << task.err;
        const ProcessResult info = runProcess({mindaroPath(), "--plugin=" + unusable.file, "info"}, folder.path());
        EXPECT_EQ(info.status, 3);
        EXPECT_EQ(info.out, "");
    }
}

TEST(SymbolHygiene, PluginAndHostExportOnlyTheirInterfaces)
{
    const auto exported = [](const std::string& file) {
        const TemporaryFolder folder;
        const ProcessResult result = runProcess({"/usr/bin/nm", "-D", "--defined-only", "--format=posix", file}, folder.path());
        EXPECT_EQ(result.status, 0) << result.err;
        std::vector<std::string> names;
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);) names.push_back(line.substr(0, line.find(' ')));
        return names;
    };
    std::set<std::string> cFunctions;
    for (const std::string& name : exported(kPlugin)) {
        if (name.rfind("_Z", 0) == 0) {
            EXPECT_TRUE(name.find("19MDHSPluginInterface") != std::string::npos || name.find("7distcor") != std::string::npos)
                << name;
        } else if (name.rfind("__", 0) != 0) {
            cFunctions.insert(name);
        }
    }
    EXPECT_EQ(cFunctions, (std::set<std::string>{"createPlugin", "getAuthor", "getGUIScript", "getHelpFile",
                                                 "getPluginDescription", "getPluginName", "getPluginVersion"}));
    std::set<std::string> services;
    for (const std::string& name : exported(mindaroPath())) {
        // The standard library's own symbols are exported where it needs them, and so are
        // the linker's section bounds when a linked library refers to them (the drawing
        // library's dependencies do); the host's code is not, only its services.
        if (name.rfind("_ZNSt", 0) == 0 || name.rfind("_ZNKSt", 0) == 0 || name.rfind("_ZSt", 0) == 0 ||
            name.rfind("__", 0) == 0 || name == "_edata" || name == "_end")
            continue;
        EXPECT_EQ(name.rfind("hs", 0), 0u) << name;
        services.insert(name);
    }
    const std::set<std::string> required{"hsGetIntParameter",      "hsGetOpenFileName",   "hsGetStringParameter",
                                               "hsGetVersionOfMindaroHS", "hsLogText",          "hsMessageBox",
                                               "hsSetIntParameter",      "hsSetStringParameter", "hsShowBusyCursor",
                                               "hsStopBusyCursor",       "hsYesNoMessageBox",   "hs_fftwf_destroy_plan",
                                               "hs_fftwf_execute",       "hs_fftwf_free",       "hs_fftwf_malloc",
                                               "hs_fftwf_plan_dft_c2r_3d", "hs_fftwf_plan_dft_r2c_3d"};
    EXPECT_TRUE(std::includes(services.begin(), services.end(), required.begin(), required.end()));
}
