// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows installer under Wine, as a user of the host meets it: a silent installation
// into a folder that holds Mindaro.exe, the plug-in used from there, the uninstaller leaving
// the folder as it was (and saying so when run again), an older version replaced in place,
// and a folder without the host refused in words.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>

#include "support/temporaryfolder.h"
#include "support/workflow.h"
#include "windows/windowshost.h"

namespace fs = std::filesystem;

namespace {

const std::string kUninstallKey = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VARNO";

// VARNO-<version>-setup.exe (environment VARNO_WINDOWS_INSTALLER, set by build.sh test-windows).
std::string installerPath()
{
    const char* path = std::getenv("VARNO_WINDOWS_INSTALLER");
    if (path == nullptr || *path == '\0') throw std::runtime_error("VARNO_WINDOWS_INSTALLER names no installer");
    return path;
}

// A folder on drive C: that holds the host, as a Mindaro installation does.
struct HostFolder {
    DriveCFolder folder;
    HostFolder() { fs::copy_file(windowsBinDir() + "/Mindaro.exe", folder.linuxPath() + "/Mindaro.exe"); }
    std::string plugins() const { return folder.linuxPath() + "/plugins"; }
};

ProcessResult install(const std::string& installer, const DriveCFolder& folder)
{
    return runUnderWine({installer, "/S", "/D=" + folder.windowsPath()}, folder.linuxPath());
}

// The uninstaller hands its work to a copy of itself and returns at once; Wine's server
// ends when that copy has, and the copy's messages are in the uninstaller's streams by then.
ProcessResult uninstall(const std::string& uninstaller)
{
    const char* variable = std::getenv("VARNO_WINE");
    const fs::path wine = variable != nullptr && *variable != '\0' ? variable : "/usr/lib/wine/wine64";
    ProcessResult result = runProcess({"/bin/sh", "-c", "\"$0\" \"$1\" /S; status=$?; \"$2\" -w; exit $status",
                                       wine.string(), uninstaller, (wine.parent_path() / "wineserver").string()},
                                      fs::path(uninstaller).parent_path().string(), {"WINEDEBUG=-all"});
    std::erase(result.out, '\r');
    std::erase(result.err, '\r');
    return result;
}

// The installation's entry in Windows' list of installed programs; empty when there is none.
std::string uninstallEntry()
{
    const ProcessResult result = runUnderWine({"reg", "query", kUninstallKey}, ".");
    return result.status == 0 ? result.out : std::string();
}

// An installer of version 1.2.0 made from the same files, its dialog script named after it,
// as an older release was.
std::string olderInstaller(const TemporaryFolder& work)
{
    const fs::path build = fs::path(windowsBinDir()).parent_path();
    const std::string staged = work.path() + "/plugins";
    fs::copy(build / "installer" / "plugins", staged, fs::copy_options::recursive);
    fs::rename(staged + "/VARNO_v121.js", staged + "/VARNO_v120.js");
    const std::string list = work.path() + "/files.nsh";
    const std::string installer = work.path() + "/VARNO-1.2.0-setup.exe";
    ProcessResult result = runProcess({VARNO_CMAKE_COMMAND, "-DFOLDER=" + staged, "-DOUTPUT=" + list, "-P",
                                       VARNO_SOURCE_DIR "/packaging/windows/installer-files.cmake"},
                                      work.path());
    EXPECT_EQ(result.status, 0) << result.err;
    result = runProcess({VARNO_MAKENSIS, "-V2", "-DVERSION=1.2.0", "-DFILES_NSH=" + list,
                         "-DLICENSE_FILE=" + (build / "packaging" / "windows" / "LICENSE.txt").string(),
                         "-DOUTFILE=" + installer, VARNO_SOURCE_DIR "/packaging/windows/installer.nsi"},
                        work.path());
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    return installer;
}

}  // namespace

TEST(WindowsInstaller, PutsThePluginWhereTheHostLoadsItAndItsUninstallerLeavesNoTrace)
{
    const HostFolder host;
    const FolderContents before = folderContents(host.folder.linuxPath());

    ProcessResult result = install(installerPath(), host.folder);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.err.find("VARNO 1.2.1 is installed in " + host.folder.windowsPath() + "\\plugins."),
              std::string::npos)
        << result.err;
    EXPECT_EQ(addedFiles(before, folderContents(host.folder.linuxPath())),
              (std::set<std::string>{"plugins/varno.dll", "plugins/VARNO_v121.js", "plugins/VarnoPluginHelp/index.html",
                                     "plugins/uninstall-varno.exe"}));
    const std::string entry = uninstallEntry();
    EXPECT_NE(entry.find("DisplayVersion    REG_SZ    1.2.1"), std::string::npos) << entry;
    EXPECT_NE(entry.find("InstallLocation    REG_SZ    " + host.folder.windowsPath() + "\n"), std::string::npos) << entry;

    // Mindaro.exe in that folder loads the installed plug-in by default.
    const TemporaryFolder data;
    const std::string mindaro = host.folder.linuxPath() + "/Mindaro.exe";
    result = runUnderWine({mindaro, "info"}, data.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Plug-in:     " + host.folder.windowsPath() + "\\plugins\\varno.dll\n"), std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("missing"), std::string::npos) << result.out;
    result = runUnderWine({mindaro, "task", "check"}, data.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Check: OK\n");
    result = runUnderWine({mindaro, "simulate", "pair", "--size", "32x32x8"}, data.path());
    ASSERT_EQ(result.status, 0) << result.err;
    result = runUnderWine({mindaro, "estimate", "pair/AP.fmr", "pair/PA.fmr", "--fast"}, data.path());
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(fs::exists(data.path() + "/pair/AP_vdm.map"));

    const std::string kept = data.path() + "/uninstall-varno.exe";
    fs::copy_file(host.plugins() + "/uninstall-varno.exe", kept);
    result = uninstall(host.plugins() + "/uninstall-varno.exe");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(folderContents(host.folder.linuxPath()), before);
    EXPECT_FALSE(fs::exists(host.plugins()));
    EXPECT_EQ(uninstallEntry(), "");

    // Uninstalling again, with a copy of the uninstaller that was kept, removes nothing.
    fs::create_directory(host.plugins());
    fs::copy_file(kept, host.plugins() + "/uninstall-varno.exe");
    result = uninstall(host.plugins() + "/uninstall-varno.exe");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("VARNO is not installed in " + host.folder.windowsPath() +
                              "\\plugins: there is nothing to remove."),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(fs::exists(host.plugins() + "/uninstall-varno.exe"));
}

TEST(WindowsInstaller, ReplacesAnOlderVersionInPlaceWithoutLeavingItsFiles)
{
    const TemporaryFolder work;
    const std::string older = olderInstaller(work);
    const HostFolder host;
    fs::create_directory(host.plugins());
    const std::string other = host.plugins() + "/other-plugin.dll";
    fs::copy_file(windowsBinDir() + "/plugins/varno.dll", other);
    const FolderContents before = folderContents(host.folder.linuxPath());

    ProcessResult result = install(older, host.folder);
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_TRUE(fs::exists(host.plugins() + "/VARNO_v120.js"));
    result = install(installerPath(), host.folder);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("VARNO 1.2.0 is installed here; its files are removed before VARNO 1.2.1 is installed."),
              std::string::npos)
        << result.err;
    EXPECT_EQ(addedFiles(before, folderContents(host.folder.linuxPath())),
              (std::set<std::string>{"plugins/varno.dll", "plugins/VARNO_v121.js", "plugins/VarnoPluginHelp/index.html",
                                     "plugins/uninstall-varno.exe"}));
    EXPECT_NE(uninstallEntry().find("DisplayVersion    REG_SZ    1.2.1"), std::string::npos);

    // The plugins folder was there before, with another plug-in: both stay.
    result = uninstall(host.plugins() + "/uninstall-varno.exe");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(folderContents(host.folder.linuxPath()), before);
    EXPECT_EQ(uninstallEntry(), "");
}

TEST(WindowsInstaller, RefusesAFolderWithoutTheHostAndSaysWhy)
{
    const DriveCFolder folder;
    const ProcessResult result = install(installerPath(), folder);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("VARNO 1.2.1 was not installed: " + folder.windowsPath() +
                              " does not hold Mindaro: there is no Mindaro.exe or MindaroEDU.exe in it."),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(fs::is_empty(folder.linuxPath()));
    EXPECT_EQ(uninstallEntry(), "");
}
