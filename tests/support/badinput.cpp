// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/badinput.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "phantom/phantom.h"
#include "support/niftitestimages.h"

namespace fs = std::filesystem;

namespace {

// What the matrix found, over all its cases.
struct HostileCount {
    int cases = 0;
    int crashes = 0;          // ended by a signal, or an exit status the host never gives
    int changedInputs = 0;    // cases after which an input was changed or removed
    int falseSuccesses = 0;   // exit status 0 where an error was expected
};

HostileCount hostile;

// Prints the size of the matrix and what it found once all tests have run.
class BadInputCount : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (hostile.cases > 0)
            std::printf("Hostile cases run through mindaro: %d (crashes %d, runs that changed an input %d, false "
                        "successes %d)\n",
                        hostile.cases, hostile.crashes, hostile.changedInputs, hostile.falseSuccesses);
    }
};

const auto* const countAtExit = ::testing::AddGlobalTestEnvironment(new BadInputCount);

std::string describe(const std::vector<std::string>& command)
{
    std::string text;
    for (const std::string& word : command) {
        if (!text.empty()) text += ' ';
        text.append(word, 0, 100);
        if (text.size() > 400) return text + " ...";
    }
    return text;
}

}  // namespace

std::map<std::string, EntryState> folderState(const std::string& folder)
{
    std::map<std::string, EntryState> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        EntryState state;
        const fs::file_status status = entry.symlink_status();
        state.type = status.type();
        state.permissions = status.permissions();
        if (state.type == fs::file_type::symlink) {
            state.contents = fs::read_symlink(entry.path()).string();
        } else if (state.type != fs::file_type::directory) {   // a folder's time moves with new entries
            state.modified = entry.last_write_time();
            if (state.type == fs::file_type::regular) state.contents = readWhole(entry.path().string());
        }
        entries[fs::relative(entry.path(), folder).string()] = state;
    }
    return entries;
}

namespace {

// Runs one hostile case, counts it and checks what every case must keep: the exit status,
// and every entry of the folder as it was. Returns the run and the entries it added.
std::pair<ProcessResult, std::vector<std::string>> runCounted(const std::string& folder,
                                                              const std::vector<std::string>& command, int status)
{
    ++hostile.cases;
    const auto before = folderState(folder);
    const ProcessResult result = runProcess(command, folder, {}, kHostileAddressSpace);
    const auto after = folderState(folder);
    const std::string what = describe(command);
    if (result.status > 3) ++hostile.crashes;
    if (result.status == 0 && status != 0) ++hostile.falseSuccesses;
    bool changed = false;
    for (const auto& [path, state] : before) {
        const auto now = after.find(path);
        changed = changed || now == after.end() || !(now->second == state);
    }
    if (changed) ++hostile.changedInputs;

    EXPECT_EQ(result.status, status) << what << "\n" << result.err;
    std::vector<std::string> added;
    for (const auto& [path, state] : after) {
        const auto old = before.find(path);
        if (old == before.end())
            added.push_back(path);
        else
            EXPECT_TRUE(old->second == state) << what << ": the input " << path << " was changed";
    }
    for (const auto& [path, state] : before)
        EXPECT_TRUE(after.count(path) == 1) << what << ": the input " << path << " was removed";
    return {result, added};
}

}  // namespace

void expectAnswerOf(const std::string& folder, const std::vector<std::string>& command, const Answer& answer)
{
    const auto [result, added] = runCounted(folder, command, answer.status);
    const std::string what = describe(command);
    EXPECT_EQ(result.err, answer.err) << what;
    if (answer.out) {
        EXPECT_EQ(result.out, *answer.out) << what;
    }
    EXPECT_EQ(added, answer.newEntries) << what;
}

ProcessResult runHostileCase(const std::string& folder, const std::vector<std::string>& arguments, int status)
{
    std::vector<std::string> command{mindaroPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runCounted(folder, command, status).first;
}

std::string taskError(const std::string& message)
{
    return "Error: " + message + "\n";
}

void expectAnswer(const std::string& folder, const std::vector<std::string>& arguments, const Answer& answer)
{
    std::vector<std::string> command{mindaroPath()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    expectAnswerOf(folder, command, answer);
}

void writeContents(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void writePhantomPair(const std::string& folder, bool diffusion)
{
    PhantomOptions options;
    options.extent = {16, 16, 4};
    options.peakDisplacement = 1.0;
    options.volumes = 2;
    options.diffusion = diffusion;
    options.floatData = diffusion;
    writePhantom(folder, options);
    const std::string extension = diffusion ? ".dmr" : ".fmr";
    const ProcessResult estimate =
        runProcess({mindaroPath(), "estimate", "AP" + extension, "PA" + extension, "--fast"}, folder);
    ASSERT_EQ(estimate.status, 0) << estimate.err;
    for (const char* name : {"phantom.txt", "truth.fmr", "truth.stc", "truth.dmr", "truth.dwi"})
        fs::remove(fs::path(folder) / name);
}

void writeNiftiPhantomPair(const std::string& folder)
{
    PhantomOptions options;
    options.extent = {16, 16, 4};
    options.peakDisplacement = 1.0;
    const PhantomVolumes phantom = makePhantom(options);
    TestImageLayout layout;
    layout.extent = options.extent;
    const auto rounded = [](const Volume& v) { return [&v](int i, int j, int k, int) { return std::round(v(i, j, k)); }; };
    writeTestImage(folder + "/ap.nii", layout, rounded(phantom.first.front()));
    writeTestImage(folder + "/pa.nii", layout, rounded(phantom.second.front()));
    writeContents(folder + "/ap.json", R"({"PhaseEncodingDirection": "j", "TotalReadoutTime": 0.05})");
    writeContents(folder + "/pa.json", R"({"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05})");
}
