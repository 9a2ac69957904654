// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "files/fileerrors.h"
#include "files/projectheader.h"
#include "support/datasetfiles.h"

namespace {

// "Key: value" with the value at column 30, or one space after a longer key.
std::string entry(const std::string& key, const std::string& value)
{
    const std::size_t column = std::max<std::size_t>(30, key.size() + 1);
    return key + std::string(column - key.size(), ' ') + value + "\n";
}

// A realistic FMR in exactly the layout the writer produces: position block, one
// 16-value transformation (so later floats come with five decimals), slice timing table
// and an acquisition time.
std::string canonicalFmr()
{
    std::string t = "\n";
    t += entry("FileVersion:", "7") + entry("NrOfVolumes:", "3") + entry("NrOfSlices:", "4") +
         entry("NrOfSkippedVolumes:", "0") + entry("Prefix:", "\"run1\"") + entry("DataStorageFormat:", "1") +
         entry("DataType:", "1") + entry("TR:", "2000") + entry("InterSliceTime:", "500") +
         entry("TimeResolutionVerified:", "1") + entry("TE:", "30") + entry("SliceAcquisitionOrder:", "1") +
         entry("SliceAcquisitionOrderVerified:", "1") + entry("ResolutionX:", "6") + entry("ResolutionY:", "5") +
         entry("LoadAMRFile:", "\"run1_firstvol.amr\"") + entry("ShowAMRFile:", "1") + entry("ImageIndex:", "0") +
         entry("LayoutNColumns:", "2") + entry("LayoutNRows:", "2") + entry("LayoutZoomLevel:", "1") +
         entry("SegmentSize:", "10") + entry("SegmentOffset:", "0") + entry("NrOfLinkedProtocols:", "1") +
         entry("ProtocolFile:", "\"<none>\"") + entry("InplaneResolutionX:", "3.5") +
         entry("InplaneResolutionY:", "3.5") + entry("SliceThickness:", "3") + entry("SliceGap:", "0.5") +
         entry("VoxelResolutionVerified:", "1") + "\n";
    t += "\nPositionInformationFromImageHeaders\n\n";
    t += entry("PosInfosVerified:", "1") + entry("CoordinateSystem:", "1") + entry("Slice1CenterX:", "0.25") +
         entry("Slice1CenterY:", "-12.75") + entry("Slice1CenterZ:", "-88.5") + entry("SliceNCenterX:", "0.25") +
         entry("SliceNCenterY:", "-12.75") + entry("SliceNCenterZ:", "88.5") + entry("RowDirX:", "1") +
         entry("RowDirY:", "0") + entry("RowDirZ:", "0") + entry("ColDirX:", "0") + entry("ColDirY:", "1") +
         entry("ColDirZ:", "0") + entry("NRows:", "5") + entry("NCols:", "6") + entry("FoVRows:", "17.5") +
         entry("FoVCols:", "21") + entry("SliceThickness:", "2.75") + entry("GapThickness:", "0.5") + "\n\n";
    t += entry("NrOfPastSpatialTransformations:", "1") + "\n";
    t += entry("NameOfSpatialTransformation:", "\"Motion correction\"") +
         entry("TypeOfSpatialTransformation:", "2") + entry("AppliedToFileName:", "\"run1.fmr\"") +
         entry("NrOfTransformationValues:", "16");
    t += "  1.00000\t0.00000\t0.00000\t-2.50000\n"
         "  0.00000\t1.00000\t0.00000\t1.25000\n"
         "  0.00000\t0.00000\t1.00000\t0.00000\n"
         "-12.00000\t0.00000\t0.00000\t1.00000\n\n\n";
    t += entry("LeftRightConvention:", "1") + "\n\n";
    t += entry("FirstDataSourceFile:", "\"series-1_epi.dcm\"") + "\n";
    t += entry("MultibandSequence:", "0") + "\n";
    t += entry("SliceTimingTableSize:", "4") + "0.00000\n500.00000\n1000.00000\n12.50000\n\n";
    t += entry("AcqusitionTime:", "36000.00000");
    return crlf(t);
}

std::string canonicalDmr()
{
    std::string t = "\n";
    t += entry("FileVersion:", "3") + entry("NrOfVolumes:", "3") + entry("NrOfSlices:", "2") +
         entry("NrOfSkippedVolumes:", "0") + entry("Prefix:", "\"dwi1\"") + entry("DataStorageFormat:", "3") +
         entry("DataType:", "2") + entry("TR:", "9000") + entry("TE:", "85") + entry("ResolutionX:", "4") +
         entry("ResolutionY:", "3") + entry("LoadAMRFile:", "\"\"") + entry("ShowAMRFile:", "0") +
         entry("DisplayVolume:", "1") + entry("InplaneResolutionX:", "2") + entry("InplaneResolutionY:", "2") +
         entry("SliceThickness:", "2") + entry("SliceGap:", "0") + entry("VoxelResolutionVerified:", "1") + "\n";
    t += "\nPositionInformationFromImageHeaders\n\n";
    t += entry("PosInfosVerified:", "1") + entry("CoordinateSystem:", "1") + entry("Slice1CenterZ:", "-10") +
         entry("SliceNCenterZ:", "10") + entry("GapThickness:", "0") + "\n\n";
    t += entry("NrOfPastSpatialTransformations:", "0") + "\n\n";
    t += entry("LeftRightConvention:", "1") + "\n\n";
    t += entry("FirstDataSourceFile:", "\"dwi.dcm\"") + "\n";
    t += entry("GradientDirectionsVerified:", "YES") + entry("GradientXDirInterpretation:", "2") +
         entry("GradientYDirInterpretation:", "-3") + entry("GradientZDirInterpretation:", "4") +
         entry("GradientInformationAvailable:", "YES");
    t += "0 0 0 0\n0.707107 -0.707107 0 1000\n-0.25 0.5 0.829156 2000\n";
    return crlf(t);
}

template <class Header>
std::string headerText(const Header& header)
{
    std::ostringstream out(std::ios::binary);
    header.writeHeaderText(out);
    return out.str();
}

template <class Header>
Header readText(const ScratchDir& dir, const std::string& name, const std::string& text)
{
    writeFile(dir.file(name), text);
    Header header;
    header.readHeader(dir.file(name), false);
    return header;
}

std::vector<std::string> nonEmptyLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST(ProjectHeader, CanonicalFmrRoundTripsByteForByte)
{
    ScratchDir dir;
    const std::string text = canonicalFmr();
    const FmrHeader header = readText<FmrHeader>(dir, "run1.fmr", text);
    EXPECT_EQ(headerText(header), text);

    EXPECT_EQ(header.NrOfVolumes.value, 3);
    EXPECT_EQ(header.Prefix.value, "run1");
    EXPECT_TRUE(header.Prefix.quoted);
    EXPECT_EQ(header.NrOfPastSpatialTransformations.valueColumn, 32);
    EXPECT_FLOAT_EQ(header.SliceThickness.value, 3.0f);
    EXPECT_FLOAT_EQ(header.BlockSliceThickness.value, 2.75f);
    ASSERT_EQ(header.transformationValues.size(), 16u);
    EXPECT_FLOAT_EQ(header.transformationValues[3], -2.5f);
    EXPECT_FLOAT_EQ(header.transformationValues[12], -12.0f);
    EXPECT_EQ(header.sliceTimingTable, (std::vector<float>{0.0f, 500.0f, 1000.0f, 12.5f}));
    EXPECT_TRUE(header.acquisitionTimeAvailable);
    EXPECT_FLOAT_EQ(header.AcqusitionTime.value, 36000.0f);
}

TEST(ProjectHeader, CanonicalDmrRoundTripsByteForByte)
{
    ScratchDir dir;
    const std::string text = canonicalDmr();
    const DmrHeader header = readText<DmrHeader>(dir, "dwi1.dmr", text);
    EXPECT_EQ(headerText(header), text);

    EXPECT_EQ(header.DisplayVolume.value, 1);
    EXPECT_TRUE(header.GradientDirectionsVerified.value);
    EXPECT_EQ(header.GradientYDirInterpretation.value, -3);
    ASSERT_EQ(header.gradientDirections.size(), 3u);
    ASSERT_EQ(header.bValues.size(), 3u);
    EXPECT_FLOAT_EQ(header.gradientDirections[2].z, 0.829156f);
    EXPECT_FLOAT_EQ(header.bValues[2], 2000.0f);
    EXPECT_EQ(header.LoadAMRFile.value, "");
    EXPECT_TRUE(header.LoadAMRFile.quoted);
}

TEST(ProjectHeader, LooseLayoutIsNormalisedAsListed)
{
    // LF line ends, tabs, extra blank lines, unknown keys, unquoted text, the older
    // column and row keys, padded floats and an acquisition time of NA.
    const std::string input = "FileVersion:\t5\n"
                              "NrOfVolumes: 2\n\n\n"
                              "NrOfSlices:       3\n"
                              "Prefix:    run2   \n"
                              "NrOfColumns:   4\n"
                              "NrOfRows:\t\t2\n"
                              "InplaneResolutionX:  3.50000\n"
                              "UnknownKey: 17\n"
                              "LoadAMRFile:   \"a b.amr\"   \n"
                              "NrOfPastSpatialTransformations: 0\n"
                              "SliceTimingTableSize: 3\n0\n12.5\n25\n"
                              "AcqusitionTime:\tNA\n";
    const std::string expected = "\n"
                                 "FileVersion: 5\n"
                                 "NrOfVolumes: 2\n"
                                 "NrOfSlices:       3\n"
                                 "Prefix:    run2\n"
                                 "NrOfColumns:   4\n"
                                 "NrOfRows:  2\n"
                                 "LoadAMRFile:   \"a b.amr\"\n"
                                 "InplaneResolutionX:  3.5\n"
                                 "NrOfPastSpatialTransformations: 0\n\n\n"
                                 "SliceTimingTableSize: 3\n0\n12.5\n25\n\n"
                                 "AcqusitionTime:\tNA";
    ScratchDir dir;
    const FmrHeader header = readText<FmrHeader>(dir, "run2.fmr", input);
    EXPECT_EQ(headerText(header), crlf(expected));
    EXPECT_FALSE(header.acquisitionTimeAvailable);
    EXPECT_FALSE(header.Prefix.quoted);
    EXPECT_EQ(header.ResolutionX.name, "NrOfColumns");
    EXPECT_EQ(header.ResolutionX.value, 4);
    EXPECT_EQ(header.ResolutionY.valueColumn, 11);
    EXPECT_FALSE(header.VoxelResolutionVerified.present);
    EXPECT_FALSE(header.PosInfosVerified.present);

    const FmrHeader again = readText<FmrHeader>(dir, "again.fmr", headerText(header));
    EXPECT_EQ(headerText(again), headerText(header));
}

TEST(ProjectHeader, RealScannerHeaderKeepsEveryKeyColumnAndValue)
{
    const std::string path = std::string(VARNO_SHARED_DATA_DIR) + "/ge-pepolar/AP.fmr";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "scanner data not found at " << path;
    const FmrHeader header = readFmrHeader(path, false);
    EXPECT_EQ(header.NrOfVolumes.value, 2);
    EXPECT_EQ(header.ResolutionX.value, 128);
    EXPECT_EQ(header.NrOfSlices.value, 60);
    EXPECT_EQ(header.Prefix.value, "AP");
    EXPECT_EQ(header.sliceTimingTable.size(), 60u);
    EXPECT_TRUE(header.volumes.empty());

    // The copy loses only blank lines and the trailing zeros of floats.
    const std::vector<std::string> original = nonEmptyLines(readWhole(path));
    const std::vector<std::string> written = nonEmptyLines(headerText(header));
    ASSERT_EQ(written.size(), original.size());
    for (std::size_t i = 0; i < original.size(); ++i) {
        if (written[i] == original[i]) continue;
        const std::size_t valueStart = original[i].find_first_not_of(' ', original[i].find(':') + 1);
        ASSERT_NE(valueStart, std::string::npos) << original[i];
        EXPECT_EQ(written[i].substr(0, valueStart), original[i].substr(0, valueStart));
        EXPECT_EQ(std::strtof(written[i].c_str() + valueStart, nullptr),
                  std::strtof(original[i].c_str() + valueStart, nullptr))
            << original[i] << " became " << written[i];
    }
}

TEST(ProjectHeader, TextValuesKeepQuotesAndColumns)
{
    ScratchDir dir;
    const FmrHeader header = readText<FmrHeader>(dir, "q.fmr",
                                                 "Prefix:\t \"my run\"  \r\n"
                                                 "ProtocolFile: \"half open\r\n"
                                                 "FirstDataSourceFile:    plain text here \r\n"
                                                 "LeftRightConvention:\r\n"
                                                 "NrOfVolumes: 1");
    EXPECT_EQ(header.Prefix.name, "Prefix");
    EXPECT_EQ(header.Prefix.value, "my run");
    EXPECT_EQ(header.Prefix.valueColumn, 9);
    EXPECT_TRUE(header.Prefix.quoted);
    EXPECT_EQ(header.ProtocolFile.value, "half open");
    EXPECT_TRUE(header.ProtocolFile.quoted);
    EXPECT_EQ(header.FirstDataSourceFile.value, "plain text here");
    EXPECT_FALSE(header.FirstDataSourceFile.quoted);
    EXPECT_TRUE(header.LeftRightConvention.present);
    EXPECT_EQ(header.LeftRightConvention.value, "");
    // The last key of a file without a final line end is read too.
    EXPECT_TRUE(header.NrOfVolumes.present);
    EXPECT_EQ(header.NrOfVolumes.value, 1);
    EXPECT_FALSE(header.NrOfSlices.present);
    EXPECT_EQ(header.FileVersion.value, -1);
}

TEST(ProjectHeader, LaterOccurrenceOfAKeyWins)
{
    ScratchDir dir;
    const FmrHeader columnsLast =
        readText<FmrHeader>(dir, "a.fmr", "ResolutionX: 64\nNrOfColumns:  32\nNrOfRows: 20\nResolutionY: 21\n");
    EXPECT_EQ(columnsLast.ResolutionX.name, "NrOfColumns");
    EXPECT_EQ(columnsLast.ResolutionX.value, 32);
    EXPECT_EQ(columnsLast.ResolutionX.valueColumn, 14);
    EXPECT_EQ(columnsLast.ResolutionY.name, "ResolutionY");
    EXPECT_EQ(columnsLast.ResolutionY.value, 21);
    EXPECT_EQ(headerText(columnsLast), crlf("\nNrOfColumns:  32\nResolutionY: 21\n\n"));

    const FmrHeader repeated = readText<FmrHeader>(dir, "b.fmr", "NrOfVolumes: 4\nNrOfVolumes: 9\n");
    EXPECT_EQ(repeated.NrOfVolumes.value, 9);
}

TEST(ProjectHeader, EveryByteIsReadAsWrittenWhateverTheLineEnds)
{
    ScratchDir dir;
    // A Ctrl-Z byte inside a text value ends a text-mode read on Windows; CR LF and LF
    // line ends give the same record.
    const std::string text = "Prefix: \"run\x1a" "1\"\nNrOfVolumes: 4\nResolutionX: 64\n";
    const FmrHeader unixLines = readText<FmrHeader>(dir, "lf.fmr", text);
    const FmrHeader windowsLines = readText<FmrHeader>(dir, "crlf.fmr", crlf(text));
    for (const FmrHeader* header : {&unixLines, &windowsLines}) {
        EXPECT_EQ(header->Prefix.value, "run\x1a" "1");
        EXPECT_EQ(header->NrOfVolumes.value, 4);
        EXPECT_EQ(header->ResolutionX.value, 64);
    }
    EXPECT_EQ(headerText(unixLines), headerText(windowsLines));
}

TEST(ProjectHeader, ValueThatDoesNotParseEndsTheParse)
{
    ScratchDir dir;
    const FmrHeader header = readText<FmrHeader>(dir, "bad.fmr",
                                                 "NrOfVolumes: 5\n"
                                                 "TimeResolutionVerified: 1\n"
                                                 "TimeResolutionVerified: YES\n"
                                                 "NrOfSlices: 7\n");
    EXPECT_EQ(header.NrOfVolumes.value, 5);
    EXPECT_TRUE(header.TimeResolutionVerified.present);
    EXPECT_TRUE(header.TimeResolutionVerified.value);
    EXPECT_FALSE(header.NrOfSlices.present);

    const FmrHeader letter = readText<FmrHeader>(dir, "letter.fmr", "NrOfSlices: x\nNrOfVolumes: 5\n");
    EXPECT_TRUE(letter.NrOfSlices.present);
    EXPECT_EQ(letter.NrOfSlices.value, 0);
    EXPECT_FALSE(letter.NrOfVolumes.present);
}

TEST(ProjectHeader, PositionBlockKeysCountOnlyInsideTheBlock)
{
    ScratchDir dir;
    const FmrHeader header = readText<FmrHeader>(dir, "p.fmr",
                                                 "NRows: 99\nSliceThickness: 4\n"
                                                 "PositionInformationFromImageHeaders\n"
                                                 "NrOfVolumes: 8\nNRows: 64\nSliceThickness: 3.5\nGapThickness: 0.5\n"
                                                 "NRows: 12\nSliceThickness: 4.5\n");
    EXPECT_EQ(header.NRows.value, 64);
    EXPECT_FLOAT_EQ(header.BlockSliceThickness.value, 3.5f);
    EXPECT_FLOAT_EQ(header.SliceThickness.value, 4.5f);
    EXPECT_FALSE(header.NrOfVolumes.present);
}

TEST(ProjectHeader, OnlyTheFirstPastTransformationIsKept)
{
    std::string input = "NrOfPastSpatialTransformations: 2\n";
    input += "NameOfSpatialTransformation: \"first\"\nTypeOfSpatialTransformation: 1\n"
             "AppliedToFileName: \"a.fmr\"\nNrOfTransformationValues: 16\n";
    for (int i = 0; i < 16; ++i) input += std::to_string(i + 1) + (i % 4 == 3 ? "\n" : "\t");
    input += "NameOfSpatialTransformation: \"second\"\nTypeOfSpatialTransformation: 2\n"
             "AppliedToFileName: \"b.fmr\"\nNrOfTransformationValues: 16\n";
    for (int i = 0; i < 16; ++i) input += "-7" + std::string(i % 4 == 3 ? "\n" : "\t");
    input += "LeftRightConvention: 1\n";

    ScratchDir dir;
    const FmrHeader header = readText<FmrHeader>(dir, "t.fmr", input);
    EXPECT_EQ(header.NameOfSpatialTransformation.value, "first");
    ASSERT_EQ(header.transformationValues.size(), 16u);
    EXPECT_FLOAT_EQ(header.transformationValues[15], 16.0f);
    EXPECT_EQ(header.LeftRightConvention.value, "1");

    const std::string written = headerText(header);
    EXPECT_NE(written.find("NrOfPastSpatialTransformations: 2\r\n\r\nNameOfSpatialTransformation: \"first\""),
              std::string::npos);
    EXPECT_EQ(written.find("second"), std::string::npos);
    EXPECT_NE(written.find(" 13.00000\t14.00000\t15.00000\t16.00000\r\n\r\n\r\nLeftRightConvention: 1\r\n"),
              std::string::npos);
}

TEST(ProjectHeader, ShortTransformationIsWrittenAsHeld)
{
    ScratchDir dir;
    const FmrHeader header = readText<FmrHeader>(dir, "s.fmr",
                                                 "NrOfPastSpatialTransformations: 1\n"
                                                 "NrOfTransformationValues: 6\n1 2 3 4 5 6\n"
                                                 "LeftRightConvention: 1\n");
    ASSERT_EQ(header.transformationValues.size(), 6u);
    EXPECT_EQ(headerText(header), crlf("\nNrOfPastSpatialTransformations: 1\n\n"
                                       "NrOfTransformationValues: 6\n"
                                       "  1.00000\t2.00000\t3.00000\t4.00000\n"
                                       "  5.00000\t6.00000\n\n\n"
                                       "LeftRightConvention: 1\n\n\n\n"));

    // A file that ends inside the matrix holds and writes only what was there.
    const FmrHeader cut = readText<FmrHeader>(dir, "cut.fmr",
                                              "NrOfPastSpatialTransformations: 1\nNrOfTransformationValues: 16\n1 2 3\n");
    ASSERT_EQ(cut.transformationValues.size(), 3u);
    EXPECT_NE(headerText(cut).find("  1.00000\t2.00000\t3.00000\r\n\r\n\r\n"), std::string::npos);
}

TEST(ProjectHeader, TransformationWithoutValuesDoesNotSwallowTheRest)
{
    ScratchDir dir;
    const FmrHeader header = readText<FmrHeader>(dir, "z.fmr",
                                                 "NrOfPastSpatialTransformations: 1\n"
                                                 "NameOfSpatialTransformation: \"empty\"\n"
                                                 "NrOfTransformationValues: 0\n"
                                                 "LeftRightConvention: 1\nSliceTimingTableSize: 1\n5\n");
    EXPECT_TRUE(header.transformationValues.empty());
    EXPECT_EQ(header.LeftRightConvention.value, "1");
    EXPECT_EQ(header.sliceTimingTable, std::vector<float>{5.0f});
}

TEST(ProjectHeader, AcquisitionTimeRoundingToZeroIsWrittenAsNA)
{
    ScratchDir dir;
    const FmrHeader small = readText<FmrHeader>(dir, "a.fmr", "SliceTimingTableSize: 1\n0\nAcqusitionTime: 0.3\n");
    EXPECT_FALSE(small.acquisitionTimeAvailable);
    EXPECT_EQ(headerText(small), crlf("\nSliceTimingTableSize: 1\n0\n\n") + "AcqusitionTime:\tNA");

    const FmrHeader half = readText<FmrHeader>(dir, "b.fmr", "AcqusitionTime: -0.5\n");
    EXPECT_TRUE(half.acquisitionTimeAvailable);
    EXPECT_EQ(headerText(half), crlf("\n\nAcqusitionTime: -0.5\n"));

    const FmrHeader na = readText<FmrHeader>(dir, "c.fmr", "AcqusitionTime:  NA\nNrOfVolumes: 3\n");
    EXPECT_FALSE(na.acquisitionTimeAvailable);
    EXPECT_TRUE(na.AcqusitionTime.present);
    EXPECT_FALSE(na.NrOfVolumes.present);
}

TEST(ProjectHeader, WordAfterSliceTimingTableIsTakenOnlyWhenAcquisitionTime)
{
    ScratchDir dir;
    const FmrHeader header =
        readText<FmrHeader>(dir, "w.fmr", "SliceTimingTableSize: 2\n0 10\nNrOfVolumes: 4\nNrOfSlices: 2\n");
    EXPECT_EQ(header.sliceTimingTable.size(), 2u);
    EXPECT_FALSE(header.NrOfVolumes.present);
    EXPECT_TRUE(header.NrOfSlices.present);
}

TEST(ProjectHeader, GradientTableFollowsTheYesNoKey)
{
    ScratchDir dir;
    const std::string table = "NrOfVolumes: 2\nGradientInformationAvailable: %s\n1 0 0 1000\n0 1 0 1000\nTR: 5\n";
    auto withValue = [&](const std::string& value) {
        std::string text = table;
        text.replace(text.find("%s"), 2, value);
        return readText<DmrHeader>(dir, "g.dmr", text);
    };

    const DmrHeader yes = withValue("YES");
    EXPECT_TRUE(yes.GradientInformationAvailable.value);
    ASSERT_EQ(yes.gradientDirections.size(), 2u);
    EXPECT_FLOAT_EQ(yes.gradientDirections[1].y, 1.0f);
    EXPECT_FALSE(yes.TR.present);   // the word after the table is dropped
    EXPECT_EQ(headerText(yes), crlf("\nNrOfVolumes: 2\nGradientInformationAvailable: YES\n1 0 0 1000\n0 1 0 1000\n"));

    const DmrHeader no = withValue("no");
    EXPECT_FALSE(no.GradientInformationAvailable.value);
    EXPECT_TRUE(no.gradientDirections.empty());
    // Only one word after the key is dropped; the table's other numbers are unknown words.
    EXPECT_TRUE(no.TR.present);
    EXPECT_EQ(headerText(no), crlf("\nNrOfVolumes: 2\nTR: 5\nGradientInformationAvailable: NO\n"));

    EXPECT_TRUE(withValue("maybe").GradientInformationAvailable.value);
    EXPECT_TRUE(withValue("Yes").GradientInformationAvailable.value);
    EXPECT_FALSE(withValue("Nope").GradientInformationAvailable.value);

    const DmrHeader none = readText<DmrHeader>(dir, "n.dmr", "NrOfVolumes: 2\n1 0 0 1000\n");
    EXPECT_FALSE(none.GradientInformationAvailable.present);
    EXPECT_EQ(headerText(none), crlf("\nNrOfVolumes: 2\n"));
}

TEST(ProjectHeader, DmrSkipsTransformationKeys)
{
    ScratchDir dir;
    const DmrHeader header = readText<DmrHeader>(dir, "t.dmr",
                                                 "NrOfPastSpatialTransformations: 1\n"
                                                 "NameOfSpatialTransformation: \"x\"\nNrOfTransformationValues: 2\n"
                                                 "1 2\nDisplayVolume: 3\n");
    EXPECT_EQ(header.NrOfPastSpatialTransformations.value, 1);
    EXPECT_EQ(header.DisplayVolume.value, 3);
    EXPECT_EQ(headerText(header), crlf("\nDisplayVolume: 3\nNrOfPastSpatialTransformations: 1\n\n\n"));
}

TEST(ProjectHeader, MissingFileIsAnOpenError)
{
    ScratchDir dir;
    const std::string path = dir.file("missing.fmr");
    try {
        readFmrHeader(path, false);
        FAIL() << "no exception";
    } catch (const OpenFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Failed opening for reading: " + path);
    }
    EXPECT_THROW(readDmrHeader(dir.path(), false), OpenFileError);
}
