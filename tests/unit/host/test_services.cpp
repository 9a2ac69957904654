// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "boundary/hoststate.h"
#include "boundary/services.h"

namespace {

// Host state as at start-up, with the log and the message boxes captured.
class HostServices : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = hostState();
        hostState() = HostState{};
        hostState().logOutput = &log;
        hostState().messageOutput = &messages;
    }
    void TearDown() override { hostState() = saved; }

    std::ostringstream log;
    std::ostringstream messages;

private:
    HostState saved;
};

std::vector<char> writable(const std::string& text)
{
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

}  // namespace

TEST_F(HostServices, LogEntriesAreLinesAndEmptyEntriesShowNothing)
{
    for (const char* entry : {"Check: OK", "", "\nLevel 1", "two\nlines\n", ""}) hsLogText(entry);
    EXPECT_EQ(log.str(), "Check: OK\n\nLevel 1\ntwo\nlines\n");
    EXPECT_EQ(messages.str(), "");
}

TEST_F(HostServices, OnlyMessagesStartingWithErrorCountAsErrors)
{
    hsMessageBox("run2.FMR: not an FMR or DMR file\n");
    hsMessageBox("An Error: happened");
    EXPECT_FALSE(hostState().errorShown);
    hsMessageBox("Error: All datasets must have the same dimensions!");
    EXPECT_TRUE(hostState().errorShown);
    EXPECT_EQ(messages.str(), "run2.FMR: not an FMR or DMR file\nAn Error: happened\n"
                              "Error: All datasets must have the same dimensions!\n");
}

TEST_F(HostServices, ParameterStoreKeepsStringsAndIntegersApart)
{
    auto name = writable("volume0");
    auto value = writable("text");
    hsSetIntParameter(name.data(), 5);
    EXPECT_EQ(hsGetIntParameter(name.data()), 5);
    std::vector<char> buffer(kStringParameterBufferSize, 'x');
    hsGetStringParameter(name.data(), buffer.data());
    EXPECT_STREQ(buffer.data(), "");
    hsSetStringParameter(name.data(), value.data());
    hsGetStringParameter(name.data(), buffer.data());
    EXPECT_STREQ(buffer.data(), "text");
    auto unset = writable("unset");
    EXPECT_EQ(hsGetIntParameter(unset.data()), 0);
}

TEST_F(HostServices, StringValueTooLongForThePluginBufferIsRefusedNotOverflowed)
{
    auto name = writable("files");
    std::vector<char> buffer(kStringParameterBufferSize, 'x');
    hostState().stringParameters["files"] = std::string(kStringParameterBufferSize - 1, 'a');
    hsGetStringParameter(name.data(), buffer.data());
    EXPECT_EQ(std::string(buffer.data()).size(), static_cast<std::size_t>(kStringParameterBufferSize - 1));
    EXPECT_FALSE(hostState().errorShown);

    hostState().stringParameters["files"] = std::string(kStringParameterBufferSize, 'a');
    hsGetStringParameter(name.data(), buffer.data());
    EXPECT_STREQ(buffer.data(), "");
    EXPECT_TRUE(hostState().errorShown);
    EXPECT_NE(messages.str().find("\"files\" is longer than 10239 bytes"), std::string::npos) << messages.str();
}

TEST_F(HostServices, FileDialogAnswersFromTheCommandLineWithinItsBuffer)
{
    std::vector<char> path(kOpenFileNameBufferSize, 'x');
    hsGetOpenFileName("Please select an VDM.", "", "*_vdm.map", path.data());
    EXPECT_STREQ(path.data(), "");
    hostState().openFileAnswer = "/d/run1_vdm.map";
    hsGetOpenFileName("Please select an VDM.", "", "*_vdm.map", path.data());
    EXPECT_STREQ(path.data(), "/d/run1_vdm.map");
    hostState().openFileAnswer = std::string(kOpenFileNameBufferSize, 'p');
    hsGetOpenFileName("Please select an VDM.", "", "*_vdm.map", path.data());
    EXPECT_STREQ(path.data(), "");
    EXPECT_TRUE(hostState().errorShown);
}

TEST_F(HostServices, YesNoQuestionsAreAnsweredAsToldAndShown)
{
    hostState().yesNo = YesNoAnswer::Yes;
    EXPECT_EQ(hsYesNoMessageBox("Overwrite run1_undist.fmr?"), 1);
    hostState().yesNo = YesNoAnswer::No;
    EXPECT_EQ(hsYesNoMessageBox("Overwrite run2_undist.fmr?"), 0);
    EXPECT_EQ(messages.str(), "Overwrite run1_undist.fmr? -> yes\nOverwrite run2_undist.fmr? -> no\n");
}

TEST(HostVersionText, OnlyThreeWholeNumbersSeparatedByDots)
{
    HostVersion version;
    EXPECT_TRUE(parseHostVersion("21.0.7", version));
    EXPECT_EQ(version.major, 21);
    EXPECT_EQ(version.minor, 0);
    EXPECT_EQ(version.patch, 7);
    for (const char* bad : {"", "3", "3.1", "3.1.0.0", "3..0", "3.1.x", " 3.1.0", "3.1.0 ", "+3.1.0", "3.1.99999999999"})
        EXPECT_FALSE(parseHostVersion(bad, version)) << bad;
    EXPECT_EQ(version.major, 21);
}
