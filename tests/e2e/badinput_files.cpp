// SPDX-License-Identifier: GPL-3.0-or-later
// Bad input files fed to mindaro: each gives one clear message and exit status, and no
// input file changes. Projects are a 16 x 16 x 4 phantom pair of two volumes.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "phantom/phantom.h"
#include "support/badinput.h"

namespace fs = std::filesystem;

namespace {

const std::string kErrorRead = "Error: error reading from binary file\n";
// The host shows the map of the first project of an apply on its document.
const std::string kShown = "Map AP_vdm.map (16 x 16 x 4) is shown on X.fmr\n";

class BadInputFiles : public ::testing::Test {
protected:
    void SetUp() override { writePhantomPair(folder.path()); }
    std::string path(const std::string& name) const { return folder.path() + "/" + name; }
    std::string read(const std::string& name) const { return readWhole(path(name)); }
    void write(const std::string& name, const std::string& bytes) const { writeContents(path(name), bytes); }
    void expect(const std::vector<std::string>& arguments, const Answer& answer) const
    {
        expectAnswer(folder.path(), arguments, answer);
    }
    // The AP header with Prefix "X": its data is X.stc, a copy of AP.stc unless given.
    void writeHeaderX(const std::string& header, const std::string* data = nullptr) const
    {
        write("X.fmr", header);
        write("X.stc", data ? *data : read("AP.stc"));
    }

    TemporaryFolder folder;
};

// The header text with the value of one key replaced (the rest of its line).
std::string withValue(std::string text, const std::string& key, const std::string& value)
{
    const std::size_t at = text.find("\n" + key + ":");
    EXPECT_NE(at, std::string::npos) << key;
    const std::size_t start = text.find_first_not_of(' ', at + key.size() + 2);
    const std::size_t end = text.find('\r', start);
    return text.replace(start, end - start, value);
}

// The text up to and including the given piece (its first occurrence after from).
std::string cutAfter(const std::string& text, const std::string& piece, const std::string& from = "")
{
    const std::size_t start = from.empty() ? 0 : text.find(from);
    const std::size_t at = text.find(piece, start);
    EXPECT_NE(at, std::string::npos) << piece;
    return text.substr(0, at + piece.size());
}

// The line a friendly command adds after the dialog's message when that names no file.
std::string detail(const std::string& command, const std::string& text)
{
    return "mindaro " + command + ": " + text + "\n";
}

std::string lacking(const std::string& header, const std::string& keys)
{
    return header + " does not give " + keys +
           ", which its data need (a header cut short, or a value that does not parse, ends the reading)";
}

const std::string kAllKeys = "NrOfVolumes, NrOfSlices, ResolutionX, ResolutionY, Prefix";

}  // namespace

TEST_F(BadInputFiles, MissingFilesAreNamed)
{
    expect({"estimate", "missing.fmr", "PA.fmr", "--fast"}, {1, taskError("Failed opening for reading: missing.fmr")});
    expect({"estimate", "AP.fmr", "missing.dmr", "--fast"}, {1, taskError("Failed opening for reading: missing.dmr")});
    expect({"apply", "missing.map", "AP.fmr"}, {1, taskError("could not open file missing.map")});
    expect({"apply", "AP_vdm.map", "missing.fmr"}, {1, taskError("Failed opening for reading: missing.fmr")});
    expect({"task", "select_fmr_or_dmr", "--open", "missing.fmr"},
           {1, taskError("Failed opening for reading: missing.fmr")});
    expect({"check", "missing.fmr", "AP.fmr"}, {1, "missing.fmr: could not read file\n"});

    write("X.fmr", withValue(read("AP.fmr"), "Prefix", "\"X\""));
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"}, {1, taskError("Failed opening STC for reading: X.stc")});
    expect({"apply", "AP_vdm.map", "X.fmr"}, {1, taskError("Failed opening STC for reading: X.stc")});
}

TEST_F(BadInputFiles, MissingDwiIsNamed)
{
    const TemporaryFolder dmr;
    writePhantomPair(dmr.path(), true);
    fs::remove(dmr.path() + "/PA.dwi");
    expectAnswer(dmr.path(), {"estimate", "AP.dmr", "PA.dmr", "--fast"}, {1, taskError("Failed opening for reading: PA.dwi")});
    expectAnswer(dmr.path(), {"task", "select_fmr_or_dmr", "--open", "PA.dmr"},
                 {1, taskError("Failed opening for reading: PA.dwi")});
}

TEST_F(BadInputFiles, EmptyFiles)
{
    write("empty.fmr", "");
    write("empty.dmr", "");
    write("empty.map", "");
    // A header without Prefix names the data file by its extension alone.
    expect({"estimate", "empty.fmr", "PA.fmr", "--fast"},
           {1, taskError("Failed opening STC for reading: .stc (the data file of empty.fmr, whose header gives no Prefix)") +
                   detail("estimate", lacking("empty.fmr", kAllKeys))});
    expect({"estimate", "AP.fmr", "empty.dmr", "--fast"},
           {1, taskError("Failed opening for reading: .dwi (the data file of empty.dmr, whose header gives no Prefix)") +
                   detail("estimate", lacking("empty.dmr", kAllKeys))});
    expect({"apply", "empty.map", "AP.fmr"}, {1, kErrorRead + detail("apply", "the map empty.map is empty")});
    // The dialog's check only opens a project; the command reads it as the other steps will.
    expect({"check", "empty.fmr"}, {1, detail("check", lacking("empty.fmr", kAllKeys)), "Check: OK\n"});

    const std::string empty;
    writeHeaderX(withValue(read("AP.fmr"), "Prefix", "\"X\""), &empty);
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Data file X.stc is too short: the header promises 4096 bytes, the file holds 0")});
}

// A header ends wherever the file ends; what was read before the cut is kept, and the data
// must then still fit what the header says.
TEST_F(BadInputFiles, HeadersCutShort)
{
    const std::string header = withValue(read("AP.fmr"), "Prefix", "\"X\"");

    writeHeaderX(cutAfter(header, "NrOfSli"));   // in a key: no slices, no Prefix
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Failed opening STC for reading: .stc (the data file of X.fmr, whose header gives no Prefix)") +
                   detail("estimate", lacking("X.fmr", "NrOfSlices, ResolutionX, ResolutionY, Prefix"))});

    writeHeaderX(cutAfter(header, "ResolutionX:                  1"));   // in a number: 1 of 16, no rows
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Data file X.stc is too long: the header promises 0 bytes, the file holds 4096") +
                   detail("estimate", lacking("X.fmr", "ResolutionY"))});

    writeHeaderX(cutAfter(header, "\"X"));   // in a quoted text, before the extents
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Data file X.stc is too long: the header promises 0 bytes, the file holds 4096") +
                   detail("estimate", lacking("X.fmr", "ResolutionX, ResolutionY"))});

    // Everything the data needs, but no voxel size: estimating needs it, applying does not.
    writeHeaderX(cutAfter(header, "NrOfLinkedProtocols:"));
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Cannot estimate: the voxel size in X.fmr is not a positive number (InplaneResolutionX 0, "
                     "InplaneResolutionY 0, SliceThickness + SliceGap 0).")});
    expect({"apply", "AP_vdm.map", "X.fmr"}, {0, kShown, std::nullopt, {"X_undist.fmr", "X_undist.stc"}});
    fs::remove(path("X_undist.fmr"));
    fs::remove(path("X_undist.stc"));

    // Cut in the position block: the header is usable, and its copy holds what was read.
    writeHeaderX(cutAfter(header, "RowDirY:  "));
    fs::remove(path("PA_vdm.map"));
    expect({"estimate", "X.fmr", "PA.fmr", "--fast", "--apply"},
           {0, "", std::nullopt, {"PA_undist.fmr", "PA_undist.stc", "PA_vdm.map", "X_undist.fmr", "X_undist.stc", "X_vdm.map"}});
    const std::string copy = read("X_undist.fmr");
    EXPECT_NE(copy.find("RowDirY:  0\r\n"), std::string::npos);
    EXPECT_EQ(copy.find("RowDirZ:"), std::string::npos);
}

TEST_F(BadInputFiles, TransformationBlockCutShort)
{
    const std::string block = "NrOfPastSpatialTransformations: 1\r\n\r\nNameOfSpatialTransformation: \"Motion\"\r\n"
                              "TypeOfSpatialTransformation: 2\r\nAppliedToFileName: \"AP.fmr\"\r\n"
                              "NrOfTransformationValues: 16\r\n 1.00000\t0.00000\t0.00000\t2.50000\r\n 0.00000";
    std::string header = withValue(read("AP.fmr"), "Prefix", "\"X\"");
    header = header.substr(0, header.find("NrOfPastSpatialTransformations:")) + block;
    writeHeaderX(header);
    expect({"apply", "AP_vdm.map", "X.fmr"}, {0, kShown, std::nullopt, {"X_undist.fmr", "X_undist.stc"}});
    // The five values read are written back, and nothing past them.
    const std::string copy = read("X_undist.fmr");
    EXPECT_NE(copy.find("NrOfTransformationValues: 16\r\n  1.00000\t0.00000\t0.00000\t2.50000\r\n  0.00000\r\n\r\n\r\n"),
              std::string::npos)
        << copy;
}

TEST_F(BadInputFiles, GradientTableCutShort)
{
    const TemporaryFolder dmr;
    writePhantomPair(dmr.path(), true);
    const std::string header = readWhole(dmr.path() + "/AP.dmr");
    writeContents(dmr.path() + "/AP.dmr", cutAfter(header, "0 0 0 0\r\n0 0", "GradientInformationAvailable:"));
    expectAnswer(dmr.path(), {"apply", "AP_vdm.map", "AP.dmr"}, {0, "", std::nullopt, {"AP_undist.dmr", "AP_undist.dwi"}});
    const std::string copy = readWhole(dmr.path() + "/AP_undist.dmr");
    EXPECT_TRUE(copy.ends_with("GradientInformationAvailable: YES\r\n0 0 0 0\r\n")) << copy;
}

TEST_F(BadInputFiles, DataFilesShorterOrLongerThanTheHeaderSays)
{
    const std::string header = withValue(read("AP.fmr"), "Prefix", "\"X\"");
    const std::string data = read("AP.stc");
    for (const std::size_t size : {std::size_t{1}, data.size() - 1, data.size() + 1, 2 * data.size()}) {
        const std::string changed = size < data.size() ? data.substr(0, size) : data + std::string(size - data.size(), '\7');
        writeHeaderX(header, &changed);
        const std::string relation = size < data.size() ? "short" : "long";
        expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
               {1, taskError("Data file X.stc is too " + relation + ": the header promises 4096 bytes, the file holds " +
                         std::to_string(size))});
    }

    const TemporaryFolder dmr;
    writePhantomPair(dmr.path(), true);
    const std::string dwi = readWhole(dmr.path() + "/PA.dwi");
    writeContents(dmr.path() + "/PA.dwi", dwi.substr(0, dwi.size() - 4));
    expectAnswer(dmr.path(), {"apply", "PA_vdm.map", "PA.dmr"},
                 {1, taskError("Data file PA.dwi is too short: the header promises 8192 bytes, the file holds 8188")});
}

TEST_F(BadInputFiles, DataTypeAndStorageFormatsTheReadersRefuse)
{
    const TemporaryFolder dmr;
    writePhantomPair(dmr.path(), true);
    const std::string dmrHeader = readWhole(dmr.path() + "/AP.dmr");
    for (const std::string format : {"2", "1", "0", "-3"}) {
        writeContents(dmr.path() + "/AP.dmr", withValue(dmrHeader, "DataStorageFormat", format));
        const std::string problem = "AP.dmr has DataStorageFormat " + format +
                                    "; only DataStorageFormat 3 (the volumes stored one after the other) can be read. "
                                    "Save the project again in the host's current format.";
        const std::string refused = taskError("Can only read DataStorageFormat 3, Not " + format);
        expectAnswer(dmr.path(), {"estimate", "AP.dmr", "PA.dmr", "--fast"}, {1, refused + detail("estimate", problem)});
        expectAnswer(dmr.path(), {"apply", "AP_vdm.map", "AP.dmr"}, {1, refused + detail("apply", problem)});
        expectAnswer(dmr.path(), {"select", "AP.dmr"}, {1, refused + detail("select", problem)});
        expectAnswer(dmr.path(), {"check", "AP.dmr"}, {1, detail("check", problem), "Check: OK\n"});
    }

    // Float data declared as 16-bit (DataType 1, or a value that does not parse) and
    // 16-bit data declared as float do not fit their files.
    const std::string header = withValue(read("AP.fmr"), "Prefix", "\"X\"");
    const std::string data = read("AP.stc");
    const std::string twice = data + data;
    writeHeaderX(withValue(header, "DataType", "2"));
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Data file X.stc is too short: the header promises 8192 bytes, the file holds 4096")});
    writeHeaderX(withValue(header, "DataType", "7"), &twice);
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Data file X.stc is too long: the header promises 4096 bytes, the file holds 8192")});
    writeHeaderX(withValue(header, "DataType", "float"), &twice);
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Data file X.stc is too long: the header promises 0 bytes, the file holds 8192") +
                   detail("estimate", lacking("X.fmr", "ResolutionX, ResolutionY"))});
}

TEST_F(BadInputFiles, NegativeAndEnormousExtentsAndCounts)
{
    const std::string header = withValue(read("AP.fmr"), "Prefix", "\"X\"");
    writeHeaderX(withValue(header, "ResolutionX", "-16"));
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Negative data extent in X.fmr: ResolutionX -16, ResolutionY 16, NrOfSlices 4, NrOfVolumes 2")});
    writeHeaderX(withValue(header, "NrOfVolumes", "-2"));
    expect({"apply", "AP_vdm.map", "X.fmr"},
           {1, taskError("Negative data extent in X.fmr: ResolutionX 16, ResolutionY 16, NrOfSlices 4, NrOfVolumes -2")});
    writeHeaderX(withValue(header, "NrOfSlices", "2147483647"));
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Data file X.stc is too short: the header promises 2199023254528 bytes, the file holds 4096")});
    writeHeaderX(withValue(withValue(header, "ResolutionX", "2147483647"), "NrOfVolumes", "2147483647"));
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Data size overflows in X.fmr: ResolutionX 2147483647, ResolutionY 16, NrOfSlices 4, "
                     "NrOfVolumes 2147483647")});
    // Too large for a 32-bit number: the value does not parse, the header ends there.
    writeHeaderX(withValue(header, "NrOfVolumes", "99999999999"));
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Failed opening STC for reading: .stc (the data file of X.fmr, whose header gives no Prefix)") +
                   detail("estimate", lacking("X.fmr", "NrOfSlices, ResolutionX, ResolutionY, Prefix"))});
    const std::string noData;
    writeHeaderX(withValue(header, "NrOfVolumes", "0"), &noData);
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"},
           {1, taskError("Cannot use volume 0 of file X.fmr, which has only 0 volumes.")});

    expect({"estimate", "AP.fmr", "PA.fmr", "--fast", "--volumes", "0", "2"},
           {1, taskError("Cannot use volume 2 of file PA.fmr, which has only 2 volumes.")});
    expect({"task", "estimate", "--set", "file0=AP.fmr", "--set", "file1=PA.fmr", "--set-int", "volume0=-1"},
           {1, taskError("Cannot use volume 4294967295 of file AP.fmr, which has only 2 volumes.")});
    expect({"task", "estimate", "--set", "file0=AP.fmr", "--set", "file1=PA.fmr", "--set-int", "volume1=2147483647"},
           {1, taskError("Cannot use volume 2147483647 of file PA.fmr, which has only 2 volumes.")});
}

// The map as read: u16 kind, slices, rows, columns, fifth word; f32, f32; u16 version-2
// word; u16 next word, count word; i32, i32; text; per slice a u16 and the floats.
TEST_F(BadInputFiles, MapsCutAtEveryField)
{
    const std::string map = read("AP_vdm.map");
    const std::size_t textStart = 32;
    const std::size_t dataStart = map.find('\0', textStart) + 1;
    ASSERT_EQ(map.size() - dataStart, 4u * (2 + 4 * 16 * 16));
    // The fields of a version-2 map with extra integers, by the byte where each starts.
    const std::vector<std::pair<std::size_t, std::string>> fields{
        {0, "kind word"},           {2, "slice count"},         {4, "row count"},      {6, "column count"},
        {8, "fifth header word"},   {10, "first header float"}, {14, "second header float"},
        {18, "version-2 word"},     {20, "next header word"},   {22, "count word"},   {24, "extra integers"},
        {textStart, "text"}};
    std::vector<std::size_t> cuts{1, 2, 3, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, textStart,
                                  textStart + 3, dataStart - 1, dataStart, dataStart + 1, dataStart + 2,
                                  dataStart + 2 + 4 * 16 * 16 - 1, map.size() - 4, map.size() - 1};
    for (const std::size_t cut : cuts) {
        std::string where;
        if (cut >= dataStart) {
            where = "ends early: its header promises 4 slices of 16 x 16 values (4104 bytes after the text), the "
                    "file holds " + std::to_string(cut - dataStart);
        } else if (cut > textStart) {
            where = "has a text from byte " + std::to_string(textStart) + " that no NUL byte ends";
        } else {
            auto field = fields.begin();
            while (std::next(field) != fields.end() && std::next(field)->first <= cut) ++field;
            where = "ends inside its header: it holds " + std::to_string(cut) + (cut == 1 ? " byte" : " bytes") +
                    ", and its " + field->second + " starts at byte " + std::to_string(field->first);
        }
        write("cut.map", map.substr(0, cut));
        expect({"apply", "cut.map", "AP.fmr"}, {1, kErrorRead + detail("apply", "the map cut.map " + where), "Loading VDM...\n"});
    }
    std::string emptyText = map.substr(0, textStart) + std::string(1, '\0') + map.substr(dataStart);
    write("cut.map", emptyText);
    expect({"apply", "cut.map", "AP.fmr"},
           {1, kErrorRead + detail("apply", "the map cut.map has an empty text at byte 32; a map's text holds at "
                                            "least one character")});

    // Slice count 0 takes the count from the kind word: 20000 % 10000, no slices at all.
    std::string noSlices = map;
    noSlices[2] = noSlices[3] = '\0';
    write("cut.map", noSlices.substr(0, dataStart));
    expect({"apply", "cut.map", "AP.fmr", "--yes"}, {1, taskError("The map cut.map holds no voxels (extent 16 x 16 x 0).")});
    std::string noColumns = map;
    noColumns[6] = noColumns[7] = '\0';
    write("cut.map", noColumns.substr(0, dataStart) + std::string(4 * 2, '\0'));
    expect({"apply", "cut.map", "AP.fmr", "--yes"}, {1, taskError("The map cut.map holds no voxels (extent 0 x 16 x 4).")});
}

TEST_F(BadInputFiles, MapOfAnotherExtentIsResizedOnlyWhenAllowed)
{
    const TemporaryFolder other;
    PhantomOptions options;
    options.extent = {20, 16, 4};
    options.peakDisplacement = 1.0;
    writePhantom(other.path(), options);
    fs::copy_file(other.path() + "/true_vdm.map", path("wide.map"));
    const std::string question = "Dimensions of the datasets don't match!\nDo you want to resize the VDM to the FMR "
                                 "dimensions?\n\n(they need to have the same field of view)";
    expect({"apply", "wide.map", "AP.fmr", "--no"},
           {1, question + " -> no\n" + taskError("All datasets must have the same dimensions!") +
                   detail("apply", "the extents differ: wide.map 20 x 16 x 4, AP.fmr 16 x 16 x 4")});
    expect({"apply", "wide.map", "AP.fmr", "--yes"}, {0, question + " -> yes\n", std::nullopt, {"AP_undist.fmr", "AP_undist.stc"}});
    // The picture compares a pair with its copies: a copy of another extent is named.
    writeContents(path("PA_undist.fmr"), withValue(readWhole(other.path() + "/PA.fmr"), "Prefix", "\"PA_undist\""));
    fs::copy_file(other.path() + "/PA.stc", path("PA_undist.stc"));
    expect({"qc", "AP.fmr", "PA.fmr"}, {1, "mindaro qc: PA_undist.fmr (20 x 16 x 4) differs in extent from AP.fmr (16 x 16 x 4)\n"});
    expect({"estimate", "AP.fmr", "X/../wide.fmr", "--fast"},
           {1, taskError("Failed opening for reading: X/../wide.fmr")});
}

TEST_F(BadInputFiles, DirectoryWhereAFileIsExpected)
{
    fs::create_directory(path("dir.fmr"));
    fs::create_directory(path("dir.dmr"));
    fs::create_directory(path("dir.map"));
    expect({"estimate", "dir.fmr", "PA.fmr", "--fast"}, {1, taskError("Failed opening for reading: dir.fmr")});
    expect({"estimate", "AP.fmr", "dir.dmr", "--fast"}, {1, taskError("Failed opening for reading: dir.dmr")});
    expect({"apply", "dir.map", "AP.fmr"}, {1, taskError("could not open file dir.map")});
    expect({"apply", ".", "AP.fmr"}, {1, taskError("could not open file .")});
    expect({"apply", "AP_vdm.map", "dir.fmr"}, {1, taskError("Failed opening for reading: dir.fmr")});
    expect({"check", "dir.fmr", "dir.dmr"}, {1, "dir.fmr: could not read file\ndir.dmr: could not read file\n"});
    expect({"task", "select_fmr_or_dmr", "--open", "dir.fmr"}, {1, taskError("Failed opening for reading: dir.fmr")});

    writeHeaderX(withValue(read("AP.fmr"), "Prefix", "\"X\""));
    fs::remove(path("X.stc"));
    fs::create_directory(path("X.stc"));
    expect({"estimate", "X.fmr", "PA.fmr", "--fast"}, {1, taskError("Failed opening STC for reading: X.stc")});
}
