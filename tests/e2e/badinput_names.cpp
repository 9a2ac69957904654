// SPDX-License-Identifier: GPL-3.0-or-later
// Names that the files' rules cannot carry, tried through every command that takes a
// path: a line break or carriage return (the dialog's lists hold one path a line) and,
// for projects and maps, a backslash (a folder separator to the project files' rules).
// Each is refused before anything is read or written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/badinput.h"

namespace {

// The usage error: the reason, then the usage line (line) of the command.
std::string usage(const std::string& command, const std::string& reason, const std::string& line)
{
    return "mindaro " + command + ": " + reason + "\nusage: mindaro " + command + " " + line + "  (see: mindaro " +
           command + " --help)\n";
}

std::string lineBreak(const std::string& shown)
{
    return "\"" + shown +
           "\" holds a line break; the plug-in's lists hold one path a line, so it would be taken for two names. "
           "Rename the file.";
}

std::string backslash(const std::string& shown)
{
    return "\"" + shown +
           "\" holds a backslash, which the project files' name rules take for a folder separator: its data file, "
           "maps and copies would be looked for under other names. Rename the file.";
}

struct NameCase {
    std::vector<std::string> arguments;
    std::string command;
    std::string usageArguments;
    std::string reason;
};

}  // namespace

TEST(BadInputNames, LineBreaksAndBackslashesAreRefusedByEveryCommand)
{
    const TemporaryFolder folder;
    writePhantomPair(folder.path());
    // Names that exist, so that only the name itself can be the reason.
    writeContents(folder.path() + "/x\nAP.fmr", readWhole(folder.path() + "/AP.fmr"));
    writeContents(folder.path() + "/a\\b.fmr", readWhole(folder.path() + "/AP.fmr"));
    writeContents(folder.path() + "/a\\b.map", readWhole(folder.path() + "/AP_vdm.map"));

    const std::string lf = "x\nAP.fmr";
    const std::string cr = "AP.fmr\r";
    const std::string lfShown = "x\\nAP.fmr";
    const std::string crShown = "AP.fmr\\r";
    const std::string pair = "FIRST SECOND [options]";
    const std::string apply = "VDM PROJECT... [options]";
    const std::vector<NameCase> cases{
        {{"estimate", lf, "PA.fmr"}, "estimate", pair, lineBreak(lfShown)},
        {{"estimate", "AP.fmr", cr}, "estimate", pair, lineBreak(crShown)},
        {{"estimate", "a\\b.fmr", "PA.fmr", "--fast"}, "estimate", pair, backslash("a\\b.fmr")},
        {{"apply", "AP_vdm.map", lf}, "apply", apply, lineBreak(lfShown)},
        {{"apply", "AP_vdm.map", "PA.fmr", cr}, "apply", apply, lineBreak(crShown)},
        {{"apply", "AP\r_vdm.map", "AP.fmr"}, "apply", apply, lineBreak("AP\\r_vdm.map")},
        {{"apply", "a\\b.map", "AP.fmr"}, "apply", apply, backslash("a\\b.map")},
        {{"apply", "AP_vdm.map", "a\\b.fmr"}, "apply", apply, backslash("a\\b.fmr")},
        {{"check", lf}, "check", "PROJECT...", lineBreak(lfShown)},
        {{"check", "notes\n.txt"}, "check", "PROJECT...", lineBreak("notes\\n.txt")},
        {{"check", "a\\b.fmr"}, "check", "PROJECT...", backslash("a\\b.fmr")},
        {{"import", "run\n.nii", "run.fmr"}, "import", "IMAGE OUT [options]", lineBreak("run\\n.nii")},
        {{"import", "run.nii", "r\nun.fmr"}, "import", "IMAGE OUT [options]", lineBreak("r\\nun.fmr")},
        {{"import", "run.nii", "a\\run.fmr"}, "import", "IMAGE OUT [options]", backslash("a\\run.fmr")},
        {{"import", "run.nii", "run.dmr", "--bvals", "b\r.bval", "--bvecs", "b.bvec"}, "import", "IMAGE OUT [options]",
         lineBreak("b\\r.bval")},
        {{"export", lf, "out.nii", "--like", "run.nii"}, "export", "INPUT OUT [options]", lineBreak(lfShown)},
        {{"export", "a\\b.map", "out.nii", "--like", "run.nii"}, "export", "INPUT OUT [options]", backslash("a\\b.map")},
        {{"export", "AP_vdm.map", "o\nut.nii", "--like", "run.nii"}, "export", "INPUT OUT [options]", lineBreak("o\\nut.nii")},
        {{"export", "AP_vdm.map", "out.nii", "--like", "r\run.nii"}, "export", "INPUT OUT [options]", lineBreak("r\\run.nii")},
        {{"qc", lf, "PA.fmr"}, "qc", pair, lineBreak(lfShown)},
        {{"qc", "AP.fmr", "PA.fmr", "--out", "q\nc.png"}, "qc", pair, lineBreak("q\\nc.png")},
        {{"qc", "AP.fmr", "a\\b.fmr"}, "qc", pair, backslash("a\\b.fmr")},
        {{"correct", "--ap", "a\np.nii", "--pa", "pa.nii"}, "correct", "[options]", lineBreak("a\\np.nii")},
        {{"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--apply-to", "run\r.nii"}, "correct", "[options]",
         lineBreak("run\\r.nii")},
        {{"correct", "--ap", "ap.nii", "--pa", "pa.nii", "--out", "o\nut"}, "correct", "[options]", lineBreak("o\\nut")},
        {{"simulate", "ph\nantom"}, "simulate", "DIR [options]", lineBreak("ph\\nantom")},
        {{"simulate", "ph\\antom"}, "simulate", "DIR [options]", backslash("ph\\antom")},
        {{"demo", "de\rmo"}, "demo", "[DIR] [options]", lineBreak("de\\rmo")},
    };
    for (const NameCase& c : cases)
        expectAnswer(folder.path(), c.arguments, {2, usage(c.command, c.reason, c.usageArguments), ""});

    // Labels of the picture are names too, and bounded.
    expectAnswer(folder.path(), {"qc", "AP.fmr", "PA.fmr", "--names", "A\rB", "PA"},
                 {2, usage("qc", "--names takes labels without line breaks, got \"A\\rB PA\"", pair), ""});
    expectAnswer(folder.path(), {"qc", "AP.fmr", "PA.fmr", "--names", std::string(1000, 'A'), "PA"},
                 {2, usage("qc", "--names takes labels of at most 20 characters, got one of 1000", pair), ""});
}
