// SPDX-License-Identifier: GPL-3.0-or-later
// Mindaro.exe with varno.dll under Wine against the Linux build on the same input: every
// task says the same (exit status, log lines, message boxes) and writes the same files.
// The phantoms are written once by the Linux host and copied, so that both builds read
// the same bytes. Maps and voxel data must agree within 1e-5 relative in every voxel;
// the table printed at the end says, per output, whether the bytes are identical.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

#include "files/filenames.h"
#include "support/workflow.h"
#include "windows/windowshost.h"

namespace {

struct AgreementCase {
    std::string name;
    std::vector<std::vector<std::string>> simulations;  // "mindaro simulate" argument lists
    std::vector<std::vector<std::string>> steps;        // commands run by both hosts, in order
};

// Largest |a - b| / max(|a|, |b|) over the voxels (0 where both are 0); infinity when
// the extents differ.
double maximumRelativeDifference(const Volume& a, const Volume& b)
{
    if (a.dimensions() != b.dimensions()) return INFINITY;
    double largest = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double x = a[i];
        const double y = b[i];
        if (x == y) continue;
        largest = std::max(largest, std::fabs(x - y) / std::max(std::fabs(x), std::fabs(y)));
    }
    return largest;
}

// What the Windows host wrote against what the Linux host wrote for one output file:
// the values compared through the project's or the map's reader.
double relativeDifference(const std::string& windowsFile, const std::string& linuxFile)
{
    std::vector<Volume> windowsVolumes;
    std::vector<Volume> linuxVolumes;
    if (hasExtension(linuxFile, "map")) {
        windowsVolumes.push_back(mapVolume(windowsFile));
        linuxVolumes.push_back(mapVolume(linuxFile));
    } else {
        // A data file is read through the header beside it that names it.
        const std::string header = replaceExtension(linuxFile, hasExtension(linuxFile, "stc") ? "fmr" : "dmr");
        const std::string windowsHeader = replaceExtension(windowsFile, hasExtension(windowsFile, "stc") ? "fmr" : "dmr");
        windowsVolumes = readProjectVolumes(windowsHeader);
        linuxVolumes = readProjectVolumes(header);
    }
    if (windowsVolumes.size() != linuxVolumes.size()) return INFINITY;
    double largest = 0.0;
    for (std::size_t i = 0; i < linuxVolumes.size(); ++i)
        largest = std::max(largest, maximumRelativeDifference(windowsVolumes[i], linuxVolumes[i]));
    return largest;
}

const std::vector<AgreementCase>& agreementCases()
{
    static const std::vector<AgreementCase> cases{
        {"ApPaNccFull", {{"p", "--size", "40x40x16", "--seed", "3"}}, {{"estimate", "p/AP.fmr", "p/PA.fmr", "--apply"}}},
        {"ApPaSsdIntensityModulatedFullWithDerivative",
         {{"p", "--size", "40x40x16", "--seed", "4", "--noise", "6"}},
         {{"estimate", "p/AP.fmr", "p/PA.fmr", "--ssd", "--ic", "--apply", "--derivative"}}},
        {"LrRlNccIntensityModulatedFull",
         {{"p", "--size", "36x44x14", "--left-right", "--seed", "5"}},
         {{"estimate", "p/LR.fmr", "p/RL.fmr", "--lr", "--ic", "--apply"}}},
        {"LrRlSsdFast",
         {{"p", "--size", "36x44x14", "--left-right", "--seed", "6"}},
         {{"estimate", "p/LR.fmr", "p/RL.fmr", "--lr", "--ssd", "--fast", "--apply"}}},
        {"ApPaNccFastFirstDerivative",
         {{"p", "--size", "40x40x16", "--seed", "7"}},
         {{"estimate", "p/AP.fmr", "p/PA.fmr", "--fast", "--order", "1", "--apply"}}},
        {"DiffusionFloatTwoVolumesFull",
         {{"p", "--size", "32x32x12", "--dmr", "--float", "--volumes", "2", "--noise", "4", "--seed", "8"}},
         {{"estimate", "p/AP.dmr", "p/PA.dmr", "--volumes", "1", "0", "--apply"}}},
        {"CheckSelectAndApplyWithTheResizeQuestion",
         {{"p", "--size", "32x32x12", "--seed", "9"}, {"q", "--size", "32x32x13", "--volumes", "3", "--seed", "10"}},
         {{"check", "p/AP.fmr", "q/AP.fmr", "p/missing.fmr"},
          {"task", "check", "--set", "files=p/AP.fmr\np/notes.txt\np/absent.dmr"},
          {"select", "q/AP.fmr"},
          {"estimate", "p/AP.fmr", "p/PA.fmr", "--fast"},
          {"select-vdm", "p/AP_vdm.map"},
          {"apply", "p/AP_vdm.map", "q/AP.fmr", "--no"},
          {"task", "apply", "--set", "vdm=p/AP_vdm.map", "--set", "files=q/PA.fmr"},
          {"apply", "p/AP_vdm.map", "q/AP.fmr", "p/AP.fmr", "--yes"},
          {"apply", "p/PA_vdm.map", "p/PA.fmr"}}},
    };
    return cases;
}

// The log without the line that gives the time an estimate took.
std::string withoutTimings(const std::string& log)
{
    std::string kept;
    for (const std::string& line : linesOf(log))
        if (line.rfind("Time taken: ", 0) != 0) kept += line + "\n";
    return kept;
}

std::string shown(const std::vector<std::string>& arguments)
{
    std::string text = "mindaro";
    for (const std::string& argument : arguments) text += " " + argument;
    return text;
}

}  // namespace

TEST(WindowsAgreement, EveryTaskSaysAndWritesWhatTheLinuxBuildDoes)
{
    std::ostringstream table;
    table << std::left << std::setw(46) << "case" << std::setw(22) << "output" << "bytes      max. relative difference\n";
    for (const AgreementCase& agreement : agreementCases()) {
        SCOPED_TRACE(agreement.name);
        const TemporaryFolder linuxFolder;
        const TemporaryFolder windowsFolder;
        for (const auto& simulation : agreement.simulations) {
            std::vector<std::string> arguments{"simulate"};
            arguments.insert(arguments.end(), simulation.begin(), simulation.end());
            const ProcessResult result = runLinuxHost(arguments, linuxFolder.path());
            ASSERT_EQ(result.status, 0) << result.err;
        }
        std::filesystem::copy(linuxFolder.path(), windowsFolder.path(), std::filesystem::copy_options::recursive);
        const FolderContents inputs = folderContents(linuxFolder.path());

        for (const auto& step : agreement.steps) {
            const ProcessResult onLinux = runLinuxHost(step, linuxFolder.path());
            const ProcessResult onWindows = runWindowsHost(step, windowsFolder.path());
            EXPECT_EQ(onWindows.status, onLinux.status) << shown(step) << "\n" << onWindows.err;
            EXPECT_EQ(withoutTimings(onWindows.out), withoutTimings(onLinux.out)) << shown(step);
            EXPECT_EQ(onWindows.err, onLinux.err) << shown(step);
        }

        const FolderContents onLinux = folderContents(linuxFolder.path());
        const FolderContents onWindows = folderContents(windowsFolder.path());
        EXPECT_EQ(addedFiles(inputs, onWindows), addedFiles(inputs, onLinux));
        EXPECT_EQ(changedFiles(inputs, onWindows), std::set<std::string>{}) << "an input changed";
        for (const std::string& output : addedFiles(inputs, onLinux)) {
            const auto windowsOutput = onWindows.find(output);
            if (windowsOutput == onWindows.end()) continue;
            const bool identical = windowsOutput->second == onLinux.at(output);
            std::string difference = "0";
            if (hasExtension(output, "fmr") || hasExtension(output, "dmr")) {
                EXPECT_TRUE(identical) << output << ": headers are written alike on both systems";
                difference = "-";
            } else if (!identical) {
                const double relative = relativeDifference(windowsFolder.path() + "/" + output, linuxFolder.path() + "/" + output);
                EXPECT_LE(relative, 1e-5) << output;
                std::ostringstream number;
                number << relative;
                difference = number.str();
            }
            table << std::setw(46) << agreement.name << std::setw(22) << output
                  << std::setw(11) << (identical ? "identical" : "differ") << difference << '\n';
        }
    }
    std::cout << "Windows build against Linux build, same inputs:\n" << table.str();
}

TEST(WindowsAgreement, BothHostsWriteTheSamePhantoms)
{
    const TemporaryFolder linuxFolder;
    const TemporaryFolder windowsFolder;
    for (const auto& options : std::vector<std::vector<std::string>>{
             {"simulate", "ap", "--size", "40x40x16", "--seed", "3", "--volumes", "2"},
             {"simulate", "lr", "--size", "36x44x14", "--left-right", "--dmr", "--float", "--noise", "4"}}) {
        ASSERT_EQ(runLinuxHost(options, linuxFolder.path()).status, 0);
        const ProcessResult onWindows = runWindowsHost(options, windowsFolder.path());
        ASSERT_EQ(onWindows.status, 0) << onWindows.err;
    }
    const FolderContents onLinux = folderContents(linuxFolder.path());
    const FolderContents onWindows = folderContents(windowsFolder.path());
    ASSERT_EQ(onWindows.size(), onLinux.size());
    for (const auto& [name, bytes] : onLinux) {
        // The summary is a text file and ends its lines the system's way.
        if (hasExtension(name, "txt")) continue;
        ASSERT_EQ(onWindows.count(name), 1u) << name;
        EXPECT_TRUE(onWindows.at(name) == bytes) << name;
    }
}

// varno.dll's worker threads under Wine: full estimates (SSD with intensity modulation,
// left-right, diffusion) and their copies are the same bytes on three threads (by
// --threads, and by VARNO_THREADS through the plug-in's own default) as on one.
TEST(WindowsAgreement, ThreadsChangeNoByteOfTheWindowsOutputs)
{
    const std::set<std::string> threaded{"ApPaSsdIntensityModulatedFullWithDerivative", "LrRlNccIntensityModulatedFull",
                                         "DiffusionFloatTwoVolumesFull"};
    for (const AgreementCase& agreement : agreementCases()) {
        if (threaded.count(agreement.name) == 0) continue;
        SCOPED_TRACE(agreement.name);
        const TemporaryFolder linuxFolder;
        std::vector<std::string> simulate{"simulate"};
        simulate.insert(simulate.end(), agreement.simulations.front().begin(), agreement.simulations.front().end());
        ASSERT_EQ(runLinuxHost(simulate, linuxFolder.path()).status, 0);
        const FolderContents inputs = folderContents(linuxFolder.path());
        std::vector<FolderContents> outputs;
        for (const auto& [threads, environment] :
             {std::pair<std::string, std::string>{"1", ""}, {"3", ""}, {"", "VARNO_THREADS=3"}}) {
            const TemporaryFolder folder;
            std::filesystem::copy(linuxFolder.path(), folder.path(), std::filesystem::copy_options::recursive);
            for (std::vector<std::string> step : agreement.steps) {
                if (!threads.empty()) step.insert(step.end(), {"--threads", threads});
                const ProcessResult result = runWindowsHost(
                    step, folder.path(), environment.empty() ? std::vector<std::string>{} : std::vector{environment});
                ASSERT_EQ(result.status, 0) << shown(step) << "\n" << result.err;
            }
            outputs.push_back(folderContents(folder.path()));
        }
        EXPECT_FALSE(addedFiles(inputs, outputs[0]).empty());
        for (std::size_t run = 1; run < outputs.size(); ++run)
            for (const std::string& output : addedFiles(inputs, outputs[0]))
                EXPECT_TRUE(outputs[run].count(output) == 1 && outputs[run].at(output) == outputs[0].at(output))
                    << output << " differs in run " << run;
    }
}
