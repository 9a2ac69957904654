// SPDX-License-Identifier: GPL-3.0-or-later
// The host on several threads: the same bytes in every output whatever the number of
// threads, and thread counts checked where they are given.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/bidsphantom.h"
#include "support/runprocess.h"

namespace fs = std::filesystem;

namespace {

std::string readWhole(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The pictures of a report page, in order: the data of its images. The rest of the page
// tells the time of the run.
std::vector<std::string> pagePictures(const std::string& page)
{
    std::vector<std::string> pictures;
    const std::string start = "src=\"data:";
    for (std::size_t at = page.find(start); at != std::string::npos; at = page.find(start, at + 1))
        pictures.push_back(page.substr(at, page.find('"', at + start.size()) - at));
    return pictures;
}

// Every file under the folder by its relative path, with its bytes.
std::map<std::string, std::string> filesUnder(const fs::path& folder)
{
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).string()] = readWhole(entry.path());
    return files;
}

// The files of two runs, byte for byte.
void expectSameFiles(const std::map<std::string, std::string>& one, const std::map<std::string, std::string>& other)
{
    ASSERT_EQ(other.size(), one.size());
    for (const auto& [name, bytes] : one) {
        const auto found = other.find(name);
        EXPECT_TRUE(found != other.end() && found->second == bytes) << name << " differs";
    }
}

}  // namespace

// The precise estimate with intensity correction, its check against the standard one,
// the NIfTI outputs, the picture and the page's figures of "correct".
TEST(Threads, CorrectWritesTheSameBytesOnOneAndOnThreeThreads)
{
    const TemporaryFolder folder;
    const BidsPhantom bids = writeBidsPhantom(folder.path(), "j", 0.04);
    std::vector<std::map<std::string, std::string>> runs;
    for (const char* threads : {"1", "3"}) {
        const std::string out = std::string("out") + threads;
        const ProcessResult result =
            mindaroIn(folder.path(), {"correct", "--ap", bids.ap, "--pa", bids.pa, "--out", out, "--threads", threads});
        ASSERT_EQ(result.status, 0) << result.out << result.err;
        std::map<std::string, std::string> files = filesUnder(folder.path() + "/" + out);
        ASSERT_TRUE(files.count("report.html") == 1 && files.count("qc.png") == 1);
        const std::vector<std::string> pictures = pagePictures(files["report.html"]);
        EXPECT_GE(pictures.size(), 4u);
        for (std::size_t i = 0; i < pictures.size(); ++i) files["report.html picture " + std::to_string(i)] = pictures[i];
        files.erase("report.html");
        runs.push_back(std::move(files));
    }
    expectSameFiles(runs[0], runs[1]);
}

// Several volumes each way with the head's motion: the map and the motion files.
TEST(Threads, PreciseEstimateWithMotionWritesTheSameBytesOnOneAndOnThreeThreads)
{
    const TemporaryFolder folder;
    ASSERT_EQ(mindaroIn(folder.path(), {"simulate", "p", "--size", "32x32x12", "--volumes", "2", "--noise", "20"}).status,
              0);
    std::vector<std::map<std::string, std::string>> runs;
    for (const char* threads : {"1", "3"}) {
        const fs::path copy = fs::path(folder.path()) / (std::string("p") + threads);
        fs::create_directory(copy);
        for (const char* name : {"AP.fmr", "AP.stc", "PA.fmr", "PA.stc"})
            fs::copy_file(fs::path(folder.path()) / "p" / name, copy / name);
        const ProcessResult result = mindaroIn(
            copy.string(), {"estimate", "AP.fmr", "PA.fmr", "--precise", "--volumes", "all", "all", "--motion", "--threads", threads});
        ASSERT_EQ(result.status, 0) << result.out << result.err;
        std::map<std::string, std::string> files = filesUnder(copy);
        ASSERT_EQ(files.count("AP_motion.tsv"), 1u) << result.out;
        runs.push_back(std::move(files));
    }
    expectSameFiles(runs[0], runs[1]);
}

TEST(Threads, ThreadCountsOutsideOneTo1024AreRefusedWithTheirSource)
{
    const TemporaryFolder folder;
    ASSERT_EQ(mindaroIn(folder.path(), {"simulate", "p", "--size", "24x24x8"}).status, 0);
    const std::vector<std::string> estimate{"estimate", "p/AP.fmr", "p/PA.fmr", "--fast"};

    for (const char* bad : {"0", "-1", "1025", "two", ""}) {
        std::vector<std::string> command = estimate;
        command.insert(command.end(), {"--threads", bad});
        const ProcessResult result = mindaroIn(folder.path(), command);
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')),
                  "mindaro estimate: --threads must be a whole number of threads from 1 to 1024, not \"" +
                      std::string(bad) + "\".");
    }
    ProcessResult result = mindaroIn(folder.path(), estimate, {"VARNO_THREADS=many"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')),
              "mindaro estimate: VARNO_THREADS must be a whole number of threads from 1 to 1024, not \"many\".");
    // --threads is what the user asked for on this run; the variable is only the default.
    result = mindaroIn(folder.path(), {"estimate", "p/AP.fmr", "p/PA.fmr", "--fast", "--threads", "2"},
                       {"VARNO_THREADS=many"});
    EXPECT_EQ(result.status, 0) << result.err;

    // The plug-in reads the dialog parameter, else the variable.
    result = mindaroIn(folder.path(), {"task", "estimate", "--set", "file0=p/AP.fmr", "--set", "file1=p/PA.fmr",
                                       "--set-int", "fast_algorithm=1", "--set-int", "threads=-3"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: The dialog parameter \"threads\" must be a whole number of threads from 1 to 1024, "
                          "not \"-3\".\n");
    result = mindaroIn(folder.path(), {"task", "estimate", "--set", "file0=p/AP.fmr", "--set", "file1=p/PA.fmr",
                                       "--set-int", "fast_algorithm=1"},
                       {"VARNO_THREADS=0"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: VARNO_THREADS must be a whole number of threads from 1 to 1024, not \"0\".\n");
    result = mindaroIn(folder.path(), {"task", "estimate", "--set", "file0=p/AP.fmr", "--set", "file1=p/PA.fmr",
                                       "--set-int", "fast_algorithm=1"},
                       {"VARNO_THREADS=3"});
    EXPECT_EQ(result.status, 0) << result.err;
}

// The precise estimate beside its check at half resolution: the same map, and the same
// log entries in the same order (times aside) as on one thread.
TEST(Threads, PreciseEstimateLogsTheSameEntriesOnOneAndOnThreeThreads)
{
    const TemporaryFolder folder;
    ASSERT_EQ(mindaroIn(folder.path(), {"simulate", "p", "--size", "32x32x12", "--noise", "20"}).status, 0);
    std::vector<std::map<std::string, std::string>> runs;
    std::vector<std::string> logs;
    const std::regex times("[0-9.e+-]+ s\\b|Time taken: [0-9.e+-]+");
    for (const char* threads : {"1", "3"}) {
        const fs::path copy = fs::path(folder.path()) / (std::string("p") + threads);
        fs::create_directory(copy);
        for (const char* name : {"AP.fmr", "AP.stc", "PA.fmr", "PA.stc"})
            fs::copy_file(fs::path(folder.path()) / "p" / name, copy / name);
        const ProcessResult result =
            mindaroIn(copy.string(), {"estimate", "AP.fmr", "PA.fmr", "--precise", "--threads", threads});
        ASSERT_EQ(result.status, 0) << result.out << result.err;
        ASSERT_NE(result.out.find("Checking the precise map against the standard estimate at half resolution"),
                  std::string::npos);
        logs.push_back(std::regex_replace(result.out, times, "T"));
        runs.push_back(filesUnder(copy));
    }
    expectSameFiles(runs[0], runs[1]);
    EXPECT_EQ(logs[0], logs[1]);
}
