// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>

#include "plugin/distcor.h"
#include "plugin/parameters.h"
#include "plugin/tasks.h"
#include "support/fakehost.h"
#include "support/runprocess.h"

namespace {

// A plug-in object that writes to the fake host's log, as after initPlugin.
struct StartedPlugin {
    StartedPlugin() { plugin.logStream = new MDHSLog(hostApi.hsLogText); }
    distcor plugin;
};


}  // namespace

TEST(Dispatch, UnknownCaseDifferentOrEmptyTaskOnlyShowsAndStopsTheBusyCursor)
{
    for (const std::string task : {"Check", "CHECK", "", "estimate ", "frobnicate"}) {
        FakeHost host;
        StartedPlugin started;
        host.strings["task"] = task;
        EXPECT_TRUE(started.plugin.execute());
        EXPECT_EQ(host.calls, (std::vector<std::string>{"getString:task", "showBusy", "stopBusy"})) << task;
    }
}

TEST(Dispatch, SelectionAndCheckRunWithoutBusyCursor)
{
    FakeHost host;
    StartedPlugin started;
    host.strings["task"] = "select_vdm";
    host.openFileAnswer = "/data/run1_vdm.map";
    EXPECT_TRUE(started.plugin.execute());
    host.strings["task"] = "check";
    EXPECT_TRUE(started.plugin.execute());
    EXPECT_EQ(host.calls, (std::vector<std::string>{"getString:task", "open:Please select an VDM.|*_vdm.map",
                                                    "setString:filename=/data/run1_vdm.map", "getString:task",
                                                    "getString:files", "log:Check: OK"}));
}

TEST(Dispatch, ExceptionLeavingALongTaskStopsTheCursorBeforeTheErrorBox)
{
    for (const std::string task : {"estimate", "apply"}) {
        FakeHost host;
        StartedPlugin started;
        host.strings["task"] = task;
        host.strings["file0"] = "/nonexistent/a.fmr";
        host.strings["file1"] = "/nonexistent/b.fmr";
        host.strings["files"] = "/nonexistent/a.fmr";
        host.strings["vdm"] = "/nonexistent/a_vdm.map";
        EXPECT_TRUE(started.plugin.execute());
        const auto messages = host.callsStartingWith("message:");
        ASSERT_EQ(messages.size(), 1u) << task;
        EXPECT_EQ(messages[0].rfind("message:Error: ", 0), 0u) << messages[0];
        ASSERT_EQ(host.callsStartingWith("stopBusy").size(), 1u);
        EXPECT_LT(host.positionOf("showBusy"), host.positionOf("stopBusy"));
        EXPECT_LT(host.positionOf("stopBusy"), host.positionOf(messages[0]));
    }
}

TEST(Dispatch, ExceptionFromParameterReadingBecomesAnErrorBox)
{
    FakeHost host;
    StartedPlugin started;
    host.throwingParameter = "files";
    host.strings["task"] = "check";
    EXPECT_TRUE(started.plugin.execute());
    EXPECT_EQ(host.calls,
              (std::vector<std::string>{"getString:task", "getString:files", "message:Error: broken parameter"}));
}

TEST(Check, EmptyListOrOnlyNewlinesIsOk)
{
    for (const std::string files : {"", "\n\n\n"}) {
        FakeHost host;
        StartedPlugin started;
        host.strings["files"] = files;
        taskCheck(started.plugin);
        EXPECT_EQ(host.calls, (std::vector<std::string>{"getString:files", "log:Check: OK"}));
    }
}

TEST(Check, ProblemsAreCollectedIntoOneMessageBox)
{
    const TemporaryFolder folder;
    const std::string readable = folder.write("run1.fmr", "FileVersion: 7\n");
    const std::string empty = folder.write("empty.fmr", "");
    const std::string diffusion = folder.write("dwi.dmr", "x");
    const std::string upperCase = folder.write("run2.DMR", "x");
    const std::string missing = folder.path() + "/missing.dmr";
    std::filesystem::create_directory(folder.path() + "/folder.fmr");

    FakeHost host;
    StartedPlugin started;
    host.strings["files"] = readable + "\n" + upperCase + "\n\n" + missing + "\n" + empty + "\n" + diffusion + "\n" +
                            folder.path() + "/folder.fmr\n" + folder.path() + "/notes.txt\n";
    taskCheck(started.plugin);
    EXPECT_EQ(host.callsStartingWith("log:").size(), 0u);
    EXPECT_EQ(host.callsStartingWith("message:"),
              (std::vector<std::string>{"message:" + upperCase + ": not an FMR or DMR file\n" + missing +
                                        ": could not read file\n" + folder.path() + "/folder.fmr: could not read file\n" +
                                        folder.path() + "/notes.txt: not an FMR or DMR file\n"}));
}

TEST(Parameters, StringsAreReadThroughTheFullBuffer)
{
    FakeHost host;
    const std::string longest(10239, 'p');
    host.strings["files"] = longest;
    host.strings["vdm"] = "a\nb";
    EXPECT_EQ(readStringParameter("files"), longest);
    EXPECT_EQ(readStringParameter("vdm"), "a\nb");
    EXPECT_EQ(readStringParameter("unset"), "");
}

TEST(SplitLines, DropsEmptyPiecesAndKeepsOrder)
{
    EXPECT_EQ(splitLines("/d/a.fmr\n\n/d/b.dmr\n"), (std::vector<std::string>{"/d/a.fmr", "/d/b.dmr"}));
    EXPECT_EQ(splitLines("\n\nz\ny\n\nx"), (std::vector<std::string>{"z", "y", "x"}));
    EXPECT_EQ(splitLines("a\r\nb\r\n"), (std::vector<std::string>{"a\r", "b\r"}));
    EXPECT_EQ(splitLines(" \n"), (std::vector<std::string>{" "}));
    EXPECT_TRUE(splitLines("").empty());
    EXPECT_TRUE(splitLines("\n").empty());
}

