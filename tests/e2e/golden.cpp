// SPDX-License-Identifier: GPL-3.0-or-later
// Golden outputs: fixed phantom cases run through the built host, every written map and
// "_undist" data file compared with the checksum recorded before any optimisation, on one
// thread and on several. Any change of a single output bit fails here.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/runprocess.h"

namespace {

// FNV-1a, 64 bits, over the file's bytes; "missing" when the file cannot be read.
std::string fileChecksum(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return "missing";
    std::uint64_t hash = 14695981039346656037ull;
    for (std::istreambuf_iterator<char> byte(stream), end; byte != end; ++byte) {
        hash ^= static_cast<unsigned char>(*byte);
        hash *= 1099511628211ull;
    }
    std::ostringstream text;
    text << std::hex << hash;
    return text.str();
}

struct GoldenCase {
    std::string name;
    std::vector<std::string> simulate;  // options of "mindaro simulate"
    std::vector<std::string> run;       // the command that writes the outputs
    std::map<std::string, std::string> checksums;  // output file -> recorded checksum
};

void runMindaro(const std::vector<std::string>& arguments, const std::string& folder)
{
    const ProcessResult result = mindaroIn(folder, arguments);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
}

const std::vector<GoldenCase>& goldenCases()
{
    static const std::vector<GoldenCase> cases{
        {"ApPaNccFull",
         {"--size", "40x40x16", "--seed", "3"},
         {"estimate", "p/AP.fmr", "p/PA.fmr", "--apply"},
         {{"AP_vdm.map", "5ac3ace6cd946566"}, {"PA_vdm.map", "c1d05f888d794466"}, {"AP_undist.stc", "4a34e6ea9094ddd0"}, {"PA_undist.stc", "10646d2b2d781d23"}}},
        {"ApPaSsdIntensityModulatedFullWithDerivative",
         {"--size", "40x40x16", "--seed", "4", "--noise", "6"},
         {"estimate", "p/AP.fmr", "p/PA.fmr", "--ssd", "--ic", "--apply", "--derivative"},
         {{"AP_vdm.map", "716fec58264a5c46"}, {"PA_vdm.map", "2a91a29905bdf846"}, {"AP_vdmderiv.map", "af1ad6f52bdf5c79"}, {"PA_vdmderiv.map", "d8084bf648dd779"},
          {"AP_undist.stc", "790fbb940b10c06"}, {"PA_undist.stc", "f550b41c447ba51c"}}},
        {"LrRlNccIntensityModulatedFull",
         {"--size", "36x44x14", "--left-right", "--seed", "5"},
         {"estimate", "p/LR.fmr", "p/RL.fmr", "--lr", "--ic", "--apply"},
         {{"LR_vdm.map", "65250868fac30c72"}, {"RL_vdm.map", "87de156560c1f172"}, {"LR_undist.stc", "22c3950646334e7a"}, {"RL_undist.stc", "f76c833f5467108c"}}},
        {"LrRlSsdFast",
         {"--size", "36x44x14", "--left-right", "--seed", "6"},
         {"estimate", "p/LR.fmr", "p/RL.fmr", "--lr", "--ssd", "--fast", "--apply"},
         {{"LR_vdm.map", "4fd15df1f1b34353"}, {"RL_vdm.map", "5ae5db4bb438f653"}, {"LR_undist.stc", "d8108a2a31cc79dc"}, {"RL_undist.stc", "97129b93ef9a0a02"}}},
        {"ApPaNccFastFirstDerivative",
         {"--size", "40x40x16", "--seed", "7"},
         {"estimate", "p/AP.fmr", "p/PA.fmr", "--fast", "--order", "1", "--apply"},
         {{"AP_vdm.map", "faae74fe3cc977ec"}, {"PA_vdm.map", "3649474f9f0fd7ec"}, {"AP_undist.stc", "dffd1dc746afed"}, {"PA_undist.stc", "75cde1f170df2cb1"}}},
        {"DiffusionFloatTwoVolumesFull",
         {"--size", "32x32x12", "--dmr", "--float", "--volumes", "2", "--noise", "4", "--seed", "8"},
         {"estimate", "p/AP.dmr", "p/PA.dmr", "--volumes", "1", "0", "--apply"},
         {{"AP_vdm.map", "e979f710690575f3"}, {"PA_vdm.map", "539db520c5aa3ff3"}, {"AP_undist.dwi", "ccad527ff386e8bf"}, {"PA_undist.dwi", "cf67a2ee448527fd"}}},
        {"ApplyTrueMapToThreeVolumes",
         {"--size", "40x40x16", "--volumes", "3", "--noise", "3", "--seed", "9"},
         {"apply", "p/true_vdm.map", "p/AP.fmr"},
         {{"AP_undist.stc", "5cf699c23e616b9d"}}},
    };
    return cases;
}

// Every case run with the given number of threads; the table of the checksums written.
std::string checkGoldenCases(int threads)
{
    std::ostringstream actualTable;
    for (const GoldenCase& golden : goldenCases()) {
        SCOPED_TRACE(golden.name + ", " + std::to_string(threads) + " threads");
        const TemporaryFolder folder;
        std::vector<std::string> simulate{"simulate", "p"};
        simulate.insert(simulate.end(), golden.simulate.begin(), golden.simulate.end());
        runMindaro(simulate, folder.path());
        std::vector<std::string> command = golden.run;
        command.insert(command.end(), {"--threads", std::to_string(threads)});
        runMindaro(command, folder.path());
        for (const auto& [file, expected] : golden.checksums) {
            const std::string actual = fileChecksum(folder.path() + "/p/" + file);
            actualTable << golden.name << ' ' << file << ' ' << actual << '\n';
            EXPECT_EQ(actual, expected) << file;
        }
    }
    return actualTable.str();
}

}  // namespace

TEST(GoldenOutputs, EveryOutputBitStaysAsRecorded)
{
    std::cout << "Checksums of this build:\n" << checkGoldenCases(1);
}

// The work is cut into the same pieces whatever the number of threads, and sums over
// pieces add in one order: more threads than cores, and counts that divide nothing
// evenly, give the same bits.
TEST(GoldenOutputs, EveryOutputBitIsTheSameOnTwoThreeAndEightThreads)
{
    for (int threads : {2, 3, 8}) checkGoldenCases(threads);
}
