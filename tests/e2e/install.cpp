// SPDX-License-Identifier: GPL-3.0-or-later
// "cmake --install" of this build into a prefix, as a user installs VARNO without a package:
// the layout, the installed mindaro finding its plug-in from another folder, its manual and
// completion, an upgrade in place that leaves no file of the earlier installation, and a
// read-only prefix refused in words.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/commands.h"
#include "core/version.h"
#include "support/runprocess.h"

namespace fs = std::filesystem;

namespace {

const std::string kBuildDir = fs::path(VARNO_BIN_DIR).parent_path().string();

// CMake's messages broken into indented lines, as one line.
std::string singleLine(const std::string& text)
{
    std::string line;
    for (const char c : text) {
        const bool space = c == ' ' || c == '\n';
        if (!space || (!line.empty() && line.back() != ' ')) line += space ? ' ' : c;
    }
    return line;
}

ProcessResult installInto(const std::string& prefix)
{
    return runProcess({VARNO_CMAKE_COMMAND, "--install", kBuildDir, "--prefix", prefix}, kBuildDir);
}

}  // namespace

TEST(InstallTree, LaysOutTheProgramThePluginItsManualAndCompletionUnderThePrefix)
{
    const TemporaryFolder folder;
    const std::string prefix = folder.path() + "/prefix";
    const ProcessResult install = installInto(prefix);
    ASSERT_EQ(install.status, 0) << install.out << install.err;

    std::vector<std::string> expected{"bin/mindaro",
                                      "lib/varno/plugins/libvarno.so",
                                      std::string("lib/varno/plugins/") + kVarnoScriptFile,
                                      "lib/varno/plugins/VarnoPluginHelp/index.html",
                                      "share/man/man1/mindaro.1",
                                      "share/bash-completion/completions/mindaro",
                                      "share/doc/varno/LICENSE",
                                      "share/doc/varno/THIRD-PARTY.md",
                                      "share/doc/varno/CHANGELOG.md"};
    for (const CommandEntry& command : allCommands())
        expected.push_back("share/man/man1/mindaro-" + command.declaration->name + ".1");
    for (const std::string& file : expected) EXPECT_TRUE(fs::is_regular_file(prefix + "/" + file)) << file;

    // From another folder, the installed program loads the installed plug-in.
    const std::string work = folder.path() + "/work";
    fs::create_directory(work);
    ProcessResult result = runProcess({prefix + "/bin/mindaro", "info"}, work);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Plug-in:     " + prefix + "/lib/varno/plugins/libvarno.so\n"), std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("missing"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(std::string("License:     ") + kVarnoLicence + "\n"), std::string::npos);
    result = runProcess({prefix + "/bin/mindaro", "task", "check"}, work);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Check: OK\n");
    result = runProcess({"/usr/bin/man", "--warnings", "-l", prefix + "/share/man/man1/mindaro-correct.1"}, work,
                        {"MANWIDTH=80", "MANPAGER=cat"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("--apply-to RUN"), std::string::npos) << result.out;
}

TEST(InstallTree, UpgradeInPlaceRemovesTheFilesThatOnlyTheEarlierInstallationHad)
{
    const TemporaryFolder folder;
    const std::string prefix = folder.path() + "/prefix";
    ASSERT_EQ(installInto(prefix).status, 0);

    // As an earlier version would have left them: its dialog script, a help folder since
    // dropped, in the list of installed files; and a file of the user's, in no list.
    const std::string plugins = prefix + "/lib/varno/plugins";
    const std::string oldScript = plugins + "/VARNO_v120.js";
    fs::create_directories(plugins + "/OldHelp");
    for (const std::string& file : {oldScript, plugins + "/OldHelp/page.html", plugins + "/notes.txt"})
        std::ofstream(file) << "earlier\n";
    std::ofstream(prefix + "/lib/varno/installed-files", std::ios::app)
        << oldScript << '\n'
        << plugins << "/OldHelp/page.html\n"
        << folder.path() << "/outside-the-prefix\n";
    std::ofstream(folder.path() + "/outside-the-prefix") << "kept\n";

    const ProcessResult upgrade = installInto(prefix);
    ASSERT_EQ(upgrade.status, 0) << upgrade.out << upgrade.err;
    EXPECT_NE(upgrade.out.find("Removed (left by an earlier installation): " + oldScript + "\n"), std::string::npos)
        << upgrade.out;
    EXPECT_FALSE(fs::exists(oldScript));
    EXPECT_FALSE(fs::exists(plugins + "/OldHelp"));
    EXPECT_TRUE(fs::exists(plugins + "/notes.txt"));
    EXPECT_TRUE(fs::exists(folder.path() + "/outside-the-prefix"));
    EXPECT_TRUE(fs::exists(plugins + "/" + kVarnoScriptFile));
    const std::string list = readWhole(prefix + "/lib/varno/installed-files");
    EXPECT_EQ(list.find("VARNO_v120.js"), std::string::npos) << list;
    EXPECT_NE(list.find(prefix + "/bin/mindaro\n"), std::string::npos) << list;
}

TEST(InstallTree, ReadOnlyPrefixIsRefusedInWordsBeforeAnythingIsCopied)
{
    // A read-only file system of its own, in a user and mount namespace (root may write
    // into any folder whose permissions forbid it, but not into a read-only mount).
    const TemporaryFolder folder;
    const std::string mount = folder.path() + "/readonly";
    fs::create_directory(mount);
    const std::string script = "mount -t tmpfs -o ro none '" + mount + "' || exit 97; exec '" VARNO_CMAKE_COMMAND
                               "' --install '" + kBuildDir + "' --prefix '" + mount + "/varno'";
    const ProcessResult result = runProcess({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script}, folder.path());
    if (result.status == 97 || result.err.find("unshare failed") != std::string::npos)
        GTEST_SKIP() << "no read-only mount can be made here: " << result.err;
    EXPECT_NE(result.status, 0);
    EXPECT_NE(singleLine(result.err).find("VARNO cannot be installed into " + mount + "/varno: cannot create directory"),
              std::string::npos)
        << result.err;
    EXPECT_NE(singleLine(result.err).find("Read-only file system. Nothing was installed."), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("Installing:"), std::string::npos) << result.out;
}
