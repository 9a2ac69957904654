// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <sstream>

#include "cli/commandline.h"

namespace {

const CommandSpec kSpec{
    .name = "apply",
    .arguments = "VDM PROJECT...",
    .minimumArguments = 2,
    .maximumArguments = kAnyNumber,
    .summary = "apply a map",
    .description = "",
    .options =
        {
            {"--set", "NAME=TEXT", "a parameter", true},
            {"--open", "PATH", "a path"},
            {"--yes", "", "a switch"},
        },
};

}  // namespace

TEST(CommandLine, OptionsMayStandAnywhereInEitherForm)
{
    const ParsedCommandLine parsed = parseCommandLine(
        kSpec, {"--set", "a=1", "map.map", "--yes", "p1.fmr", "--set=b=2", "--open=x", "--", "--p2.fmr", "--yes"});
    EXPECT_EQ(parsed.arguments, (std::vector<std::string>{"map.map", "p1.fmr", "--p2.fmr", "--yes"}));
    EXPECT_EQ(parsed.values("--set"), (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_EQ(parsed.value("--open"), "x");
    EXPECT_TRUE(parsed.has("--yes"));
    EXPECT_FALSE(parsed.has("--help"));
    EXPECT_EQ(parsed.value("--help"), "");
    EXPECT_EQ(parseCommandLine(kSpec, {"m", "p", "--open", "--yes"}).value("--open"), "--yes");
}

TEST(CommandLine, DeclarationViolationsAreUsageErrors)
{
    const std::vector<std::vector<std::string>> bad{
        {"m"},                         // too few arguments
        {"m", "p", "--frob"},          // unknown option
        {"m", "p", "--open"},          // missing value
        {"m", "p", "--yes=1"},         // switch with a value
        {"m", "p", "--open", "a", "--open", "b"},  // not repeatable
    };
    for (const auto& arguments : bad) EXPECT_THROW(parseCommandLine(kSpec, arguments), UsageError);
    CommandSpec none = kSpec;
    none.minimumArguments = none.maximumArguments = 0;
    EXPECT_THROW(parseCommandLine(none, {"x"}), UsageError);
    EXPECT_NO_THROW(parseCommandLine(none, {}));
}

TEST(CommandLine, ValuesOfOptionsAreChecked)
{
    EXPECT_EQ(splitAssignment("--set", "files=a=b"), (std::pair<std::string, std::string>{"files", "a=b"}));
    EXPECT_EQ(splitAssignment("--set", "files="), (std::pair<std::string, std::string>{"files", ""}));
    EXPECT_THROW(splitAssignment("--set", "files"), UsageError);
    EXPECT_THROW(splitAssignment("--set", "=x"), UsageError);
    EXPECT_EQ(parseInteger("--set-int", "-2147483648"), -2147483648LL);
    EXPECT_EQ(parseInteger("--set-int", "17"), 17);
    for (const char* bad : {"", "1.5", "2147483648", "3x", " 3", "0x10"})
        EXPECT_THROW(parseInteger("--set-int", bad), UsageError) << bad;
}

TEST(CommandLine, RunCommandTurnsUsageErrorsIntoStatusTwoAndHelpIntoZero)
{
    int bodyRuns = 0;
    const auto body = [&](const ParsedCommandLine& parsed) {
        ++bodyRuns;
        if (parsed.has("--yes")) throw UsageError("no yes today");
        return 7;
    };
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(runCommand(kSpec, {"m", "p"}, body), 7);
    EXPECT_EQ(runCommand(kSpec, {"m"}, body), 2);
    EXPECT_EQ(runCommand(kSpec, {"m", "p", "--yes"}, body), 2);
    EXPECT_EQ(runCommand(kSpec, {"--help"}, body), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(bodyRuns, 2);
    EXPECT_EQ(out.rfind("usage: mindaro apply", 0), 0u);
    EXPECT_NE(err.find("mindaro apply: no yes today\nusage: mindaro apply VDM PROJECT... [options]"), std::string::npos)
        << err;
}
