// SPDX-License-Identifier: GPL-3.0-or-later
// Outputs that would land on inputs, tried through every command that writes: the same
// name, another spelling of it, a hard link, a symbolic link, a Prefix or a map named
// like an output. Each is refused before anything is written, naming both files. And
// outputs that cannot be written: nothing half written stays behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/badinput.h"
#include "support/niftitestimages.h"

namespace fs = std::filesystem;

namespace {

std::string clash(const std::string& output, const std::string& input)
{
    return "Cannot write " + output + ": it is the input " + input + "; nothing was written.";
}

// The header of a project with its Prefix replaced.
std::string withPrefix(const std::string& header, const std::string& prefix)
{
    const std::size_t at = header.find("Prefix:");
    const std::size_t start = header.find('"', at);
    const std::size_t end = header.find('"', start + 1);
    return header.substr(0, start + 1) + prefix + header.substr(end);
}

struct OverwriteCase {
    std::function<void(const std::string& folder)> setUp;  // the files that make the clash
    std::vector<std::string> arguments;
    Answer answer;
};

// A project named NAME.fmr with Prefix NAME, a copy of the phantom's PA project.
void writeProjectCopy(const std::string& folder, const std::string& name, const std::string& prefix)
{
    writeContents(folder + "/" + name + ".fmr", withPrefix(readWhole(folder + "/PA.fmr"), prefix));
    writeContents(folder + "/" + prefix + ".stc", readWhole(folder + "/PA.stc"));
}

// Runs each case in the folder and removes what its set-up made.
void runCases(const std::string& folder, const std::vector<OverwriteCase>& cases)
{
    for (const OverwriteCase& c : cases) {
        std::set<std::string> before;
        for (const auto& entry : fs::directory_iterator(folder)) before.insert(entry.path().string());
        c.setUp(folder);
        expectAnswer(folder, c.arguments, c.answer);
        for (const auto& entry : fs::directory_iterator(folder))
            if (before.count(entry.path().string()) == 0) fs::remove_all(entry.path());
    }
}

TestImageLayout phantomLayout()
{
    TestImageLayout layout;
    layout.extent = {16, 16, 4};
    return layout;
}

}  // namespace

TEST(BadInputOverwrite, EstimateAndApplyNeverWriteOverTheirInputs)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    const auto nothing = [](const std::string&) {};
    const std::vector<OverwriteCase> cases{
        // The first project's copy is the second project.
        {[](const std::string& f) { writeProjectCopy(f, "AP_undist", "AP_undist"); },
         {"estimate", "AP.fmr", "AP_undist.fmr", "--fast", "--apply"},
         {1, taskError(clash("AP_undist.fmr (undistorted copy of AP.fmr)", "AP_undist.fmr"))}},
        // The second project's copy is the first project.
        {[](const std::string& f) { writeProjectCopy(f, "PA_undist", "PA_undist"); },
         {"estimate", "PA_undist.fmr", "PA.fmr", "--fast", "--apply"},
         {1, taskError(clash("PA_undist.fmr (undistorted copy of PA.fmr)", "PA_undist.fmr"))}},
        // A hard link: another name, the same file.
        {[](const std::string& f) {
             writeProjectCopy(f, "B", "B");
             fs::create_hard_link(f + "/B.fmr", f + "/AP_undist.fmr");
         },
         {"estimate", "AP.fmr", "B.fmr", "--fast", "--apply"},
         {1, taskError(clash("AP_undist.fmr (undistorted copy of AP.fmr)", "B.fmr"))}},
        // A symbolic link where a copy's data go.
        {[](const std::string& f) { fs::create_symlink("PA.stc", f + "/AP_undist.stc"); },
         {"estimate", "AP.fmr", "PA.fmr", "--fast", "--apply"},
         {1, taskError(clash("AP_undist.stc (data file of the undistorted copy of AP.fmr)", "PA.stc (data file of PA.fmr)"))}},
        // A Prefix that names the data file of a copy.
        {[](const std::string& f) { writeProjectCopy(f, "C", "AP_undist"); },
         {"estimate", "AP.fmr", "C.fmr", "--fast", "--apply"},
         {1, taskError(clash("AP_undist.stc (data file of the undistorted copy of AP.fmr)",
                         "AP_undist.stc (data file of C.fmr)"))}},
        // Two names for one map: the first map would be overwritten by the negated second.
        {nothing,
         {"task", "estimate", "--set", "file0=AP.fmr", "--set", "file1=./AP.fmr", "--set-int", "fast_algorithm=1"},
         {1, taskError("Cannot write both AP_vdm.map (map of AP.fmr) and ./AP_vdm.map (map of ./AP.fmr): they are one "
                   "file; nothing was written.")}},
        {nothing,
         {"estimate", "AP.fmr", "./AP.dmr"},
         {2, "mindaro estimate: FIRST and SECOND must be two different projects: both maps would be saved as "
             "AP_vdm.map\nusage: mindaro estimate FIRST SECOND [options]  (see: mindaro estimate --help)\n"}},
        {nothing,
         {"estimate", "AP.fmr", "sub/../AP.fmr"},
         {2, "mindaro estimate: FIRST and SECOND must be two different projects: both maps would be saved as "
             "AP_vdm.map\nusage: mindaro estimate FIRST SECOND [options]  (see: mindaro estimate --help)\n"}},
        // Apply: a later entry of the list is the copy of an earlier one; nothing is written,
        // not even the first copy.
        {[](const std::string& f) { writeProjectCopy(f, "AP_undist", "AP_undist"); },
         {"apply", "AP_vdm.map", "AP.fmr", "AP_undist.fmr"},
         {1, taskError(clash("AP_undist.fmr (undistorted copy of AP.fmr)", "AP_undist.fmr")),
          "Loading VDM...\nApplying VDM...\n"}},
        // The map is named like a copy's data file, or is a hard link to a copy's name.
        {[](const std::string& f) { fs::copy_file(f + "/AP_vdm.map", f + "/AP_undist.stc"); },
         {"apply", "AP_undist.stc", "AP.fmr"},
         {1, taskError(clash("AP_undist.stc (data file of the undistorted copy of AP.fmr)", "AP_undist.stc (map)"))}},
        {[](const std::string& f) { fs::create_hard_link(f + "/PA_vdm.map", f + "/PA_undist.fmr"); },
         {"apply", "PA_vdm.map", "PA.fmr"},
         {1, taskError(clash("PA_undist.fmr (undistorted copy of PA.fmr)", "PA_vdm.map (map)"))}},
        {[](const std::string& f) { fs::create_symlink("AP.stc", f + "/PA_undist.stc"); },
         {"task", "apply", "--set", "vdm=PA_vdm.map", "--set", "files=PA.fmr\nAP.fmr"},
         {1, taskError(clash("PA_undist.stc (data file of the undistorted copy of PA.fmr)", "AP.stc (data file of AP.fmr)")),
          "Loading VDM...\nApplying VDM...\n"}},
    };
    runCases(folder.path(), cases);

    const TemporaryFolder dmr;
    writePhantomPair(dmr.path(), true);
    fs::copy_file(dmr.path() + "/PA.dmr", dmr.path() + "/AP_undist.dmr");
    expectAnswer(dmr.path(), {"apply", "AP_vdm.map", "AP.dmr", "AP_undist.dmr"},
                 {1, taskError(clash("AP_undist.dmr (undistorted copy of AP.dmr)", "AP_undist.dmr"))});
    expectAnswer(dmr.path(), {"estimate", "AP.dmr", "AP_undist.dmr", "--fast", "--apply"},
                 {1, taskError(clash("AP_undist.dmr (undistorted copy of AP.dmr)", "AP_undist.dmr"))});
}

TEST(BadInputOverwrite, ImportExportAndQcNeverWriteOverTheirInputs)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    ASSERT_EQ(runProcess({mindaroPath(), "apply", "AP_vdm.map", "AP.fmr", "PA.fmr", "--no"}, folder.path()).status, 0);
    fs::rename(folder.path() + "/PA_undist.fmr", folder.path() + "/PA_undist.tmp");
    ASSERT_EQ(runProcess({mindaroPath(), "apply", "PA_vdm.map", "PA.fmr"}, folder.path()).status, 0);
    fs::remove(folder.path() + "/PA_undist.tmp");
    writeTestImage(folder.path() + "/run.nii", phantomLayout(), [](int i, int j, int k, int) { return i + j + k; });
    writeContents(folder.path() + "/run.bvec", "1\n0\n0\n");
    writeContents(folder.path() + "/run.bval", "1000\n");

    const std::vector<OverwriteCase> cases{
        {[](const std::string&) {},
         {"import", "run.nii", "run.dmr", "--bvals", "run.dwi", "--bvecs", "run.bvec"},
         {1, "mindaro import: " + clash("run.dwi (data file of run.dmr)", "run.dwi (--bvals)") + "\n"}},
        {[](const std::string& f) { fs::create_hard_link(f + "/run.nii", f + "/out.fmr"); },
         {"import", "run.nii", "out.fmr"},
         {1, "mindaro import: " + clash("out.fmr", "run.nii") + "\n"}},
        {[](const std::string& f) { fs::create_symlink("run.nii", f + "/out.stc"); },
         {"import", "run.nii", "out.fmr"},
         {1, "mindaro import: " + clash("out.stc (data file of out.fmr)", "run.nii") + "\n"}},
        {[](const std::string&) {},
         {"export", "AP.fmr", "run.nii", "--like", "run.nii"},
         {1, "mindaro export: " + clash("run.nii", "run.nii (--like)") + "\n"}},
        {[](const std::string&) {},
         {"export", "AP_vdm.map", "./run.nii", "--like", "run.nii"},
         {1, "mindaro export: " + clash("./run.nii", "run.nii (--like)") + "\n"}},
        {[](const std::string& f) { fs::create_symlink("AP.stc", f + "/x.nii"); },
         {"export", "AP.fmr", "x.nii", "--like", "run.nii"},
         {1, "mindaro export: " + clash("x.nii", "AP.stc (data file of AP.fmr)") + "\n"}},
        {[](const std::string&) {},
         {"qc", "AP.fmr", "PA.fmr", "--out", "AP.stc"},
         {2, "mindaro qc: --out expects a picture name ending in .png or .svg, got \"AP.stc\"\n"
             "usage: mindaro qc FIRST SECOND [options]  (see: mindaro qc --help)\n"}},
        {[](const std::string& f) { fs::create_symlink("AP_vdm.map", f + "/qc.png"); },
         {"qc", "AP.fmr", "PA.fmr", "--out", "qc.png"},
         {1, "mindaro qc: " + clash("qc.png (the picture)", "AP_vdm.map") + "\n"}},
        {[](const std::string& f) { fs::create_hard_link(f + "/PA_undist.stc", f + "/pic.svg"); },
         {"qc", "AP.fmr", "PA.fmr", "--out", "pic.png", "--html"},
         {1, "mindaro qc: " + clash("pic.svg (the picture as SVG)", "PA_undist.stc (data file of PA_undist.fmr)") +
                 "\n"}},
    };
    runCases(folder.path(), cases);
}

// A write that fails leaves nothing that looks like a result: no header without its data,
// no half image.
TEST(BadInputOverwrite, FailedWritesLeaveNothingBehind)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    writeTestImage(folder.path() + "/run.nii", phantomLayout(), [](int i, int j, int k, int) { return i + j + k; });
    const std::vector<OverwriteCase> cases{
        {[](const std::string& f) { fs::create_directory(f + "/out.stc"); },
         {"import", "run.nii", "out.fmr"},
         {1, "mindaro import: Failed opening STC for writing: out.stc\n"}},
        {[](const std::string& f) { fs::create_directory(f + "/out.fmr"); },
         {"import", "run.nii", "out.fmr"},
         {1, "mindaro import: Cannot Create file: out.fmr\n"}},
        {[](const std::string& f) { fs::create_symlink("/dev/full", f + "/out.dwi"); },
         {"import", "run.nii", "out.dmr"},
         {1, "mindaro import: error writing to binary file out.dwi\n"}},
        {[](const std::string& f) { fs::create_directory(f + "/back.nii"); },
         {"export", "AP.fmr", "back.nii", "--like", "run.nii"},
         {1, "mindaro export: Cannot write the image back.nii\n"}},
        {[](const std::string& f) { fs::create_symlink("/dev/full", f + "/back.nii"); },
         {"export", "AP.fmr", "back.nii", "--like", "run.nii"},
         {1, "mindaro export: Cannot write the image back.nii\n"}},
    };
    runCases(folder.path(), cases);
}

// correct writes many files; an output that is an input stops it before any is written,
// and a failure at any later step leaves the output folder as it was, earlier results
// and projects included.
TEST(BadInputOverwrite, CorrectWritesAllOrNothing)
{
    const TemporaryFolder folder;
    const std::string f = folder.path();
    writeNiftiPhantomPair(f);
    const std::string fast = "--fast";
    const std::vector<OverwriteCase> cases{
        // A further run named like the output of --ap, or like a map, in the output folder.
        {[](const std::string& at) {
             fs::create_directory(at + "/out");
             writeCompressed(at + "/out/ap_corrected.nii.gz", readWhole(at + "/ap.nii"));
             fs::copy_file(at + "/ap.json", at + "/out/ap_corrected.json");
         },
         {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to", "out/ap_corrected.nii.gz", "--out", "out", fast},
         {1, "mindaro correct: " + clash("out/ap_corrected.nii.gz", "out/ap_corrected.nii.gz") + "\n"}},
        {[](const std::string& at) {
             fs::copy_file(at + "/ap.nii", at + "/displacement_mm.nii");
             fs::copy_file(at + "/ap.json", at + "/displacement_mm.json");
         },
         {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to", "displacement_mm.nii", "--out", ".", fast},
         {1, "mindaro correct: " + clash("./displacement_mm.json", "displacement_mm.json (sidecar of displacement_mm.nii)") +
                 "\n"}},
        // A folder where an output goes, a file where the output folder or the projects go.
        {[](const std::string& at) { fs::create_directories(at + "/out/qc.png"); },
         {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--out", "out", fast},
         {1, "mindaro correct: Cannot write out/qc.png: a folder is in its place; nothing was written.\n"}},
        {[](const std::string& at) { writeContents(at + "/notes.txt", "notes\n"); },
         {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--out", "notes.txt", fast},
         {1, "mindaro correct: notes.txt is a file, not a folder\n"}},
        {[](const std::string& at) {
             fs::create_directory(at + "/out");
             writeContents(at + "/out/projects", "");
         },
         {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--out", "out", fast},
         {1, "mindaro correct: out/projects is a file, not a folder\n"}},
        // Volumes that do not exist are refused before anything is imported.
        {[](const std::string&) {},
         {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--volumes", "1", "0", fast},
         {2, "mindaro correct: --volumes counts from 0: --ap ap.nii has 1 volume, so volume 1 does not exist\n"
             "usage: mindaro correct [options]  (see: mindaro correct --help)\n"}},
    };
    runCases(f, cases);

    // A run whose data end early fails after the pair was imported: everything it wrote
    // goes, and the results of an earlier run in the same folder stay as they were.
    ASSERT_EQ(runProcess({mindaroPath(), "correct", "--ap", "ap.nii", "--pa", "pa.nii", "--out", "out", fast}, f).status, 0);
    const std::string image = readWhole(f + "/ap.nii");
    writeCompressed(f + "/run.nii.gz", image.substr(0, image.size() - 100));
    fs::copy_file(f + "/ap.json", f + "/run.json");
    expectAnswer(f, {"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to", "run.nii.gz", "--out", "out", fast},
                 {1, "mindaro correct: The voxel data of run.nii.gz end early: its header promises 2048 bytes from byte "
                     "352 (vox_offset)\n"});
}
