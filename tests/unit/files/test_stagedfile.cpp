// SPDX-License-Identifier: GPL-3.0-or-later
// Files written under a temporary name and put in place by a rename: the place holds the
// old file or the new one, never a part, and no temporary file stays behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "files/fileerrors.h"
#include "files/stagedfile.h"
#include "support/datasetfiles.h"

namespace fs = std::filesystem;

namespace {

std::size_t entries(const ScratchDir& dir)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

}  // namespace

TEST(StagedFile, TheFileAppearsWhenCommittedAndNotBefore)
{
    const ScratchDir dir;
    writeFile(dir.file("out.stc"), "old");
    {
        StagedFile staged(dir.file("out.stc"));
        EXPECT_NE(staged.writePath(), staged.path());
        EXPECT_EQ(fs::path(staged.writePath()).parent_path(), fs::path(dir.file("out.stc")).parent_path());
        // The temporary file is there, empty, and is not truncated again on opening: on
        // ext4 that would make closing it wait until its data are on disk.
        EXPECT_FALSE(staged.writeMode() & std::ios::trunc);
        std::ofstream(staged.writePath(), staged.writeMode()) << "new";
        EXPECT_EQ(readWhole(dir.file("out.stc")), "old");
        staged.commit();
    }
    EXPECT_EQ(readWhole(dir.file("out.stc")), "new");
    EXPECT_EQ(entries(dir), 1u);
}

TEST(StagedFile, AFileNotCommittedLeavesTheOldOneOrNone)
{
    const ScratchDir dir;
    writeFile(dir.file("kept.fmr"), "old");
    {
        StagedFile kept(dir.file("kept.fmr"));
        StagedFile fresh(dir.file("fresh.fmr"));
        std::ofstream(kept.writePath()) << "half";
        std::ofstream(fresh.writePath()) << "half";
    }
    EXPECT_EQ(readWhole(dir.file("kept.fmr")), "old");
    EXPECT_FALSE(fs::exists(dir.file("fresh.fmr")));
    EXPECT_EQ(entries(dir), 1u);
}

// What is not a regular file is written in place, as before: a folder fails under its own
// name, a link's target receives the bytes, all of them in place of the old ones, and the
// link stays.
TEST(StagedFile, FoldersAndLinksAreWrittenInPlace)
{
    const ScratchDir dir;
    fs::create_directory(dir.file("folder.stc"));
    EXPECT_EQ(StagedFile(dir.file("folder.stc")).writePath(), dir.file("folder.stc"));

    writeFile(dir.file("target"), "old and longer");
    std::error_code noLinks;
    fs::create_symlink("target", dir.file("link.stc"), noLinks);
    if (noLinks) GTEST_SKIP() << "no symbolic links on this system: " << noLinks.message();
    {
        StagedFile link(dir.file("link.stc"));
        EXPECT_EQ(link.writePath(), dir.file("link.stc"));
        std::ofstream(link.writePath(), link.writeMode()) << "new";
        link.commit();
    }
    EXPECT_TRUE(fs::is_symlink(dir.file("link.stc")));
    EXPECT_EQ(readWhole(dir.file("target")), "new");
}

TEST(StagedFile, ARenameThatFailsIsAWriteError)
{
    const ScratchDir dir;
    StagedFile staged(dir.file("out.stc"));
    std::filesystem::create_directories(dir.file("out.stc/appeared"));
    EXPECT_THROW(staged.commit(), WriteFileError);
}

// Where no file can be made (here: no folder), the file is opened in place and its own
// error names it.
TEST(StagedFile, WhereNoTemporaryFileCanBeMadeTheFileIsWrittenInPlace)
{
    const ScratchDir dir;
    EXPECT_EQ(StagedFile(dir.file("missing/out.stc")).writePath(), dir.file("missing/out.stc"));
}
