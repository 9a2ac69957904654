// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "plugin/distcor.h"
#include "support/fakehost.h"

namespace {

void sentinelExecute(void*)
{
}

std::vector<std::string> namesOf(const std::vector<std::string>& lookups, const std::string& module)
{
    std::vector<std::string> names;
    for (const std::string& lookup : lookups)
        if (lookup.rfind(module + ":", 0) == 0) names.push_back(lookup.substr(module.size() + 1));
    return names;
}

const std::vector<std::string> kFftNames{"hs_fftwf_malloc",          "hs_fftwf_free",    "hs_fftwf_plan_dft_r2c_3d",
                                         "hs_fftwf_plan_dft_c2r_3d", "hs_fftwf_execute", "hs_fftwf_destroy_plan"};

std::vector<std::string> fftLookups(const FakeHost& host, const std::string& module)
{
    std::vector<std::string> names;
    for (const std::string& name : namesOf(host.functionLookups, module))
        if (name.rfind("hs_fftwf_", 0) == 0) names.push_back(name);
    return names;
}

}  // namespace

TEST(InitPlugin, AcceptedHostFillsBothTablesAndOpensTheLog)
{
    FakeHost host;
    fftApi = {};
    distcor plugin;
    ASSERT_TRUE(plugin.initPlugin());
    EXPECT_EQ(host.moduleLookups, (std::vector<std::string>{"Mindaro.exe", "Mindaro.exe"}));
    EXPECT_EQ(fftLookups(host, "Mindaro.exe"), kFftNames);
    EXPECT_NE(hostApi.hsLogText, nullptr);
    EXPECT_NE(fftApi.hs_fftwf_destroy_plan, nullptr);
    EXPECT_EQ(host.callsStartingWith("message:").size(), 0u);
    ASSERT_NE(plugin.logStream, nullptr);
    *plugin.logStream << "ready";
    plugin.logStream->flush();
    EXPECT_EQ(host.callsStartingWith("log:"), (std::vector<std::string>{"log:ready"}));
}

TEST(InitPlugin, EducationalHostIsFoundUnderItsOwnName)
{
    FakeHost host;
    host.mindaroLoaded = false;
    host.mindaroEduLoaded = true;
    distcor plugin;
    ASSERT_TRUE(plugin.initPlugin());
    EXPECT_EQ(host.moduleLookups,
              (std::vector<std::string>{"Mindaro.exe", "MindaroEDU.exe", "Mindaro.exe", "MindaroEDU.exe"}));
    EXPECT_TRUE(namesOf(host.functionLookups, "Mindaro.exe").empty());
    EXPECT_EQ(fftLookups(host, "MindaroEDU.exe"), kFftNames);
}

TEST(InitPlugin, WithoutHostModuleOrVersionServiceFailsSilently)
{
    {
        FakeHost host;
        host.mindaroLoaded = false;
        distcor plugin;
        EXPECT_FALSE(plugin.initPlugin());
        EXPECT_EQ(plugin.logStream, nullptr);
        EXPECT_TRUE(host.calls.empty());
    }
    {
        FakeHost host;
        host.missingFunctions = {"hsGetVersionOfMindaroHS"};
        hostApi = {};
        distcor plugin;
        EXPECT_FALSE(plugin.initPlugin());
        EXPECT_EQ(plugin.logStream, nullptr);
        EXPECT_TRUE(host.calls.empty());
        EXPECT_EQ(hostApi.hsLogText, nullptr);
    }
}

TEST(InitPlugin, VersionRuleIsLexicographicFrom310)
{
    const int accepted[][3] = {{3, 1, 0}, {3, 1, 7}, {3, 2, -5}, {4, 0, 0}, {21, 0, 0}};
    const int rejected[][3] = {{3, 0, 99}, {2, 9, 9}, {3, 1, -1}, {0, 0, 0}, {-3, 1, 0}};
    for (const auto& version : accepted) {
        FakeHost host;
        std::copy(version, version + 3, host.version);
        distcor plugin;
        EXPECT_TRUE(plugin.initPlugin()) << version[0] << "." << version[1] << "." << version[2];
        EXPECT_TRUE(host.callsStartingWith("message:").empty());
    }
    for (const auto& version : rejected) {
        FakeHost host;
        std::copy(version, version + 3, host.version);
        fftApi = {};
        distcor plugin;
        EXPECT_FALSE(plugin.initPlugin()) << version[0] << "." << version[1] << "." << version[2];
        EXPECT_EQ(host.callsStartingWith("message:"),
                  (std::vector<std::string>{"message:Error: Mindaro version 21.0 or higher required."}));
        // The log stream and the service table stand; the FFT table was never asked for.
        EXPECT_NE(plugin.logStream, nullptr);
        EXPECT_NE(hostApi.hsSetIntParameter, nullptr);
        EXPECT_TRUE(fftLookups(host, "Mindaro.exe").empty());
        EXPECT_EQ(fftApi.hs_fftwf_malloc, nullptr);
    }
}

TEST(InitPlugin, FftTableStopsAtTheFirstMissingEntry)
{
    FakeHost host;
    host.missingFunctions = {"hs_fftwf_plan_dft_r2c_3d", "hs_fftwf_destroy_plan"};
    fftApi = {};
    const HsFftwfExecute sentinel = &sentinelExecute;
    fftApi.hs_fftwf_execute = sentinel;
    distcor plugin;
    EXPECT_FALSE(plugin.initPlugin());
    EXPECT_EQ(host.callsStartingWith("message:"),
              (std::vector<std::string>{"message:Did not get access to MKL access functions!"}));
    EXPECT_EQ(fftLookups(host, "Mindaro.exe"),
              (std::vector<std::string>{"hs_fftwf_malloc", "hs_fftwf_free", "hs_fftwf_plan_dft_r2c_3d"}));
    EXPECT_NE(fftApi.hs_fftwf_malloc, nullptr);
    EXPECT_NE(fftApi.hs_fftwf_free, nullptr);
    EXPECT_EQ(fftApi.hs_fftwf_plan_dft_r2c_3d, nullptr);
    EXPECT_EQ(fftApi.hs_fftwf_execute, sentinel);
}

TEST(InitPlugin, SecondCallReplacesTheLogAndResolvesBothTablesAgain)
{
    FakeHost host;
    distcor plugin;
    ASSERT_TRUE(plugin.initPlugin());
    MDHSLog* first = plugin.logStream;
    *first << "pending";
    ASSERT_TRUE(plugin.initPlugin());
    EXPECT_NE(plugin.logStream, nullptr);
    const int versionCalls[2] = {host.positionOf("version"),
                                 static_cast<int>(std::find(host.calls.rbegin(), host.calls.rend(), "version").base() -
                                                  host.calls.begin()) - 1};
    const int pending = host.positionOf("log:pending");
    EXPECT_LT(versionCalls[0], pending);
    EXPECT_LT(pending, versionCalls[1]);
    EXPECT_EQ(host.moduleLookups.size(), 4u);
    // Each start looks up the 16 services, the stop flag and the FFT functions.
    EXPECT_EQ(namesOf(host.functionLookups, "Mindaro.exe").size(), 2 * (17 + kFftNames.size()));
    *plugin.logStream << "second";
}

TEST(PluginObject, DestructionFlushesTheLog)
{
    FakeHost host;
    {
        distcor plugin;
        ASSERT_TRUE(plugin.initPlugin());
        *plugin.logStream << "last words";
    }
    EXPECT_EQ(host.callsStartingWith("log:"), (std::vector<std::string>{"log:last words"}));
}
