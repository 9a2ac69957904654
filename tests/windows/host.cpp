// SPDX-License-Identifier: GPL-3.0-or-later
// Mindaro.exe under Wine as the real host would meet the plug-in: its information, the
// host-version test at start-up, and the lookup of the host module by its two names.
#include <gtest/gtest.h>

#include <filesystem>

#include "windows/windowshost.h"

namespace {

// The plug-in path that Mindaro.exe prints: Wine shows the build's bin folder on a drive.
std::string pluginPathShown(const std::string& infoOutput)
{
    const std::string label = "Plug-in:     ";
    const auto start = infoOutput.find(label);
    if (start == std::string::npos) return {};
    return infoOutput.substr(start + label.size(), infoOutput.find('\n', start) - start - label.size());
}

}  // namespace

TEST(WindowsHost, InfoShowsThePluginBesideMindaroExeWithItsScriptAndHelp)
{
    const TemporaryFolder folder;
    const ProcessResult result = runWindowsHost({"info"}, folder.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string plugin = pluginPathShown(result.out);
    EXPECT_EQ(plugin.substr(1, 2), ":\\") << plugin;
    EXPECT_EQ(plugin.substr(plugin.size() - 22), "\\bin\\plugins\\varno.dll") << plugin;
    EXPECT_NE(result.out.find("Name:        VARNO v1.2.1\n"), std::string::npos);
    EXPECT_NE(result.out.find("Version:     1.2.1\n"), std::string::npos);
    EXPECT_NE(result.out.find("Author:      <i>The VARNO team"), std::string::npos);
    EXPECT_NE(result.out.find("Script:      VARNO_v121.js (" + plugin.substr(0, plugin.size() - 9) + "VARNO_v121.js)\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Help file:   VarnoPluginHelp/index.html ("), std::string::npos);
    EXPECT_EQ(result.out.find("missing"), std::string::npos);
}

TEST(WindowsHost, PluginRefusesHostsOlderThan310)
{
    const TemporaryFolder folder;
    const std::string plugin = pluginPathShown(runWindowsHost({"info"}, folder.path()).out);
    for (const std::string version : {"3.1.0", "3.2.-5", "4.0.0"}) {
        const ProcessResult result = runWindowsHost({"task", "check"}, folder.path(), {"MINDARO_VERSION=" + version});
        EXPECT_EQ(result.status, 0) << version << ": " << result.err;
        EXPECT_EQ(result.out, "Check: OK\n") << version;
    }
    for (const std::string version : {"3.0.99", "2.9.9", "3.1.-1"}) {
        const ProcessResult result = runWindowsHost({"task", "check"}, folder.path(), {"MINDARO_VERSION=" + version});
        EXPECT_EQ(result.status, 3) << version;
        EXPECT_EQ(result.err, "Error: Mindaro version 21.0 or higher required.\nmindaro: " + plugin +
                                  ": the plug-in did not start (its initPlugin returned false)\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST(WindowsHost, PluginFindsTheHostAsMindaroExeOrMindaroEduExeOnly)
{
    const TemporaryFolder folder;
    const std::string plugin = windowsBinDir() + "/plugins/varno.dll";
    for (const std::string name : {"MindaroEDU.exe", "mindaro.EXE", "Other.exe"}) {
        const std::string copy = folder.path() + "/" + name;
        std::filesystem::copy_file(windowsBinDir() + "/Mindaro.exe", copy);
        const ProcessResult result = runUnderWine({copy, "--plugin", plugin, "task", "check"}, folder.path());
        if (name == "Other.exe") {
            EXPECT_EQ(result.status, 3);
            EXPECT_NE(result.err.find("the plug-in did not start (its initPlugin returned false)"), std::string::npos)
                << result.err;
        } else {
            EXPECT_EQ(result.status, 0) << name << ": " << result.err;
            EXPECT_EQ(result.out, "Check: OK\n") << name;
        }
    }
}

TEST(WindowsHost, UnusablePluginFilesAndBadCommandLinesGiveTheirStatus)
{
    const TemporaryFolder folder;
    const std::string text = folder.write("notes.dll", "not a library\n");
    ProcessResult result = runWindowsHost({"--plugin", text, "task", "check"}, folder.path());
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.err.find(": cannot load the plug-in: "), std::string::npos) << result.err;
    result = runWindowsHost({"--plugin", folder.path() + "/absent.dll", "info"}, folder.path());
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.err.find(": plug-in file not found"), std::string::npos) << result.err;
    result = runWindowsHost({"task", "check", "--set", "files"}, folder.path());
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("\nusage: mindaro task"), std::string::npos) << result.err;
}

TEST(WindowsHost, DemoRunsTheQuickStartWithoutAPicture)
{
    const TemporaryFolder folder;
    const ProcessResult result = runWindowsHost({"demo", "demo dir"}, folder.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("undistorted with intensity correction: demo dir\\AP_undist.fmr, demo dir\\PA_undist.fmr\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("The precise map is "), std::string::npos);
    EXPECT_EQ(result.out.find("Quality-control picture"), std::string::npos);
    for (const std::string name : {"AP_vdm.map", "PA_vdm.map", "AP_undist.stc", "PA_undist.stc", "true_vdm.map",
                                   "standard/AP_vdm.map", "standard/PA_undist.stc"})
        EXPECT_TRUE(std::filesystem::exists(folder.path() + "/demo dir/" + name)) << name;
}
