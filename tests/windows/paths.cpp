// SPDX-License-Identifier: GPL-3.0-or-later
// Windows paths given to Mindaro.exe under Wine: drive letters, backslashes and spaces;
// the header text written with CR LF in binary mode; the "_undist" names; and names
// with characters beyond ASCII, which the host and the plug-in pass as text in the ANSI
// code page (1252 here): what that code page holds works, the rest is refused, and
// relative names work from any folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/workflow.h"
#include "windows/windowshost.h"

namespace {

// Wine reads the arguments as UTF-8 and gives the program ANSI code page 1252.
const std::vector<std::string> kUtf8Locale{"LC_ALL=C.UTF-8"};

void simulateOnLinux(const std::string& folder, const std::vector<std::string>& options)
{
    std::vector<std::string> arguments{"simulate", folder};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const ProcessResult result = runLinuxHost(arguments, "/");
    ASSERT_EQ(result.status, 0) << result.err;
}

bool exists(const std::string& path)
{
    return std::filesystem::exists(path);
}

// Every line of the text ends in CR LF and no CR stands alone.
bool onlyCrLfLineEnds(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    }
    return std::count(text.begin(), text.end(), '\n') > 10;
}

}  // namespace

TEST(WindowsPaths, DriveLettersBackslashesAndSpacesReachEveryTask)
{
    const DriveCFolder drive;
    simulateOnLinux(drive.linuxPath() + "/run 1", {"--size", "32x32x12", "--volumes", "2", "--seed", "11"});
    const std::string run = drive.windowsPath() + "\\run 1\\";
    const std::string files = drive.linuxPath() + "/run 1/";
    const TemporaryFolder elsewhere;

    ProcessResult result = runWindowsHost({"estimate", run + "AP.fmr", run + "PA.fmr", "--fast", "--apply"}, elsewhere.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Map:              " + run + "AP_vdm.map\nUndistorted copy: " + run + "AP_undist.fmr\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Undistorted copy: " + run + "PA_undist.fmr\n"), std::string::npos) << result.out;
    for (const std::string name : {"AP_vdm.map", "PA_vdm.map", "AP_undist.fmr", "AP_undist.stc", "PA_undist.fmr", "PA_undist.stc"})
        EXPECT_TRUE(exists(files + name)) << name;

    // The same step on the same input given by relative paths with forward slashes
    // writes the same bytes.
    const TemporaryFolder relative;
    simulateOnLinux(relative.path() + "/run", {"--size", "32x32x12", "--volumes", "2", "--seed", "11"});
    result = runWindowsHost({"estimate", "run/AP.fmr", "run/PA.fmr", "--fast", "--apply"}, relative.path());
    ASSERT_EQ(result.status, 0) << result.err;
    for (const std::string name : {"AP_vdm.map", "PA_vdm.map", "AP_undist.stc", "PA_undist.stc"})
        EXPECT_TRUE(readWhole(files + name) == readWhole(relative.path() + "/run/" + name)) << name;

    // Apply, with one name in forward slashes, check and select.
    result = runWindowsHost({"apply", run + "AP_vdm.map", drive.windowsPath() + "/run 1/truth.fmr"}, elsewhere.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(exists(files + "truth_undist.fmr"));
    EXPECT_TRUE(exists(files + "truth_undist.stc"));
    result = runWindowsHost({"check", run + "AP.fmr", run + "truth_undist.fmr"}, elsewhere.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Check: OK\n" + run + "AP.fmr: FMR project, 32 x 32 x 12, 2 volumes of int16 in " + run +
                              "AP.stc, voxels 3 x 3 x 3\n" + run +
                              "truth_undist.fmr: FMR project, 32 x 32 x 12, 1 volume of int16 in " + run +
                              "truth_undist.stc, voxels 3 x 3 x 3\n");
    result = runWindowsHost({"select", run + "AP_undist.fmr"}, elsewhere.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "filename=" + run + "AP_undist.fmr\nnr_of_volumes=2\ndisplay_volume=1\n");
}

TEST(WindowsPaths, UndistortedHeadersAreWrittenWithCrLfAndNameTheirOwnData)
{
    const TemporaryFolder folder;
    simulateOnLinux(folder.path() + "/p", {"--size", "24x24x8", "--dmr", "--volumes", "2", "--seed", "12"});
    // The inputs with LF line ends read as they do with CR LF.
    for (const std::string name : {"AP.dmr", "PA.dmr"}) {
        std::string text = readWhole(folder.path() + "/p/" + name);
        ASSERT_TRUE(onlyCrLfLineEnds(text)) << name;
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        std::ofstream(folder.path() + "/p/" + name, std::ios::binary) << text;
    }
    const ProcessResult result = runWindowsHost({"estimate", "p\\AP.dmr", "p\\PA.dmr", "--fast", "--apply"}, folder.path());
    ASSERT_EQ(result.status, 0) << result.err;
    for (const std::string name : {"AP", "PA"}) {
        const std::string header = readWhole(folder.path() + "/p/" + name + "_undist.dmr");
        EXPECT_TRUE(onlyCrLfLineEnds(header)) << name;
        EXPECT_NE(header.find("\r\nPrefix:" + std::string(23, ' ') + "\"" + name + "_undist\"\r\n"), std::string::npos)
            << header;
        EXPECT_EQ(readProjectVolumes(folder.path() + "/p/" + name + "_undist.dmr").size(), 2u);
    }
}

TEST(WindowsPaths, NamesInTheAnsiCodePageWorkAndOthersAreRefused)
{
    const DriveCFolder drive;
    const std::string latin = "Müller café 1";
    simulateOnLinux(drive.linuxPath() + "/" + latin, {"--size", "24x24x8", "--seed", "13"});
    const std::string run = drive.windowsPath() + "\\" + latin + "\\";
    const TemporaryFolder elsewhere;
    ProcessResult result =
        runWindowsHost({"estimate", run + "AP.fmr", run + "PA.fmr", "--fast", "--apply"}, elsewhere.path(), kUtf8Locale);
    ASSERT_EQ(result.status, 0) << result.err;
    for (const std::string name : {"AP_vdm.map", "PA_vdm.map", "AP_undist.fmr", "AP_undist.stc", "PA_undist.fmr", "PA_undist.stc"})
        EXPECT_TRUE(exists(drive.linuxPath() + "/" + latin + "/" + name)) << name;
    result = runWindowsHost({"simulate", drive.windowsPath() + "\\Ærø", "--size", "24x24x8"}, elsewhere.path(), kUtf8Locale);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(exists(drive.linuxPath() + "/Ærø/AP.fmr"));

    // Greek and Chinese are not in code page 1252: refused before anything is read or written.
    for (const std::string foreign : {"Δοκιμή", "数据"}) {
        simulateOnLinux(drive.linuxPath() + "/" + foreign, {"--size", "24x24x8"});
        const FolderContents before = folderContents(drive.linuxPath());
        const std::string project = drive.windowsPath() + "\\" + foreign + "\\AP.fmr";
        result = runWindowsHost({"estimate", project, drive.windowsPath() + "\\" + foreign + "\\PA.fmr"}, elsewhere.path(),
                                kUtf8Locale);
        EXPECT_EQ(result.status, 2) << foreign;
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("system's ANSI code page (1252) cannot represent"), std::string::npos) << result.err;
        EXPECT_EQ(folderContents(drive.linuxPath()), before) << foreign;

        // Relative names are resolved by the system, so they work inside such a folder.
        result = runWindowsHost({"estimate", "AP.fmr", "PA.fmr", "--fast"}, drive.linuxPath() + "/" + foreign, kUtf8Locale);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(exists(drive.linuxPath() + "/" + foreign + "/AP_vdm.map")) << foreign;
    }
}
