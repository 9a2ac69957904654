// SPDX-License-Identifier: GPL-3.0-or-later
// The export and import tables of the Windows build, read with MinGW's objdump: the
// plug-in exports its seven C functions and its two classes and nothing else, the host
// exactly its services, and neither needs any library but Windows' own.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "windows/windowshost.h"

namespace {

struct PeTables {
    std::set<std::string> exports;
    std::set<std::string> importedLibraries;
};

// The names of "[Ordinal/Name Pointer] Table" and every "DLL Name:" of objdump -p.
PeTables peTables(const std::string& file)
{
    const TemporaryFolder folder;
    const ProcessResult result = runProcess({"/usr/bin/x86_64-w64-mingw32-objdump", "-p", file}, folder.path());
    EXPECT_EQ(result.status, 0) << result.err;
    PeTables tables;
    std::istringstream lines(result.out);
    bool inNameTable = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("[Ordinal/Name Pointer] Table") != std::string::npos) {
            inNameTable = true;
        } else if (inNameTable && line.find(']') != std::string::npos) {
            tables.exports.insert(line.substr(line.find(']') + 2));
        } else {
            inNameTable = false;
        }
        if (const auto at = line.find("DLL Name: "); at != std::string::npos)
            tables.importedLibraries.insert(line.substr(at + 10));
    }
    return tables;
}

// The libraries that every Windows system has.
const std::set<std::string> kSystemLibraries{"KERNEL32.dll", "msvcrt.dll", "SHELL32.dll", "USER32.dll"};

bool onlySystemLibraries(const std::set<std::string>& libraries)
{
    for (const std::string& library : libraries)
        if (kSystemLibraries.count(library) == 0) return false;
    return true;
}

}  // namespace

TEST(WindowsExports, PluginExportsItsSevenFunctionsAndTwoClassesOnly)
{
    const PeTables plugin = peTables(windowsBinDir() + "/plugins/varno.dll");
    std::set<std::string> cFunctions;
    std::set<std::string> classMembers;
    for (const std::string& name : plugin.exports) {
        if (name.rfind("_Z", 0) == 0) {
            EXPECT_TRUE(name.find("19MDHSPluginInterface") != std::string::npos || name.find("7distcor") != std::string::npos)
                << name;
            classMembers.insert(name);
        } else {
            cFunctions.insert(name);
        }
    }
    EXPECT_EQ(cFunctions, (std::set<std::string>{"createPlugin", "getAuthor", "getGUIScript", "getHelpFile",
                                                 "getPluginDescription", "getPluginName", "getPluginVersion"}));
    for (const std::string member : {"_ZN7distcor10initPluginEv", "_ZN7distcor7executeEv", "_ZN7distcorC1Ev",
                                     "_ZN7distcorD0Ev", "_ZTV7distcor", "_ZTI7distcor", "_ZN19MDHSPluginInterfaceC2Ev",
                                     "_ZN19MDHSPluginInterfaceC1ERKS_", "_ZN19MDHSPluginInterfaceaSERKS_",
                                     "_ZN19MDHSPluginInterfaceD1Ev", "_ZTV19MDHSPluginInterface"})
        EXPECT_EQ(classMembers.count(member), 1u) << member;
    EXPECT_EQ(plugin.importedLibraries, (std::set<std::string>{"KERNEL32.dll", "msvcrt.dll"}));
}

TEST(WindowsExports, HostExportsExactlyItsServices)
{
    std::set<std::string> services;
    std::ifstream list(VARNO_SOURCE_DIR "/host/boundary/exports.list");
    for (std::string word; list >> word;)
        if (word.rfind("hs", 0) == 0) services.insert(word.substr(0, word.find(';')));
    ASSERT_EQ(services.size(), 23u);

    const PeTables host = peTables(windowsBinDir() + "/Mindaro.exe");
    EXPECT_EQ(host.exports, services);
    EXPECT_TRUE(onlySystemLibraries(host.importedLibraries)) << ::testing::PrintToString(host.importedLibraries);
}
