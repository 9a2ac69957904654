// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>

#include "plugin/modulelookup.h"

TEST(ModuleLookup, FileNamesMatchIgnoringCaseWithOptionalExe)
{
    EXPECT_TRUE(moduleFileNameMatches("mindaro", "Mindaro.exe"));
    EXPECT_TRUE(moduleFileNameMatches("Mindaro.exe", "Mindaro.exe"));
    EXPECT_TRUE(moduleFileNameMatches("MINDARO.EXE", "mindaro"));
    EXPECT_TRUE(moduleFileNameMatches("mindaroedu", "MindaroEDU.exe"));
    EXPECT_FALSE(moduleFileNameMatches("mindaroedu", "Mindaro.exe"));
    EXPECT_FALSE(moduleFileNameMatches("mindaro2", "Mindaro.exe"));
    EXPECT_FALSE(moduleFileNameMatches("mindaro.so", "Mindaro.exe"));
    EXPECT_FALSE(moduleFileNameMatches("mindaro.exe.exe", "Mindaro.exe"));
    EXPECT_FALSE(moduleFileNameMatches("", ".exe"));
}

#if defined(_WIN32)

// The test program carries the plug-in's objects, whose exports it thereby exports too.
TEST(ModuleLookup, FindsTheMainExecutableAndLoadedLibrariesOnly)
{
    ModuleHandle main = platformModuleLookup.findModule("varno_tests.exe");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(platformModuleLookup.findModule("VARNO_TESTS.EXE"), main);
    EXPECT_NE(platformModuleLookup.findFunction(main, "createPlugin"), nullptr);
    EXPECT_EQ(platformModuleLookup.findFunction(main, "noSuchFunctionAnywhere"), nullptr);
    platformModuleLookup.releaseModule(main);

    ModuleHandle kernel = platformModuleLookup.findModule("KERNEL32.dll");
    ASSERT_NE(kernel, nullptr);
    EXPECT_NE(platformModuleLookup.findFunction(kernel, "GetProcAddress"), nullptr);

    EXPECT_EQ(platformModuleLookup.findModule("varno.dll"), nullptr);
    EXPECT_EQ(platformModuleLookup.findModule("Mindaro.exe"), nullptr);
}

#else

TEST(ModuleLookup, FindsTheMainExecutableAndLoadedLibrariesOnly)
{
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
    ModuleHandle main = platformModuleLookup.findModule(self.c_str());
    ASSERT_NE(main, nullptr);
    EXPECT_NE(platformModuleLookup.findFunction(main, "malloc"), nullptr);
    EXPECT_EQ(platformModuleLookup.findFunction(main, "noSuchFunctionAnywhere"), nullptr);
    platformModuleLookup.releaseModule(main);

    std::string upper = self;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ModuleHandle shouted = platformModuleLookup.findModule((upper + ".EXE").c_str());
    EXPECT_NE(shouted, nullptr);
    if (shouted != nullptr) platformModuleLookup.releaseModule(shouted);

    ModuleHandle libc = platformModuleLookup.findModule("LIBC.so.6");
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(platformModuleLookup.findFunction(libc, "printf"), nullptr);
    platformModuleLookup.releaseModule(libc);

    // The plug-in library exists on disk but is not loaded here, so it is not found.
    ASSERT_TRUE(std::filesystem::exists(VARNO_BIN_DIR "/plugins/libvarno.so"));
    EXPECT_EQ(platformModuleLookup.findModule("libvarno.so"), nullptr);
    EXPECT_EQ(platformModuleLookup.findModule("Mindaro.exe"), nullptr);
}

#endif
